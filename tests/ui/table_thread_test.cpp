// Reading and writing the gauge table on the transfer thread, against the
// gauge simulator behind an in-memory serial port.
#include "ui/qt/table_thread.h"

#include <gtest/gtest.h>

#include <QChartView>
#include <QComboBox>
#include <QLabel>
#include <QLineSeries>
#include <QSignalSpy>
#include <QTest>
#include <memory>

#include "ui/qt/grad_table.h"
#include "ui/qt/tune_params.h"
#include "ui/qt/widgets.h"
#include "ui_support.h"

namespace vr::test {
namespace {

using ui::TfmGradTable;
using ui::TTableThread;

std::vector<QWidget*> Controls(TfmGradTable& w) {
  return {w.Label22,       w.seH,           w.sgTable,        w.sgConfig,    w.bbtReadTable,
          w.bbtWriteTable, w.bbtReadConfig, w.bbtWriteConfig, w.bbtSetTable, w.bbtSetConfig,
          w.bbtSaveFile,   w.bbtOpenFile,   w.Chart1,         w.cbSiloNum2,  w.BitBtn1};
}

std::vector<std::string> Enabled(TfmGradTable& w) {
  std::vector<std::string> names;
  for (QWidget* c : Controls(w))
    if (c->isEnabled()) names.push_back(c->objectName().toStdString());
  return names;
}

const std::vector<std::string> kEverything = {
    "Label22",       "seH",           "sgTable",        "sgConfig",    "bbtReadTable",
    "bbtWriteTable", "bbtReadConfig", "bbtWriteConfig", "bbtSetTable", "bbtSetConfig",
    "bbtSaveFile",   "bbtOpenFile",   "Chart1",         "cbSiloNum2",  "BitBtn1"};

class TableThreadTest : public ::testing::Test {
 protected:
  TableThreadTest() : locale_(CommaLocale()) {
    sim_.Open(3);
    w_ = std::make_unique<TfmGradTable>();
    w_->Driver = sim_.silo.get();
    w_->show();
  }
  ~TableThreadTest() override {
    w_.reset();
    WaitFor([] { return TTableThread::Existing() == 0; });
  }
  // Chooses gauge tank n as the user does: the arrow key in the closed box
  // moves to its entry.
  void Choose(int tank) {
    w_->cbSiloNum2->setCurrentIndex(tank - 2);
    QTest::keyClick(w_->cbSiloNum2, Qt::Key_Down);
    ASSERT_EQ(w_->cbSiloNum2->currentIndex(), tank - 1);
  }
  bool Finish(int transfers = 1) {
    return WaitFor([&] { return spy_->count() >= transfers; }) &&
           WaitFor([] { return TTableThread::Existing() == 0; });
  }
  std::vector<QString> Column(int col) {
    std::vector<QString> out;
    for (int r = 1; r < w_->sgTable->RowCount(); ++r) out.push_back(w_->sgTable->Cell(col, r));
    return out;
  }

  RecordingApp app_;
  TempWindowsDir windir_;
  ScopedLocale locale_;
  SimulatedGauge sim_;
  std::unique_ptr<TfmGradTable> w_;
  std::unique_ptr<QSignalSpy> spy_;

