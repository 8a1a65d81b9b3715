#include <cstdio>

#include "common/message_box.h"

namespace vr {
void ShowPlatformMessageBox(uintptr_t, const std::string& text, const std::string& caption,
                            uint32_t) {
  std::fprintf(stderr, "vrsilo: %s: %s\n", caption.c_str(), text.c_str());
}
}  // namespace vr
