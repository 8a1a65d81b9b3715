#pragma once
#include <cstdint>
#include <string>

namespace vr {

// Message box flags (the Win32 values, so they pass through unchanged; where
// <windows.h> came first, its macros with the same values serve).
#ifndef MB_OK
constexpr uint32_t MB_OK = 0x00;
constexpr uint32_t MB_ICONERROR = 0x10;
constexpr uint32_t MB_ICONWARNING = 0x30;
#endif

// The library's stand-in for the GUI runtime's application object: the owner
// window of everything the library shows, and the one place through which every
// message box and every error report passes. The host or a test may install
// its own (SetApplication); texts are UTF-8.
class Application {
 public:
  virtual ~Application() = default;

  // Shows a modal message box with one OK button; returns when it is closed.
  virtual void ShowMessage(const std::string& text, const std::string& caption, uint32_t flags);

  // An error that a host call could not deliver any other way (for example a
  // failure of the host's communication block during a read). The default
  // shows it like the GUI runtime's standard error report.
  virtual void ReportError(const std::string& message);

  void SetOwnerWindow(uintptr_t handle) { owner_window_ = handle; }
  uintptr_t OwnerWindow() const { return owner_window_; }

 private:
  uintptr_t owner_window_ = 0;
};

// The application object in use (never null).
Application& App();
// Installs an application object (nullptr restores the built-in one). The
// object must outlive its installation.
void SetApplication(Application* app);

}  // namespace vr
