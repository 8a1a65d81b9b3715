#include <windows.h>

#include "common/fpu.h"
#include "common/message_box.h"
#include "common/text.h"

namespace vr {
void ShowPlatformMessageBox(uintptr_t owner, const std::string& text, const std::string& caption,
                            uint32_t flags) {
  HostFpuScope host;  // the box runs the host's windows' code
  ::MessageBoxA(reinterpret_cast<HWND>(owner), Utf8ToCp1251(text).c_str(),
                Utf8ToCp1251(caption).c_str(), flags);
}
}  // namespace vr
