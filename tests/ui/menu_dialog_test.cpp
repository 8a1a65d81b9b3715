// The settings item in the host's menu and the settings dialog.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "config/ini_file.h"
#include "ui/qt/grad_table.h"
#include "ui/qt/tune_params.h"
#include "ui/qt/widgets.h"
#include "ui_support.h"

namespace vr::test {
namespace {

using ui::TfmGradTable;
using ui::TfmTuneParams;

class MenuTest : public ::testing::Test {
 protected:
  MenuTest() {
    bar_.addMenu(QStringLiteral("&Файл"));
    settings_ = bar_.addMenu(QStringLiteral("&Настройка"));
    settings_->addAction(QStringLiteral("Станция"));
  }
  void AddMenu(TSilo& silo, QWidget* menu) { silo.AddMenuItem(static_cast<QWidget*>(menu)); }

  RecordingApp app_;
  TempWindowsDir windir_;
  SimulatedGauge sim_;
  QMenuBar bar_;
  QMenu* settings_;
};

TEST_F(MenuTest, CaptionNamesTheConnection) {
  const struct {
    uint8_t type;
    const char* caption;
  } cases[] = {{0, "Настройка Veeder-Root (БС №1)"},
               {2, "Настройка Veeder-Root (БС №3)"},
               {3, "Настройка Veeder-Root (COM №1)"},
               {8, "Настройка Veeder-Root (COM №6)"}};
  for (const auto& c : cases) {
    QMenuBar bar;
    QMenu* menu = bar.addMenu(QStringLiteral("&Настройка"));
    TSilo& silo = sim_.Open(c.type);
    AddMenu(silo, &bar);
    ASSERT_EQ(menu->actions().size(), 1) << int(c.type);
    QAction* item = menu->actions().back();
    EXPECT_EQ(item->text().toStdString(), c.caption);
    EXPECT_EQ(item->statusTip().toStdString(), "Настройка Veeder-Root");
    EXPECT_TRUE(item->shortcut().isEmpty());
    EXPECT_EQ(item->parent(), menu) << "owned like the host's item";
    sim_.silo.reset();
    EXPECT_TRUE(menu->actions().isEmpty()) << "removed with its driver";
  }
  EXPECT_TRUE(app_.Shown_().empty());
}

TEST_F(MenuTest, OnlyTheFirstCallActs) {
  TSilo& silo = sim_.Open(4);
  AddMenu(silo, &bar_);
  ASSERT_EQ(settings_->actions().size(), 2);
  AddMenu(silo, &bar_);
  QMenuBar other;
  QMenu* otherSettings = other.addMenu(QStringLiteral("&Настройка"));
  AddMenu(silo, &other);
  EXPECT_EQ(settings_->actions().size(), 2);
  EXPECT_TRUE(otherSettings->actions().isEmpty());
}

TEST_F(MenuTest, AFirstCallThatFindsNothingUsesUpTheItem) {
  QMenuBar plain;
  plain.addMenu(QStringLiteral("Настройка"));  // no ampersand: not the settings menu
  QMenu* wrong = plain.actions().front()->menu();
  TSilo& silo = sim_.Open(0);
  AddMenu(silo, &plain);
  EXPECT_TRUE(wrong->actions().isEmpty());
  AddMenu(silo, &bar_);
  EXPECT_EQ(settings_->actions().size(), 1) << "no item after the first call";
  // Something that is not a widget of this application is not touched.
  int notAMenu = 0;
  TSilo& other = sim_.Open(1);
  other.AddMenuItem(&notAMenu);
  AddMenu(other, &bar_);
  EXPECT_EQ(settings_->actions().size(), 1);
}

TEST_F(MenuTest, TakesTheFirstMatchingActionWithASubmenuOfAMenuToo) {
  QMenu host;
  host.addAction(QStringLiteral("&Настройка"));  // a plain action, no submenu
  QMenu* first = host.addMenu(QStringLiteral("&Настройка"));
  QMenu* second = host.addMenu(QStringLiteral("&Настройка"));
  TSilo& silo = sim_.Open(1);
  AddMenu(silo, &host);
  ASSERT_EQ(first->actions().size(), 1);
  EXPECT_EQ(first->actions().front()->text().toStdString(), "Настройка Veeder-Root (БС №2)");
  EXPECT_TRUE(second->actions().isEmpty());
}

TEST_F(MenuTest, ClickOpensTheSettingsDialogAndFromThereTheCalibrationWindow) {
  TSilo& silo = sim_.Open(5);
  silo.SetUpdatePeriodMs(45000);
  AddMenu(silo, &bar_);
  QString period, type;
  TSilo* gradDriver = nullptr;
  bool gradShown = false;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<TfmTuneParams*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    period = dialog->seCriticalTime->Text();
    type = dialog->cbConnetionType->currentText();
    QTimer::singleShot(0, [&] {
      auto* grad = qobject_cast<TfmGradTable*>(QApplication::activeModalWidget());
      ASSERT_NE(grad, nullptr);
      gradShown = grad->isVisible();
      gradDriver = grad->Driver;
      grad->BitBtn1->click();
    });
    dialog->bbtGrad->click();
    EXPECT_TRUE(dialog->isVisible()) << "the settings dialog stays open underneath";
    dialog->bbtCancel->click();
  });
  settings_->actions().back()->trigger();
  EXPECT_EQ(period, QStringLiteral("45"));
  EXPECT_EQ(type, QStringLiteral("Порт COM3"));
  EXPECT_TRUE(gradShown);
  EXPECT_EQ(gradDriver, &silo);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_FALSE(std::filesystem::exists(windir_.SettingsPath())) << "cancel saves nothing";
}

