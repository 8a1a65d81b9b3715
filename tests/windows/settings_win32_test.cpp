// The settings file in the Windows directory (the Wine prefix's C:\windows)
// and its atomic replacement, and the entry point that reads it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/application.h"
#include "config/ini_file.h"
#include "config/settings.h"
#include "driver/silo.h"
#include "win_test_support.h"

namespace vr::wintest {
namespace {

std::string WindowsDir() {
  char buf[MAX_PATH];
  const UINT n = GetWindowsDirectoryA(buf, sizeof buf);
  return std::string(buf, n);
}

// Names of the files in the Windows directory that match pattern.
std::vector<std::string> FilesMatching(const std::string& pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((WindowsDir() + "\\" + pattern).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(data.cFileName);
  } while (FindNextFileA(find, &data));
  FindClose(find);
  return names;
}

std::string ReadText(const std::string& path) {
  std::string text;
  ReadWholeFile(path, text);
  return text;
}

class Win32SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { Remove(); }
  void TearDown() override { Remove(); }
  void Remove() {
    SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path_.c_str());
  }
  void Write(const std::string& text) { WriteFileAtomically(path_, text); }

  const std::string path_ = SettingsFilePath();
};

// Keeps message boxes off the screen and records them.
class SilentApp : public Application {
 public:
  SilentApp() { SetApplication(this); }
  ~SilentApp() override { SetApplication(nullptr); }
  void ShowMessage(const std::string& text, const std::string&, uint32_t) override {
    shown.push_back(text);
  }
  std::vector<std::string> shown;
};

TEST_F(Win32SettingsTest, PathIsInTheWindowsDirectory) {
  EXPECT_EQ(WindowsDirectory(), WindowsDir());
  EXPECT_EQ(path_, WindowsDir() + "\\cnf.INI");
}

TEST_F(Win32SettingsTest, WritingCreatesThenReplacesTheFile) {
  WriteVeederRootSettings(5, 45);
  EXPECT_TRUE(FileExists(path_));
  EXPECT_EQ(ReadConnectionType(), 5);
  EXPECT_EQ(ReadUpdateSeconds(), 45);
  WriteVeederRootSettings(3, 0);
  EXPECT_EQ(ReadConnectionType(), 3);
  EXPECT_EQ(ReadUpdateSeconds(), 0);
  EXPECT_TRUE(FilesMatching("cnf*.tmp").empty()) << "no temporary file is left";
}

TEST_F(Win32SettingsTest, ReplacementKeepsTheOtherSectionsByteForByte) {
  const std::string other = "[SiloItem0]\r\nCount=1\r\nItem0=2500\r\n";
  Write(other + "[VeederRoot]\r\nConnectionType=4\r\nCriticalUpdateTime=30\r\n");
  WriteVeederRootSettings(6, 12);
  EXPECT_EQ(ReadText(path_),
            other + "[VeederRoot]\r\nConnectionType=6\r\nCriticalUpdateTime=12\r\n");
}

TEST_F(Win32SettingsTest, FailedReplacementLeavesTheFileAndNoTemporary) {
  Write("[VeederRoot]\r\nConnectionType=4\r\n");
  // Another program holds the file open without sharing it.
  HANDLE held = CreateFileA(path_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  try {
    WriteVeederRootSettings(7, 1);
    ADD_FAILURE() << "a settings file in use was replaced";
  } catch (const EIniWrite& e) {
    EXPECT_NE(std::string(e.what()).find("cnf.INI"), std::string::npos) << e.what();
  }
  CloseHandle(held);
  EXPECT_EQ(ReadText(path_), "[VeederRoot]\r\nConnectionType=4\r\n");
  EXPECT_TRUE(FilesMatching("cnf*.tmp").empty());
}

TEST_F(Win32SettingsTest, ConnectionTypeKeepsItsLowByte) {
  Write("[VeederRoot]\r\nConnectionType=260\r\n");
  EXPECT_EQ(ReadConnectionType(), 4);
}

TEST_F(Win32SettingsTest, GetSiloEx2WithoutFileUsesTheDefaultsAndTheOwnerWindow) {
  SilentApp app;
  TSilo* silo = CreateSiloEx2(nullptr, 0, 0x1234);
  ASSERT_NE(silo, nullptr);
  EXPECT_EQ(silo->GetConnectionType(), 0);
  EXPECT_EQ(silo->GetUpdatePeriodMs(), 30000);
  EXPECT_EQ(App().OwnerWindow(), 0x1234u);
  delete silo;
  EXPECT_TRUE(app.shown.empty());
}

TEST_F(Win32SettingsTest, GetSiloEx2OpensThePortTheFileNames) {
  SilentApp app;
  Write("[VeederRoot]\r\nConnectionType=3\r\nCriticalUpdateTime=7\r\n");
  TSilo* silo = CreateSiloEx2(nullptr, 0, 0);
  ASSERT_NE(silo, nullptr);
  EXPECT_EQ(silo->GetConnectionType(), 3);
  EXPECT_EQ(silo->GetUpdatePeriodMs(), 7000);
  EXPECT_TRUE(silo->Gauge().HasLink()) << "COM1";
  delete silo;
  EXPECT_TRUE(app.shown.empty());
}

TEST_F(Win32SettingsTest, MissingPortIsReported) {
  SilentApp app;
  TSilo* silo = CreateSiloEx3(nullptr, 6, 0);  // COM6 does not exist
  ASSERT_NE(silo, nullptr);
  EXPECT_FALSE(silo->Gauge().HasLink());
  delete silo;
  ASSERT_EQ(app.shown.size(), 1u);
  EXPECT_EQ(app.shown[0], "Невозможно открыть порт COM6 для уровнемера!");
}

}  // namespace
}  // namespace vr::wintest
