#pragma once
// The settings dialog and its menu item without their drawing: what the dialog
// shows for a driver object, what OK does, and the item's caption.
#include <cstdint>
#include <string>

#include "driver/connection_type.h"

namespace vr {
class TSilo;
}

namespace vr::ui {

// The connection list's entries, index = connection type.
inline constexpr int kConnectionTypes = ConnectionType::kCount;
extern const char* const kConnectionNames[kConnectionTypes];

struct TuneParamsValues {
  double seconds = 0;        // refresh period
  int connectionIndex = -1;  // -1 (no entry) for a type outside the list
};

// The values the dialog shows for the driver.
TuneParamsValues ShownTuneParams(const TSilo& driver);

// OK: both keys in one atomic write of the settings file (a refused write
// raises, and nothing is applied), then the driver's period, then its
// connection type.
void SaveTuneParams(TSilo* driver, int connectionIndex, double seconds);

// "Настройка Veeder-Root (БС №n)" or "Настройка Veeder-Root (COM №n)".
std::string SettingsItemCaption(uint8_t connectionType);

}  // namespace vr::ui
