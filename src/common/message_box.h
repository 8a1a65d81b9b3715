#pragma once
#include <cstdint>
#include <string>

namespace vr {
// The platform's message box: MessageBoxA on Windows (text in Windows-1251),
// standard error elsewhere. Texts are UTF-8.
void ShowPlatformMessageBox(uintptr_t owner, const std::string& text, const std::string& caption,
                            uint32_t flags);
}  // namespace vr
