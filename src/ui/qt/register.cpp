#include "ui/model/register.h"

#include <mutex>

#include "driver/silo.h"
#include "ui/qt/qt_application.h"
#include "ui/qt/tune_params.h"

namespace vr::ui {

void RegisterUi() {
  static std::once_flag once;
  std::call_once(once, [] {
    SetMenuHook(&AddSettingsMenuItem);
    SetMenuRemoveHook(&ReleaseDriver);
    InstallQtApplication();
  });
}

}  // namespace vr::ui