// ---------------------------------------------------------------------------

class TuneParamsTest : public ::testing::Test {
 protected:
  void Show(TSilo& silo) {
    dialog_.Driver = &silo;
    dialog_.show();
  }
  IniFile Settings() const { return IniFile(windir_.SettingsPath()); }

  RecordingApp app_;
  TempWindowsDir windir_;
  SimulatedGauge sim_;
  TfmTuneParams dialog_;
};

TEST_F(TuneParamsTest, ShowsTheRunningDriversValues) {
  const struct {
    int32_t periodMs;
    const char* shown;
  } cases[] = {{30000, "30"}, {30500, "30"}, {31500, "32"}, {0, "0"}, {900000, "600"}};
  TSilo& silo = sim_.Open(7);
  windir_.WriteSettings("[VeederRoot]\nConnectionType=1\nCriticalUpdateTime=99\n");
  for (const auto& c : cases) {
    silo.SetUpdatePeriodMs(c.periodMs);
    Show(silo);
    EXPECT_EQ(dialog_.seCriticalTime->Text().toStdString(), c.shown) << c.periodMs;
    EXPECT_EQ(dialog_.cbConnetionType->currentIndex(), 7) << "the driver's type, not the file's";
    dialog_.hide();
  }
}

TEST_F(TuneParamsTest, OkWritesBothKeysAndSwitchesTheDriver) {
  TSilo& silo = sim_.Open(3);
  Show(silo);
  dialog_.seCriticalTime->SetText(QStringLiteral("45"));
  dialog_.cbConnetionType->setCurrentIndex(4);  // "Порт COM2"
  QTest::mouseClick(dialog_.bbtSave, Qt::LeftButton);
  EXPECT_FALSE(dialog_.isVisible());
  EXPECT_EQ(dialog_.result(), QDialog::Accepted);
  IniFile ini = Settings();
  EXPECT_EQ(ini.ReadString("VeederRoot", "ConnectionType", ""), "4");
  EXPECT_EQ(ini.ReadString("VeederRoot", "CriticalUpdateTime", ""), "45");
  EXPECT_EQ(silo.GetConnectionType(), 4);
  EXPECT_EQ(silo.GetUpdatePeriodMs(), 45000);
  EXPECT_EQ(sim_.opened, (std::vector<uint16_t>{1, 2}));
  EXPECT_EQ(sim_.OpenDevices(), 1);
  EXPECT_TRUE(app_.Shown_().empty());
}

TEST_F(TuneParamsTest, EnterSavesUnchangedValuesAndKeepsTheOpenLink) {
  TSilo& silo = sim_.Open(5);
  silo.SetUpdatePeriodMs(30000);
  TUrovn* link = sim_.Link();
  Show(silo);
  QTest::keyClick(dialog_.seCriticalTime, Qt::Key_Return);
  EXPECT_EQ(dialog_.result(), QDialog::Accepted);
  IniFile ini = Settings();
  EXPECT_EQ(ini.ReadInteger("VeederRoot", "ConnectionType", -9), 5);
  EXPECT_EQ(ini.ReadInteger("VeederRoot", "CriticalUpdateTime", -9), 30);
  EXPECT_EQ(sim_.Link(), link) << "same type: the link stays open";
  EXPECT_EQ(sim_.opened.size(), 1u);
  EXPECT_EQ(silo.GetUpdatePeriodMs(), 30000);
}

TEST_F(TuneParamsTest, EscapeClosesWithoutSaving) {
  TSilo& silo = sim_.Open(5);
  Show(silo);
  dialog_.cbConnetionType->setCurrentIndex(0);
  QTest::keyClick(&dialog_, Qt::Key_Escape);
  EXPECT_EQ(dialog_.result(), QDialog::Rejected);
  EXPECT_FALSE(dialog_.isVisible());
  EXPECT_FALSE(std::filesystem::exists(windir_.SettingsPath()));
  EXPECT_EQ(silo.GetConnectionType(), 5);
}

TEST_F(TuneParamsTest, AFailedWriteIsReportedAndNothingApplied) {
  TSilo& silo = sim_.Open(5);
  silo.SetUpdatePeriodMs(30000);
  // The settings directory lies under a plain file: it cannot be made.
  const std::string blocker = windir_.Dir() + "/blocker";
  std::ofstream(blocker) << "x";
  setenv("WINDIR", (blocker + "/windows").c_str(), 1);
  Show(silo);
  dialog_.seCriticalTime->SetText(QStringLiteral("10"));
  dialog_.cbConnetionType->setCurrentIndex(0);
  dialog_.bbtSave->click();
  EXPECT_EQ(app_.Errors().size(), 1u);
  EXPECT_TRUE(dialog_.isVisible()) << "the dialog stays open";
  EXPECT_EQ(silo.GetUpdatePeriodMs(), 30000);
  EXPECT_EQ(silo.GetConnectionType(), 5);
  EXPECT_NE(sim_.Link(), nullptr);
}

}  // namespace
}  // namespace vr::test
