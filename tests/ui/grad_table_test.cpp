// The calibration-table window without a gauge: checks, levels, chart,
// interpolation, copying and cell editing, in a comma and a point locale.
#include "ui/qt/grad_table.h"

#include <gtest/gtest.h>

#include <QChartView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QTest>
#include <memory>

#include "ui/qt/table_thread.h"
#include "ui/qt/widgets.h"
#include "ui_support.h"

namespace vr::test {
namespace {

using ui::TfmGradTable;
using ui::TStringGrid;

class GradTableTest : public ::testing::TestWithParam<bool> {
 protected:
  GradTableTest() : locale_(GetParam() ? CommaLocale() : PointLocale()) {
    w_ = std::make_unique<TfmGradTable>();
    w_->show();
  }
  // What FormShow leaves locked is unlocked as after a read.
  void Unlock() { w_->GradAccessOnOff(true); }
  // Text of a number as the window shows it: "12,5" or "12.5".
  static QString Num(const char* pointText) {
    QString s = QString::fromLatin1(pointText);
    if (QLocale().decimalPoint() == QStringLiteral(",")) s.replace('.', ',');
    return s;
  }
  void SetVolumes(TStringGrid* g, const std::vector<const char*>& v) {
    for (size_t i = 0; i < v.size(); ++i)
      g->SetCell(2, static_cast<int>(i) + 1, QString::fromUtf8(v[i]));
  }
  // Comparison table from (level cm, volume l) rows.
  void SetConfig(const std::vector<std::pair<const char*, const char*>>& rows) {
    w_->sgConfig->SetRowCount(static_cast<int>(rows.size()) + 1);
    for (size_t i = 0; i < rows.size(); ++i) {
      const int r = static_cast<int>(i) + 1;
      w_->sgConfig->SetCell(0, r, QString::number(r));
      w_->sgConfig->SetCell(1, r, Num(rows[i].first));
      w_->sgConfig->SetCell(2, r, QString::fromLatin1(rows[i].second));
    }
  }
  std::vector<QString> Column(TStringGrid* g, int col) {
    std::vector<QString> out;
    for (int r = 1; r < g->RowCount(); ++r) out.push_back(g->Cell(col, r));
    return out;
  }
  void FillAscendingVolumes() {
    for (int r = 1; r <= 20; ++r) w_->sgTable->SetCell(2, r, QString::number(100 * r));
  }
  std::vector<Shown> Messages() const { return app_.Shown_(); }

