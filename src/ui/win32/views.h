#pragma once
// The library's windows on Windows (user32, comctl32, gdi32): thin views over
// the model in src/ui/model, opened from the host's menu through slot 15.
#include <windows.h>

namespace vr {
class TSilo;
}

namespace vr::ui::win32 {

// The settings dialog for the driver, modal; returns when it is closed.
void ShowTuneParams(HWND owner, TSilo* silo);
// The calibration-table window for the driver, modal.
void ShowGradTable(HWND owner, TSilo* silo);

// Open windows register themselves, so that a driver that goes away can
// close the ones showing it.
void RegisterOpenWindow(HWND window, TSilo* silo);
void UnregisterOpenWindow(HWND window);
// Each open window of the driver drops it (WM_APP_RELEASE) and closes.
void CloseWindowsOf(TSilo* silo);
inline constexpr UINT WM_APP_RELEASE = WM_APP + 0x56;

// Slot 15 and the driver's destruction.
void AddSettingsMenuItem(TSilo* silo, void* menu);
void ReleaseDriver(TSilo* silo);

}  // namespace vr::ui::win32
