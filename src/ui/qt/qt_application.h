#pragma once
// The application object of Qt builds: message boxes as QMessageBox on the
// user-interface thread, owned by the window in front.
#include "common/application.h"

class QWidget;

namespace vr::ui {

class QtApplication : public Application {
 public:
  // Without a QApplication the platform's message box is used. From another
  // thread the box is handed to the user-interface thread and this call
  // returns at once, so a worker never waits on a user-interface thread that
  // may itself be waiting for it.
  void ShowMessage(const std::string& text, const std::string& caption, uint32_t flags) override;

  // The widget given as owner window (GetSiloEx2's window handle) when it is
  // one of the application's top-level widgets; otherwise null.
  QWidget* OwnerWidget() const;
};

// Installs the Qt application object once (later calls do nothing).
void InstallQtApplication();

}  // namespace vr::ui