  RecordingApp app_;
  TempWindowsDir windir_;
  ScopedLocale locale_;
  std::unique_ptr<TfmGradTable> w_;
};

INSTANTIATE_TEST_SUITE_P(Locales, GradTableTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Comma" : "Point"; });

TEST_P(GradTableTest, InterpolationFillsTheGaugeTableAndExtrapolatesBothEnds) {
  Unlock();
  w_->seH->SetValue(4000);
  EXPECT_EQ(w_->sgTable->Cell(1, 1), Num("20.0"));
  EXPECT_EQ(w_->sgTable->Cell(1, 20), Num("400.0"));
  SetConfig({{"0.0", "0"}, {"100.0", "1000"}, {"200.0", "3000"}});
  w_->bbtSetTable->click();
  std::vector<QString> want;
  for (int v : {200,  400,  600,  800,  1000, 1400, 1800, 2200, 2600, 3000,
                3400, 3800, 4200, 4600, 5000, 5400, 5800, 6200, 6600, 7000})
    want.push_back(QString::number(v));
  EXPECT_EQ(Column(w_->sgTable, 2), want);
  EXPECT_EQ(w_->Series1->count(), 20) << "both tables pass: the chart is drawn";
  EXPECT_EQ(w_->Series2->count(), 3);
  EXPECT_DOUBLE_EQ(w_->Series1->at(19).x(), 400.0);
  EXPECT_DOUBLE_EQ(w_->Series1->at(19).y(), 7000.0);
  EXPECT_TRUE(Messages().empty());
}

TEST_P(GradTableTest, InterpolationRefusesTablesWithoutASegment) {
  const std::vector<std::vector<std::pair<const char*, const char*>>> cases = {
      {{"10.0", "100"}},                                          // one point
      {{"", ""}},                                                 // the empty row of a new window
      {{"100.0", "1000"}, {"100.0", "2000"}, {"200.0", "3000"}},  // first segment has no width
      {{"0.0", "0"}, {"50.0", "500"}, {"50.0", "900"}},           // last segment has no width
  };
  Unlock();
  w_->seH->SetValue(1000);
  for (size_t i = 0; i < cases.size(); ++i) {
    FillAscendingVolumes();
    const std::vector<QString> before = Column(w_->sgTable, 2);
    SetConfig(cases[i]);
    const size_t shown = Messages().size();
    w_->bbtSetTable->click();
    ASSERT_EQ(Messages().size(), shown + 1) << i;
    EXPECT_EQ(Messages().back().text, ui::kBadTableData) << i;
    EXPECT_EQ(Messages().back().caption, "Ошибка");
    EXPECT_EQ(Messages().back().flags, MB_OK | MB_ICONERROR);
    EXPECT_EQ(Column(w_->sgTable, 2), before) << "nothing changed in case " << i;
  }
  EXPECT_TRUE(app_.Errors().empty());
}

TEST_P(GradTableTest, WriteChecksTheGaugeTableFirst) {
  const struct {
    std::vector<const char*> volumes;
    const char* text;
    int row;
  } cases[] = {
      {{"100", "100", "90"}, ui::kTableNotAscending, 3},
      {{""}, ui::kBadTableData, 1},
      {{"10", "20", "30", "40", "x5"}, ui::kTableNotAscending, 5},
      {{"abc"}, ui::kBadTableData, 1},
  };
  Unlock();
  w_->seH->SetValue(2000);
  for (const auto& c : cases) {
    FillAscendingVolumes();
    SetVolumes(w_->sgTable, c.volumes);
    w_->sgTable->SetRow(10);
    const size_t shown = Messages().size();
    w_->bbtWriteTable->click();
    ASSERT_EQ(Messages().size(), shown + 1);
    EXPECT_EQ(Messages().back().text, c.text);
    EXPECT_EQ(w_->sgTable->Row(), c.row);
    EXPECT_EQ(w_->focusWidget(), w_->sgTable);
    EXPECT_EQ(ui::TTableThread::Existing(), 0) << "nothing is sent";
  }
}

TEST_P(GradTableTest, HeightChangeMovesOnlyTheLevels) {
  Unlock();
  w_->seH->SetValue(2000);
  FillAscendingVolumes();
  EXPECT_EQ(w_->sgTable->Cell(1, 1), Num("10.0"));
  EXPECT_EQ(w_->sgTable->Cell(1, 20), Num("200.0"));
  const std::vector<QString> volumes = Column(w_->sgTable, 2);
  // Typed as the user does it.
  w_->seH->SetText(QString());
  QTest::keyClicks(w_->seH, QStringLiteral("3000"));
  EXPECT_EQ(w_->sgTable->Cell(1, 1), Num("15.0"));
  EXPECT_EQ(w_->sgTable->Cell(1, 7), Num("105.0"));
  EXPECT_EQ(w_->sgTable->Cell(1, 20), Num("300.0"));
  EXPECT_EQ(w_->sgTable->Cell(0, 20), QStringLiteral("20"));
  EXPECT_EQ(Column(w_->sgTable, 2), volumes);
}

TEST_P(GradTableTest, ChartIsLeftAloneWhileATableFailsItsCheck) {
  Unlock();
  w_->seH->SetValue(2000);
  FillAscendingVolumes();
  w_->DrawGraph();
  EXPECT_EQ(w_->Series1->count(), 0) << "the comparison table holds one empty row";
  SetConfig({{"0.0", "0"}, {"200.0", "2000"}});
  w_->DrawGraph();
  ASSERT_EQ(w_->Series1->count(), 20);
  const QList<QPointF> drawn = w_->Series1->points();
  w_->sgConfig->SetCell(2, 2, QStringLiteral("-5"));  // no longer ascending
  w_->seH->SetValue(3000);
  EXPECT_EQ(w_->sgTable->Cell(1, 20), Num("300.0"));
  EXPECT_EQ(w_->Series1->points(), drawn);
  EXPECT_EQ(w_->Series2->count(), 2);
}

TEST_P(GradTableTest, RightArrowCopiesAllTwentyRows) {
  Unlock();
  w_->seH->SetValue(2500);
  FillAscendingVolumes();
  w_->bbtSetConfig->click();
  ASSERT_EQ(w_->sgConfig->RowCount(), 21);
  for (int r = 1; r <= 20; ++r)
    for (int c = 0; c < 3; ++c) EXPECT_EQ(w_->sgConfig->Cell(c, r), w_->sgTable->Cell(c, r));
  EXPECT_EQ(w_->Series1->count(), 20);
  EXPECT_EQ(w_->Series2->points(), w_->Series1->points());
}

TEST_P(GradTableTest, TypingALoneMinusIsReportedAtOnceAnEmptyCellIsNot) {
  Unlock();
  w_->seH->SetValue(2000);
  FillAscendingVolumes();
  w_->sgTable->setFocus();
  w_->sgTable->setCurrentCell(3, 2);
  QTest::keyClick(w_->sgTable, Qt::Key_F2);
  ASSERT_TRUE(w_->sgTable->Editing());
  EXPECT_EQ(ui::SavedEditText, QStringLiteral("300"));
  auto* editor = qobject_cast<QLineEdit*>(w_->sgTable->Editor());
  ASSERT_NE(editor, nullptr);
  editor->selectAll();
  QTest::keyClick(editor, Qt::Key_Minus);
  EXPECT_EQ(w_->sgTable->Cell(2, 3), QStringLiteral("-"));
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].text, ui::kBadTableData);
  QTest::keyClick(editor, Qt::Key_Backspace);
  EXPECT_TRUE(w_->sgTable->Cell(2, 3).isEmpty());
  EXPECT_EQ(Messages().size(), 1u) << "an empty cell is not reported";
}

TEST_P(GradTableTest, EscapeRestoresTheCellThenClosesTheWindow) {
  Unlock();
  SetConfig({{"5.0", "50"}, {"10.0", "100"}});
  w_->sgConfig->setFocus();
  w_->sgConfig->setCurrentCell(1, 2);
  QTest::keyClick(w_->sgConfig, Qt::Key_F2);
  ASSERT_TRUE(w_->sgConfig->Editing());
  auto* editor = qobject_cast<QLineEdit*>(w_->sgConfig->Editor());
  editor->selectAll();
  QTest::keyClicks(editor, QStringLiteral("77"));
  EXPECT_EQ(w_->sgConfig->Cell(2, 1), QStringLiteral("77"));
  QTest::keyClick(editor, Qt::Key_Escape);
  EXPECT_EQ(w_->sgConfig->Cell(2, 1), QStringLiteral("50"));
  EXPECT_FALSE(w_->sgConfig->Editing());
  EXPECT_TRUE(w_->isVisible()) << "Esc in a cell does not close the window";
  QApplication::processEvents();
  QTest::keyClick(w_->sgConfig, Qt::Key_Escape);
  EXPECT_FALSE(w_->isVisible());
  EXPECT_EQ(w_->result(), QDialog::Rejected);
}

TEST_P(GradTableTest, LeavingAFaultyComparisonTableSendsTheFocusBack) {
  Unlock();
  w_->activateWindow();
  QApplication::setActiveWindow(w_.get());
  SetConfig({{"5.0", "50"}, {"10.0", "20"}});
  w_->sgConfig->setFocus();
  ASSERT_TRUE(WaitFor([&] { return QApplication::focusWidget() == w_->sgConfig; }, 2000));
  w_->bbtReadConfig->setFocus();
  ASSERT_TRUE(WaitFor([&] { return !Messages().empty(); }, 2000));
  EXPECT_EQ(Messages()[0].text, ui::kTableNotAscending);
  EXPECT_EQ(w_->sgConfig->Row(), 2);
  EXPECT_EQ(QApplication::focusWidget(), w_->sgConfig);
  // The exit button is always reachable.
  w_->BitBtn1->setFocus();
  QTest::qWait(50);
  EXPECT_EQ(Messages().size(), 1u);
}

TEST_P(GradTableTest, ReadWithoutANumberAsksForOne) {
  Unlock();
  w_->bbtReadTable->click();
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].text, ui::kChooseGauge);
  EXPECT_EQ(Messages()[0].caption, "Информация");
  EXPECT_EQ(Messages()[0].flags, MB_OK | MB_ICONWARNING);
  EXPECT_EQ(ui::TTableThread::Existing(), 0);
}

TEST_P(GradTableTest, AnUnreadableLevelStopsInterpolationWithAConversionReport) {
  Unlock();
  w_->seH->SetValue(2000);
  FillAscendingVolumes();
  const std::vector<QString> before = Column(w_->sgTable, 2);
  SetConfig({{"0.0", "0"}, {"50.0", "500"}, {"x", "900"}, {"400.0", "4000"}});
  w_->bbtSetTable->click();
  ASSERT_EQ(app_.Errors().size(), 1u);
  EXPECT_NE(app_.Errors()[0].find("x"), std::string::npos);
  EXPECT_EQ(Column(w_->sgTable, 2), before);
}

}  // namespace
}  // namespace vr::test
