#include "ui/qt/qt_application.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <mutex>

namespace vr::ui {
namespace {

QMessageBox::Icon IconOf(uint32_t flags) {
  switch (flags & 0xF0) {
    case MB_ICONERROR:
      return QMessageBox::Critical;
    case MB_ICONWARNING:
      return QMessageBox::Warning;
    case 0x40:
      return QMessageBox::Information;
    case 0x20:
      return QMessageBox::Question;
    default:
      return QMessageBox::NoIcon;
  }
}

void ShowBox(QWidget* parent, const QString& text, const QString& caption, uint32_t flags) {
  QMessageBox box(IconOf(flags), caption, text, QMessageBox::Ok, parent);
  box.exec();
}

}  // namespace

QWidget* QtApplication::OwnerWidget() const {
  const uintptr_t owner = OwnerWindow();
  if (owner == 0) return nullptr;
  // The handle is only trusted when it names a live top-level widget.
  for (QWidget* w : QApplication::topLevelWidgets())
    if (reinterpret_cast<uintptr_t>(w) == owner) return w;
  return nullptr;
}

void QtApplication::ShowMessage(const std::string& text, const std::string& caption,
                                uint32_t flags) {
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (!app) {
    Application::ShowMessage(text, caption, flags);
    return;
  }
  const QString qtext = QString::fromStdString(text);
  const QString qcaption = QString::fromStdString(caption);
  if (QThread::currentThread() != app->thread()) {
    QMetaObject::invokeMethod(
        app,
        [this, qtext, qcaption, flags] {
          ShowMessage(qtext.toStdString(), qcaption.toStdString(), flags);
        },
        Qt::QueuedConnection);
    return;
  }
  QWidget* parent = QApplication::activeModalWidget();
  if (!parent) parent = QApplication::activeWindow();
  if (!parent) parent = OwnerWidget();
  ShowBox(parent, qtext, qcaption, flags);
}

void InstallQtApplication() {
  static QtApplication app;
  static std::once_flag once;
  std::call_once(once, [] { SetApplication(&app); });
}

}  // namespace vr::ui
