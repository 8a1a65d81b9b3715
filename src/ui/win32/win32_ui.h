#pragma once
// Shared pieces of the Win32 views: UTF-8 texts of the model to and from the
// wide API (every text is converted once, at the call of a W function), the
// library's own activation context (version-6 common controls whatever the
// host's manifest says), and the button pictures.
#include <windows.h>

#include <string>

#include "ui/model/glyph_shapes.h"

namespace vr::ui::win32 {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& text);

// The text of a window or control, as UTF-8.
std::string ControlText(HWND control);
void SetControlText(HWND control, const std::string& utf8);

// The module (vrsilo.dll) that holds the views and their resources.
HMODULE ViewModule();

// While alive, the library's activation context is active on this thread;
// common controls initialised on first use.
class ActivationScope {
 public:
  ActivationScope();
  ~ActivationScope();
  ActivationScope(const ActivationScope&) = delete;
  ActivationScope& operator=(const ActivationScope&) = delete;

 private:
  ULONG_PTR cookie_ = 0;
  bool active_ = false;
};

// Puts the picture on a push button, left of its caption (the image list
// belongs to the button's parent window and is freed with it).
void SetButtonGlyph(HWND button, Glyph glyph);

// Calls handler; a failure escaping it is reported as the Qt views report it.
template <typename F>
void Guarded(F&& handler);

}  // namespace vr::ui::win32

#include "common/application.h"

template <typename F>
void vr::ui::win32::Guarded(F&& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    App().ReportError(e.what());
  }
}
