// Message boxes of the Qt application object.
#include "ui/qt/qt_application.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>
#include <thread>

#include "ui_support.h"

namespace vr::test {
namespace {

struct SeenBox {
  QString title, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  int buttons = 0;
  bool onUiThread = false;
};

// Closes the next modal message box with its OK button and tells what it was.
void CloseNextBox(SeenBox& seen, int delayMs = 0) {
  QTimer::singleShot(delayMs, [&seen] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.icon = box->icon();
    seen.buttons = static_cast<int>(box->buttons().size());
    seen.onUiThread = QThread::currentThread() == qApp->thread();
    box->button(QMessageBox::Ok)->click();
  });
}

TEST(QtApplicationTest, BoxesCarryTheCaptionTheIconAndOneOkButton) {
  ui::QtApplication app;
  const struct {
    const char* caption;
    uint32_t flags;
    QMessageBox::Icon icon;
  } cases[] = {{"Ошибка", MB_OK | MB_ICONERROR, QMessageBox::Critical},
               {"Информация", MB_OK | MB_ICONWARNING, QMessageBox::Warning}};
  for (const auto& c : cases) {
    SeenBox seen;
    CloseNextBox(seen);
    app.ShowMessage("Выберите номер уровнемера!", c.caption, c.flags);
    EXPECT_EQ(seen.title.toStdString(), c.caption);
    EXPECT_EQ(seen.text.toStdString(), "Выберите номер уровнемера!");
    EXPECT_EQ(seen.icon, c.icon);
    EXPECT_EQ(seen.buttons, 1);
  }
  SeenBox report;
  CloseNextBox(report);
  app.ReportError("«x» не является числом");
  EXPECT_EQ(report.title.toStdString(), "Ошибка");
  EXPECT_EQ(report.icon, QMessageBox::Critical);
}

TEST(QtApplicationTest, AWorkersMessageGoesToTheUiThreadWithoutWaitingForIt) {
  ui::QtApplication app;
  bool returned = false;
  std::thread worker([&] {
    app.ShowMessage("Ошибка связи с БС", "Ошибка", MB_OK | MB_ICONERROR);
    returned = true;
  });
  worker.join();  // would hang if the worker waited for the box
  EXPECT_TRUE(returned);
  SeenBox seen;
  CloseNextBox(seen, 20);
  ASSERT_TRUE(WaitFor([&] { return !seen.title.isEmpty(); }, 5000));
  EXPECT_EQ(seen.text.toStdString(), "Ошибка связи с БС");
  EXPECT_TRUE(seen.onUiThread);
}

}  // namespace
}  // namespace vr::test
