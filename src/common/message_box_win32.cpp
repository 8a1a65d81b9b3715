#include <windows.h>

#include "common/fpu.h"
#include "common/message_box.h"
#include "common/text.h"

namespace vr {
namespace {

// While one of the library's own windows is active, a box belongs to it: a box
// owned by the host's window would enable that window again when it closes,
// under a modal window of the library.
HWND BoxOwner(uintptr_t owner) {
  HMODULE self = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&BoxOwner), &self);
  HWND active = GetActiveWindow();
  if (active && self &&
      reinterpret_cast<HMODULE>(GetWindowLongPtrW(active, GWLP_HINSTANCE)) == self)
    return active;
  return reinterpret_cast<HWND>(owner);
}

}  // namespace

void ShowPlatformMessageBox(uintptr_t owner, const std::string& text, const std::string& caption,
                            uint32_t flags) {
  HostFpuScope host;  // the box runs the host's windows' code
  ::MessageBoxA(BoxOwner(owner), Utf8ToCp1251(text).c_str(), Utf8ToCp1251(caption).c_str(), flags);
}
}  // namespace vr
