// The settings file on POSIX, where WINDIR stands for the Windows directory.
#ifndef _WIN32
#include "config/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "config/ini_file.h"
#include "config/temp_dir.h"

namespace vr {
namespace {

using test::ReadBytes;
using test::WriteBytes;

// Saves an environment variable and puts it back at the end of the test.
class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    if (const char* v = std::getenv(name)) old_ = v;
  }
  ~EnvGuard() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() { ::setenv("WINDIR", dir_.path().c_str(), 1); }
  std::string Path() const { return dir_.File("cnf.INI"); }

  EnvGuard windir_{"WINDIR"};
  EnvGuard home_{"HOME"};
  test::TempDir dir_;
};

TEST_F(SettingsTest, WindowsDirectoryFromEnvironment) {
  EXPECT_EQ(SettingsFilePath(), Path());
  ::setenv("WINDIR", "/srv/win/", 1);
  EXPECT_EQ(SettingsFilePath(), "/srv/win/cnf.INI");
  ::setenv("WINDIR", "", 1);
  ::setenv("HOME", "/home/op", 1);
  EXPECT_EQ(WindowsDirectory(), "/home/op/.config/vrsilo");
  EXPECT_EQ(SettingsFilePath(), "/home/op/.config/vrsilo/cnf.INI");
  ::unsetenv("WINDIR");
  ::unsetenv("HOME");
  EXPECT_EQ(SettingsFilePath(), "/tmp/vrsilo/cnf.INI");
}

TEST_F(SettingsTest, MissingFileGivesDefaults) {
  EXPECT_EQ(ReadConnectionType(), 0);
  EXPECT_EQ(ReadUpdateSeconds(), 30);
  EXPECT_EQ(SerialDevicePath(1), "/dev/ttyS0");
  EXPECT_EQ(SerialDevicePath(6), "/dev/ttyS5");
  EXPECT_FALSE(FileExists(Path()));
}

TEST_F(SettingsTest, ConnectionTypeKeepsLowByte) {
  const struct {
    const char* value;
    uint8_t expected;
  } cases[] = {{"5", 5}, {"260", 4}, {"-1", 255}, {"$104", 4}, {"COM2", 0}, {"", 0}};
  for (const auto& c : cases) {
    WriteBytes(Path(), std::string("[veederroot]\r\nconnectiontype = ") + c.value +
                           "\r\nCriticalUpdateTime=-5\r\n");
    EXPECT_EQ(ReadConnectionType(), c.expected) << c.value;
    EXPECT_EQ(ReadUpdateSeconds(), -5);
  }
}

TEST_F(SettingsTest, WriteCreatesFileWithBothKeys) {
  // The directory itself may be missing the first time.
  ::setenv("WINDIR", dir_.File("sub/dir").c_str(), 1);
  WriteVeederRootSettings(5, 45);
  EXPECT_EQ(ReadBytes(dir_.File("sub/dir/cnf.INI")),
            "[VeederRoot]\nConnectionType=5\nCriticalUpdateTime=45\n");
  EXPECT_EQ(ReadConnectionType(), 5);
  EXPECT_EQ(ReadUpdateSeconds(), 45);
}

TEST_F(SettingsTest, WriteKeepsOtherContent) {
  WriteBytes(Path(),
             "[SiloItem0]\r\nCount=1\r\nItem0=125,0=1,234\r\n\r\n"
             "[VeederRoot]\r\ncriticalupdatetime = 10\r\n[Ports]\r\nCOM2=/dev/ttyUSB0\r\nCOM3=");
  WriteVeederRootSettings(-1, 600);
  EXPECT_EQ(ReadBytes(Path()),
            "[SiloItem0]\r\nCount=1\r\nItem0=125,0=1,234\r\n\r\n"
            "[VeederRoot]\r\ncriticalupdatetime=600\r\nConnectionType=-1\r\n"
            "[Ports]\r\nCOM2=/dev/ttyUSB0\r\nCOM3=");
  EXPECT_EQ(ReadConnectionType(), 255);
  EXPECT_EQ(SerialDevicePath(2), "/dev/ttyUSB0");
  EXPECT_EQ(SerialDevicePath(3), "/dev/ttyS2");
}

TEST_F(SettingsTest, UnwritableLocationThrows) {
  WriteBytes(dir_.File("file"), "x");
  ::setenv("WINDIR", dir_.File("file").c_str(), 1);
  EXPECT_THROW(WriteVeederRootSettings(3, 30), EIniWrite);
  EXPECT_EQ(ReadBytes(dir_.File("file")), "x");
}

}  // namespace
}  // namespace vr
#endif
