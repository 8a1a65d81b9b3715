#include "driver/silo.h"

#include <atomic>
#include <cstring>
#include <exception>

#include "common/application.h"
#include "common/rounding.h"
#include "config/settings.h"

namespace vr {
namespace {

// "v3.00#Протокол к уровнемеру VEEDER-ROOT" in Windows-1251, after its length byte.
constexpr char kIdentity[41] =
    "\x27"
    "v3.00#"
    "\xCF\xF0\xEE\xF2\xEE\xEA\xEE\xEB"          // Протокол
    " \xEA "                                    // " к "
    "\xF3\xF0\xEE\xE2\xED\xE5\xEC\xE5\xF0\xF3"  // уровнемеру
    " VEEDER-ROOT";
static_assert(sizeof(kIdentity) == 41, "length byte and 39 characters");

std::atomic<MenuHook> g_menu_hook{nullptr};
std::atomic<MenuRemoveHook> g_menu_remove_hook{nullptr};

}  // namespace

void SetMenuHook(MenuHook hook) {
  g_menu_hook.store(hook);
}
void SetMenuRemoveHook(MenuRemoveHook hook) {
  g_menu_remove_hook.store(hook);
}

TSilo::TSilo(void* host, uint8_t connectionType) : table_(SiloSlotTable()), gauge_(host) {
  // The period is read on every construction, whichever entry point was used.
  SetUpdatePeriodMs(RoundToInt32(static_cast<double>(ReadUpdateSeconds()) * 1000.0));
  tanks_.SetRefreshAllTanks(ReadRefreshAllTanks());
  const std::string failure = gauge_.Connect(ConnectionType(connectionType));
  if (!failure.empty()) App().ShowMessage(failure, "Ошибка", MB_OK | MB_ICONERROR);
  // Communication blocks are opened by the host through slot 5.
}

TSilo::~TSilo() {
  if (MenuRemoveHook hook = g_menu_remove_hook.load()) hook(this);
}

void TSilo::GetIdentity(char* buffer40) {
  std::memcpy(buffer40, kIdentity, 40);
}

void TSilo::ChangeConnectionType(uint8_t code) {
  const ConnectionType type(code);
  if (type == gauge_.Type()) return;
  const std::string failure = gauge_.Connect(type);
  if (!failure.empty()) {
    App().ShowMessage(failure, "Ошибка", MB_OK | MB_ICONERROR);
    return;
  }
  if (type.IsBlock()) {
    try {
      OpenCommBlock();
    } catch (const std::exception&) {
      App().ShowMessage("Невозможно задать конфигурацию БС!", "Ошибка", MB_OK | MB_ICONERROR);
    }
  }
}

void TSilo::AddMenuItem(void* menu) {
  if (menu_pending_) {
    if (MenuHook hook = g_menu_hook.load()) hook(this, menu);
  }
  menu_pending_ = false;
}

TSilo* CreateSiloEx2(void* host, uint32_t, uintptr_t mainWindow) {
  uint8_t type = ReadConnectionType();
  App().SetOwnerWindow(mainWindow);
  return new TSilo(host, type);
}

TSilo* CreateSiloEx3(void* host, int32_t number, uint32_t viaBlock) {
  const bool block = (viaBlock & 0xFF) != 0;
  const ConnectionType type = block ? ConnectionType::Block(number) : ConnectionType::Port(number);
  return new TSilo(host, type.Code());
}

}  // namespace vr