  void SetUp() override {
    spy_ = std::make_unique<QSignalSpy>(w_.get(), &TfmGradTable::TransferFinished);
  }
};

TEST_F(TableThreadTest, ReadFillsTheGaugeTableAndHeight) {
  Choose(2);  // tank 2: height 4000 mm, volumes 200 .. 4000
  ASSERT_TRUE(Finish());
  EXPECT_EQ(w_->seH->Text(), QStringLiteral("4000"));
  std::vector<QString> levels, volumes, numbers;
  for (int k = 1; k <= 20; ++k) {
    numbers.push_back(QString::number(k));
    levels.push_back(QLocale().toString(20.0 * k, 'f', 1));
    volumes.push_back(QString::number(200 * k));
  }
  EXPECT_EQ(Column(0), numbers);
  EXPECT_EQ(Column(1), levels);
  EXPECT_EQ(Column(2), volumes);
  EXPECT_EQ(Enabled(*w_), kEverything);
  EXPECT_EQ(sim_.gauge.GetStats().Count("i60702"), 1u);
  EXPECT_EQ(sim_.gauge.GetStats().Count("i60602"), 1u);
  // No stored table: the comparison table keeps its empty row, the chart stays empty.
  EXPECT_EQ(w_->sgConfig->RowCount(), 2);
  EXPECT_EQ(w_->Series1->count(), 0);
  EXPECT_TRUE(app_.Shown_().empty());
}

TEST_F(TableThreadTest, ReadLoadsTheStoredTableOfThatEntryAndDrawsBoth) {
  sim::TankState t;
  t.height = 12000.0f;  // beyond the field's range
  for (int k = 0; k < 20; ++k) t.cal[k] = 500.0f * (k + 1);
  t.cal[0] = 2.5f;
  t.cal[1] = 3.5f;
  sim_.gauge.SetTank(7, t);
  windir_.WriteSettings(
      "[SiloItem6]\nCount=2\nItem0=0,0=0,000\nItem1=10000,0=10,000\n"
      "[SiloItem1]\nCount=1\nItem0=5,0=5,000\n");
  Choose(7);
  ASSERT_TRUE(Finish());
  EXPECT_EQ(sim_.gauge.GetStats().Count("i60707"), 1u) << "the seventh entry is tank 7";
  EXPECT_EQ(w_->seH->Text(), QStringLiteral("10000"));
  EXPECT_EQ(w_->sgTable->Cell(1, 1), QStringLiteral("50,0"));
  EXPECT_EQ(w_->sgTable->Cell(1, 20), QStringLiteral("1000,0"));
  EXPECT_EQ(w_->sgTable->Cell(2, 1), QStringLiteral("2")) << "2.5 to even";
  EXPECT_EQ(w_->sgTable->Cell(2, 2), QStringLiteral("4")) << "3.5 to even";
  EXPECT_EQ(w_->sgTable->Cell(2, 20), QStringLiteral("10000"));
  ASSERT_EQ(w_->sgConfig->RowCount(), 3) << "section SiloItem6";
  EXPECT_EQ(w_->sgConfig->Cell(1, 2), QStringLiteral("1000,0"));
  EXPECT_EQ(w_->sgConfig->Cell(2, 2), QStringLiteral("10000"));
  EXPECT_EQ(w_->Series1->count(), 20);
  EXPECT_EQ(w_->Series2->count(), 2);

  // A tank without a stored table keeps the comparison table shown before.
  Choose(3);
  ASSERT_TRUE(Finish(2));
  EXPECT_EQ(w_->seH->Text(), QStringLiteral("6000"));
  EXPECT_EQ(w_->sgConfig->RowCount(), 3);
  EXPECT_EQ(w_->sgConfig->Cell(2, 2), QStringLiteral("10000"));
}

TEST_F(TableThreadTest, FailedReadReportsOnceAndLeavesOnlyRetryAndExit) {
  windir_.WriteSettings("[SiloItem0]\nCount=2\nItem0=0,0=0,000\nItem1=500,0=1,000\n");
  Choose(1);
  ASSERT_TRUE(Finish());
  ASSERT_EQ(w_->Series2->count(), 2);
  sim_.gauge.SetFault("silent");
  w_->bbtReadTable->click();
  ASSERT_TRUE(Finish(2));
  ASSERT_EQ(app_.Shown_().size(), 1u);
  EXPECT_EQ(app_.Shown_()[0].text,
            "Ошибка чтения градуировочной таблицы.\n\rВозможно уровнемер отсутствует или "
            "отключен, либо в него записаны неверные данные.");
  EXPECT_EQ(app_.Shown_()[0].caption, "Ошибка");
  EXPECT_EQ(app_.Shown_()[0].flags, MB_OK | MB_ICONERROR);
  EXPECT_TRUE(w_->seH->Text().isEmpty());
  for (int r = 1; r <= 20; ++r)
    for (int c = 0; c < 3; ++c) EXPECT_TRUE(w_->sgTable->Cell(c, r).isEmpty());
  EXPECT_EQ(w_->sgConfig->RowCount(), 2);
  EXPECT_TRUE(w_->sgConfig->Cell(2, 1).isEmpty());
  EXPECT_EQ(w_->Series1->count() + w_->Series2->count(), 0);
  EXPECT_EQ(Enabled(*w_), (std::vector<std::string>{"bbtReadTable", "cbSiloNum2", "BitBtn1"}));

  // Trying again once the gauge answers unlocks everything.
  sim_.gauge.ClearFaults();
  w_->bbtReadTable->click();
  ASSERT_TRUE(Finish(3));
  EXPECT_EQ(Enabled(*w_), kEverything);
  EXPECT_EQ(app_.Shown_().size(), 1u);
}

TEST_F(TableThreadTest, WriteSendsHeightAndVolumesAndReportsOnlyFailure) {
  Choose(1);
  ASSERT_TRUE(Finish());
  w_->seH->SetText(QStringLiteral("2500,5"));  // sent as 2500: halves to even
  for (int r = 1; r <= 20; ++r) w_->sgTable->SetCell(2, r, QString::number(111 * r));
  w_->bbtWriteTable->click();
  ASSERT_TRUE(Finish(2));
  EXPECT_TRUE(app_.Shown_().empty()) << "a write that succeeds shows nothing";
  EXPECT_EQ(Enabled(*w_), kEverything);
  std::optional<sim::TankState> tank = sim_.gauge.GetTank(1);
  EXPECT_FLOAT_EQ(tank->height, 2500.0f);
  for (int k = 0; k < 20; ++k) EXPECT_FLOAT_EQ(tank->cal[k], 111.0f * (k + 1)) << k;

  sim_.gauge.SetFault("silent");
  w_->bbtWriteTable->click();
  ASSERT_TRUE(Finish(3));
  ASSERT_EQ(app_.Shown_().size(), 1u);
  EXPECT_EQ(app_.Shown_()[0].text, ui::kWriteTableFailed);
  EXPECT_EQ(app_.Shown_()[0].caption, "Ошибка");
  EXPECT_EQ(Enabled(*w_), kEverything);
}

TEST_F(TableThreadTest, TheWindowIsLockedWhileTheTransferRuns) {
  sim_.gauge.SetFault("silent");  // the read takes three 150 ms attempts
  Choose(1);
  ASSERT_TRUE(WaitFor([&] { return !w_->cbSiloNum2->isEnabled(); }, 2000));
  EXPECT_EQ(Enabled(*w_), (std::vector<std::string>{"BitBtn1"}));
  ASSERT_TRUE(Finish());
}

TEST_F(TableThreadTest, ClosingTheWindowDuringAReadDropsTheFinish) {
  sim_.gauge.SetFault("silent");
  Choose(2);
  ASSERT_TRUE(WaitFor([&] { return !w_->cbSiloNum2->isEnabled(); }, 2000));
  ASSERT_EQ(TTableThread::Existing(), 1);
  w_->BitBtn1->click();
  EXPECT_FALSE(w_->isVisible());
  w_.reset();
  ASSERT_TRUE(WaitFor([] { return TTableThread::Existing() == 0; }));
  EXPECT_TRUE(app_.Shown_().empty()) << "nothing is shown for a window that is gone";
  EXPECT_GE(sim_.gauge.GetStats().Count("i60702"), 1u);
}

TEST_F(TableThreadTest, DestroyingTheDriverWaitsForTheTransferToLeaveIt) {
  // The height is read, the volumes never answer: the read spends its time in
  // the second exchange, after the driver's lock was free for a moment.
  sim_.gauge.SetFault("no-i606");
  Choose(2);
  ASSERT_TRUE(WaitFor([&] { return sim_.gauge.GetStats().Count("i60702") == 1; }, 2000));
  // The host destroys the driver while the worker is inside its read.
  sim_.silo.reset();
  EXPECT_EQ(sim_.gauge.GetStats().Count("i60602"), 3u)
      << "the read had made all its attempts before the driver went";
  EXPECT_EQ(w_->Driver, nullptr) << "the window has dropped its driver";
  EXPECT_FALSE(w_->isVisible()) << "and closed";
  ASSERT_TRUE(WaitFor([] { return TTableThread::Existing() == 0; }));
}

}  // namespace
}  // namespace vr::test
