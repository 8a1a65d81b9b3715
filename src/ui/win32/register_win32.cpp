// Connects the Win32 windows to the driver object: the slot-15 menu hook and
// the hook that removes the item with its driver.
#include <mutex>

#include "driver/silo.h"
#include "ui/model/register.h"
#include "ui/win32/views.h"

namespace vr::ui {

void RegisterUi() {
  static std::once_flag once;
  std::call_once(once, [] {
    SetMenuHook(&win32::AddSettingsMenuItem);
    SetMenuRemoveHook(&win32::ReleaseDriver);
  });
}

}  // namespace vr::ui
