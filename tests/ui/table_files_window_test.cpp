// The comparison table to and from "*.tar" files and the settings file's
// "SiloItem" sections, through the window's four buttons.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineSeries>
#include <filesystem>
#include <fstream>
#include <memory>

#include "config/ini_file.h"
#include "ui/qt/grad_table.h"
#include "ui/qt/widgets.h"
#include "ui_support.h"

namespace vr::test {
namespace {

using ui::TfmGradTable;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class TableFilesTest : public ::testing::TestWithParam<bool> {
 protected:
  TableFilesTest() : locale_(GetParam() ? CommaLocale() : PointLocale()) {
    w_ = std::make_unique<TfmGradTable>();
    w_->show();
    w_->GradAccessOnOff(true);
  }
  bool Comma() const { return GetParam(); }
  QString Num(const char* pointText) const {
    QString s = QString::fromLatin1(pointText);
    if (Comma()) s.replace('.', ',');
    return s;
  }
  std::string Line(const char* pointText) const { return Num(pointText).toStdString(); }
  std::string TarPath(const char* name) const { return windir_.Dir() + "/" + name; }
  // (row number, level, volume) of every data row of the comparison table.
  std::vector<std::vector<QString>> ConfigRows() const {
    std::vector<std::vector<QString>> rows;
    for (int r = 1; r < w_->sgConfig->RowCount(); ++r)
      rows.push_back(
          {w_->sgConfig->Cell(0, r), w_->sgConfig->Cell(1, r), w_->sgConfig->Cell(2, r)});
    return rows;
  }
  void SetConfig(const std::vector<std::pair<const char*, const char*>>& rows) {
    w_->sgConfig->SetRowCount(static_cast<int>(rows.size()) + 1);
    for (size_t i = 0; i < rows.size(); ++i) {
      const int r = static_cast<int>(i) + 1;
      w_->sgConfig->SetCell(0, r, QString::number(r));
      w_->sgConfig->SetCell(1, r, Num(rows[i].first));
      w_->sgConfig->SetCell(2, r, QString::fromLatin1(rows[i].second));
    }
  }
  std::vector<std::string> List(const std::string& path, const char* section) const {
    std::vector<std::string> lines;
    IniFile(path).ReadClearList(section, lines);
    return lines;
  }
  void Open(const std::string& path) {
    dialogs_.answers.push_back(QString::fromStdString(path));
    w_->bbtOpenFile->click();
  }
  void Save(const std::string& path) {
    dialogs_.answers.push_back(QString::fromStdString(path));
    w_->bbtSaveFile->click();
  }

  RecordingApp app_;
  TempWindowsDir windir_;
  ScriptedDialogs dialogs_;
  ScopedLocale locale_;
  std::unique_ptr<TfmGradTable> w_;
};

INSTANTIATE_TEST_SUITE_P(Locales, TableFilesTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Comma" : "Point"; });

TEST_P(TableFilesTest, TableFileLoadsReadableLinesSortedByVolume) {
  WriteFile(TarPath("a.tar"), "[Silo]\r\nCount=3\r\nItem0=10=100\r\nItem1=5=50\r\nItem2=abc\r\n");
  Open(TarPath("a.tar"));
  ASSERT_EQ(dialogs_.asked.size(), 1u);
  EXPECT_FALSE(dialogs_.asked[0].Save);
  EXPECT_EQ(dialogs_.asked[0].DefaultExt, QStringLiteral("tar"));
  EXPECT_EQ(dialogs_.asked[0].Filter, QStringLiteral("Градуировочные таблицы|*.tar|Все файлы|*.*"));
  EXPECT_EQ(ConfigRows(), (std::vector<std::vector<QString>>{{"1", Num("5.0"), "50"},
                                                             {"2", Num("10.0"), "100"}}));
  EXPECT_TRUE(app_.Shown_().empty());
  EXPECT_TRUE(app_.Errors().empty());
}

TEST_P(TableFilesTest, SettingsSectionUsesMillimetresAndCubicMetres) {
  windir_.WriteSettings("[SiloItem0]\nCount=3\nItem0=10=100\nItem1=5=50\nItem2=abc\n");
  w_->cbSiloNum2->setCurrentIndex(0);
  w_->bbtReadConfig->click();
  EXPECT_EQ(ConfigRows(), (std::vector<std::vector<QString>>{{"1", Num("0.5"), "50000"},
                                                             {"2", Num("1.0"), "100000"}}));
}

TEST_P(TableFilesTest, CommaAndPointLinesReadAlikeABlankBeforeTheSignDoesNot) {
  WriteFile(TarPath("b.tar"),
            "[Silo]\nCount=3\nItem0=12,5=1234,5\nItem1=12.5=1234.5\nItem2=12.5 =1234.5\n");
  Open(TarPath("b.tar"));
  EXPECT_EQ(ConfigRows(), (std::vector<std::vector<QString>>{{"1", Num("12.5"), "1234"},
                                                             {"2", Num("12.5"), "1234"}}));
}

TEST_P(TableFilesTest, SectionWithoutReadableLinesLeavesNoDataRows) {
  WriteFile(TarPath("c.tar"), "[Silo]\nCount=2\nItem0=abc\nItem1=def\n");
  SetConfig({{"1.0", "1"}});
  Open(TarPath("c.tar"));
  EXPECT_EQ(w_->sgConfig->RowCount(), 1);
  // An empty or missing section changes nothing.
  SetConfig({{"1.0", "1"}, {"2.0", "2"}});
  WriteFile(TarPath("d.tar"), "[Other]\nCount=1\nItem0=1=1\n");
  Open(TarPath("d.tar"));
  Open(TarPath("missing.tar"));
  EXPECT_EQ(ConfigRows().size(), 2u);
  EXPECT_EQ(w_->Series2->count(), 0) << "the gauge table is empty: no redraw";
}

TEST_P(TableFilesTest, SaveAndLoadGiveTheSameRowsStoredAsShown) {
  WriteFile(TarPath("fine.tar"), "[Silo]\nCount=2\nItem0=12.345=1000.6\nItem1=0.04=0.4\n");
  Open(TarPath("fine.tar"));
  const auto shown = ConfigRows();
  EXPECT_EQ(shown, (std::vector<std::vector<QString>>{{"1", Num("0.0"), "0"},
                                                      {"2", Num("12.3"), "1001"}}));
  Save(TarPath("out.tar"));
  ASSERT_EQ(dialogs_.asked.size(), 2u);
  EXPECT_TRUE(dialogs_.asked[1].Save);
  EXPECT_EQ(List(TarPath("out.tar"), "Silo"),
            (std::vector<std::string>{Line("0.00=0.00"), Line("12.30=1001.00")}));
  SetConfig({{"9.0", "9"}});
  Open(TarPath("out.tar"));
  EXPECT_EQ(ConfigRows(), shown);
}

TEST_P(TableFilesTest, SavingReplacesTheWholeFile) {
  WriteFile(TarPath("old.tar"), "[Other]\nA=1\n[Silo]\nCount=3\nItem0=1=1\nItem1=2=2\nItem2=3=3\n");
  SetConfig({{"10.0", "100"}, {"20.0", "200"}});
  Save(TarPath("old.tar"));
  IniFile ini(TarPath("old.tar"));
  EXPECT_FALSE(ini.SectionExists("Other"));
  EXPECT_EQ(List(TarPath("old.tar"), "Silo"),
            (std::vector<std::string>{Line("10.00=100.00"), Line("20.00=200.00")}));
}

TEST_P(TableFilesTest, WritingTankThreeTouchesOnlyItsSection) {
  const std::string before =
      "[VeederRoot]\r\nConnectionType=4\r\nCriticalUpdateTime=45\r\n"
      "[SiloItem1]\r\nCount=1\r\nItem0=1.0=0.001\r\n"
      "[SiloItem2]\r\nCount=3\r\nItem0=1.0=0.001\r\nItem1=2.0=0.002\r\nItem2=3.0=0.003\r\n"
      "[SiloItem3]\r\nCount=1\r\nItem0=9.0=0.009\r\n";
  windir_.WriteSettings(before);
  w_->cbSiloNum2->setCurrentIndex(2);
  SetConfig({{"12.5", "1234"}, {"20.0", "2000"}});
  w_->bbtWriteConfig->click();
  EXPECT_EQ(List(windir_.SettingsPath(), "SiloItem2"),
            (std::vector<std::string>{Line("125.0=1.234"), Line("200.0=2.000")}));
  const std::string after = windir_.ReadSettings();
  const std::string head = before.substr(0, before.find("[SiloItem2]"));
  const std::string tail = before.substr(before.find("[SiloItem3]"));
  EXPECT_EQ(after.substr(0, head.size()), head);
  EXPECT_EQ(after.substr(after.size() - tail.size()), tail);
  // And it is read back the same way.
  SetConfig({{"1.0", "1"}});
  w_->bbtReadConfig->click();
  EXPECT_EQ(ConfigRows(), (std::vector<std::vector<QString>>{{"1", Num("12.5"), "1234"},
                                                             {"2", Num("20.0"), "2000"}}));
}

TEST_P(TableFilesTest, WithoutASettingsFileTheConfigButtonsDoNothing) {
  w_->cbSiloNum2->setCurrentIndex(0);
  SetConfig({{"10.0", "100"}});
  w_->bbtWriteConfig->click();
  EXPECT_FALSE(std::filesystem::exists(windir_.SettingsPath()));
  w_->bbtReadConfig->click();
  EXPECT_EQ(ConfigRows(), (std::vector<std::vector<QString>>{{"1", Num("10.0"), "100"}}));
  EXPECT_TRUE(app_.Shown_().empty());
  EXPECT_TRUE(app_.Errors().empty());
}

TEST_P(TableFilesTest, AnUnreadableCellStopsTheSave) {
  windir_.WriteSettings("[SiloItem0]\nCount=1\nItem0=1.0=0.001\n");
  const std::string settings = windir_.ReadSettings();
  w_->cbSiloNum2->setCurrentIndex(0);
  SetConfig({{"10.0", "100"}, {"oops", "200"}});
  w_->bbtWriteConfig->click();
  ASSERT_EQ(app_.Errors().size(), 1u);
  EXPECT_NE(app_.Errors()[0].find("oops"), std::string::npos);
  EXPECT_EQ(windir_.ReadSettings(), settings);
  Save(TarPath("t.tar"));
  EXPECT_EQ(app_.Errors().size(), 2u);
  EXPECT_EQ(ReadFile(TarPath("t.tar")), "") << "the file was emptied before the rows were read";
}

TEST_P(TableFilesTest, AFileThatCannotBeCreatedIsReported) {
  SetConfig({{"10.0", "100"}});
  Save(windir_.Dir() + "/no-such-dir/x.tar");
  ASSERT_EQ(app_.Errors().size(), 1u);
  EXPECT_NE(app_.Errors()[0].find("Невозможно создать файл"), std::string::npos);
}

}  // namespace
}  // namespace vr::test
