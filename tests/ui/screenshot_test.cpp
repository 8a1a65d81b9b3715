// Pictures of the windows as they are drawn, saved next to the test program
// for a person to look at.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineSeries>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QSignalSpy>
#include <QTest>

#include "ui/qt/grad_table.h"
#include "ui/qt/table_thread.h"
#include "ui/qt/tune_params.h"
#include "ui/qt/widgets.h"
#include "ui_support.h"

namespace vr::test {
namespace {

bool Save(QWidget* w, const char* name) {
  return w->grab().save(QStringLiteral(VR_UI_SCREENSHOT_DIR "/%1").arg(QLatin1String(name)));
}

TEST(Screenshot, SettingsDialog) {
  RecordingApp app;
  TempWindowsDir windir;
  SimulatedGauge sim;
  TSilo& silo = sim.Open(4);
  ui::TfmTuneParams dialog;
  dialog.Driver = &silo;
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  EXPECT_TRUE(Save(&dialog, "settings_dialog.png"));
}

TEST(Screenshot, CalibrationWindowAfterARead) {
  RecordingApp app;
  TempWindowsDir windir;
  ScopedLocale locale(CommaLocale());
  SimulatedGauge sim;
  sim::TankState t;
  t.height = 3000.0f;
  // A horizontal cylinder's table against a stored one that is a little off.
  for (int k = 0; k < 20; ++k) {
    const double x = (k + 1) / 20.0;
    t.cal[k] = static_cast<float>(30000.0 * (x * x * (3 - 2 * x)));
  }
  sim.gauge.SetTank(2, t);
  windir.WriteSettings(
      "[SiloItem1]\nCount=5\nItem0=0,0=0,000\nItem1=750,0=4,100\nItem2=1500,0=15,200\n"
      "Item3=2250,0=26,000\nItem4=3000,0=30,500\n");
  sim.Open(3);
  ui::TfmGradTable w;
  w.Driver = sim.silo.get();
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  QSignalSpy done(&w, &ui::TfmGradTable::TransferFinished);
  w.cbSiloNum2->setCurrentIndex(0);
  QTest::keyClick(w.cbSiloNum2, Qt::Key_Down);
  ASSERT_TRUE(WaitFor([&] { return done.count() == 1 && ui::TTableThread::Existing() == 0; }));
  ASSERT_EQ(w.Series1->count(), 20);
  ASSERT_EQ(w.Series2->count(), 5);
  QTest::qWait(50);
  EXPECT_TRUE(Save(&w, "grad_table.png"));
}

TEST(Screenshot, HostMenuWithTheItem) {
  RecordingApp app;
  TempWindowsDir windir;
  SimulatedGauge sim;
  QMenuBar bar;
  QMenu* settings = bar.addMenu(QStringLiteral("&Настройка"));
  settings->addAction(QStringLiteral("Параметры станции"));
  sim.Open(5).AddMenuItem(static_cast<QWidget*>(&bar));
  settings->popup(QPoint(0, 0));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(settings));
  EXPECT_TRUE(Save(settings, "settings_menu.png"));
  settings->hide();
}

}  // namespace
}  // namespace vr::test
