#include "ui/model/tune_params_model.h"

#include "common/rounding.h"
#include "config/settings.h"
#include "driver/silo.h"

namespace vr::ui {

const char* const kConnectionNames[kConnectionTypes] = {
    "Блок связи №1", "Блок связи №2", "Блок связи №3", "Порт COM1", "Порт COM2",
    "Порт COM3",     "Порт COM4",     "Порт COM5",     "Порт COM6"};

TuneParamsValues ShownTuneParams(const TSilo& driver) {
  TuneParamsValues v;
  v.seconds = RoundHalfEven(driver.GetUpdatePeriodMs() / 1000.0);
  const ConnectionType type(driver.GetConnectionType());
  v.connectionIndex = type.IsBlock() || type.IsPort() ? type.Code() : -1;
  return v;
}

void SaveTuneParams(TSilo* driver, int connectionIndex, double seconds) {
  WriteVeederRootSettings(connectionIndex, RoundToInt32(seconds));
  if (!driver) return;
  driver->SetUpdatePeriodMs(RoundToInt32(seconds * 1000.0));
  driver->ChangeConnectionType(static_cast<uint8_t>(connectionIndex));
}

std::string SettingsItemCaption(uint8_t connectionType) {
  const ConnectionType type(connectionType);
  std::string caption = "Настройка Veeder-Root ";
  if (type.IsBlock()) return caption + "(БС №" + std::to_string(type.BlockIndex() + 1) + ")";
  return caption + "(COM №" + std::to_string(type.PortNumber()) + ")";
}

}  // namespace vr::ui
