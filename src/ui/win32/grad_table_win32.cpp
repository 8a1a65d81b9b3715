#include "ui/win32/views.h"
namespace vr::ui::win32 {
void ShowGradTable(HWND, TSilo*) {}
}  // namespace vr::ui::win32
