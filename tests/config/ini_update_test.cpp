// File-system behaviour of the POSIX writer.
#ifndef _WIN32
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "config/ini_file.h"
#include "config/temp_dir.h"

namespace vr {
namespace {

using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

struct stat Stat(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st;
}

TEST(IniUpdate, UnchangedFileIsNotTouched) {
  TempDir dir;
  std::string path = dir.File("cnf.INI");
  WriteBytes(path, "[VeederRoot]\nConnectionType = 4\n");
  // An old time stamp, so that any rewrite would show.
  struct timespec old_times[2] = {{946684800, 0}, {946684800, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old_times, 0), 0);
  struct stat before = Stat(path);

  IniFile ini(path);
  ini.WriteInteger("VeederRoot", "ConnectionType", 4);
  ini.UpdateFile();

  struct stat after = Stat(path);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(ReadBytes(path), "[VeederRoot]\nConnectionType = 4\n");
}

TEST(IniUpdate, ReplacesAtomicallyKeepingPermissions) {
  TempDir dir;
  std::string path = dir.File("cnf.INI");
  WriteBytes(path, "[S]\nk=1\n");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  struct stat before = Stat(path);

  IniFile ini(path);
  ini.WriteString("S", "k", "2");
  ini.UpdateFile();
  EXPECT_FALSE(ini.Modified());

  struct stat after = Stat(path);
  EXPECT_NE(after.st_ino, before.st_ino);  // a new file renamed into place
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadBytes(path), "[S]\nk=2\n");
  EXPECT_EQ(dir.Names(), std::set<std::string>{"cnf.INI"});

  // A new file gets the usual permissions, not the temporary file's 0600.
  mode_t old_mask = ::umask(022);
  WriteFileAtomically(dir.File("fresh"), "x");
  ::umask(old_mask);
  EXPECT_EQ(Stat(dir.File("fresh")).st_mode & 07777, 0644u);
}

TEST(IniUpdate, WritesThroughASymbolicLink) {
  TempDir dir;
  WriteBytes(dir.File("real.ini"), "[S]\nk=1\n");
  std::filesystem::create_symlink(dir.File("real.ini"), dir.File("link.ini"));
  IniFile ini(dir.File("link.ini"));
  ini.WriteString("S", "k", "2");
  ini.UpdateFile();
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.ini")));
  EXPECT_EQ(ReadBytes(dir.File("real.ini")), "[S]\nk=2\n");
}

// Paths whose directory cannot take a new file, even for root.
TEST(IniUpdate, UnwritableDirectoryThrowsNamingTheFile) {
  TempDir dir;
  WriteBytes(dir.File("plain"), "not a directory");
  const std::string paths[] = {dir.File("plain/cnf.INI"), "/proc/vrsilo-test/cnf.INI",
                               "/proc/cnf.INI"};
  for (const std::string& path : paths) {
    IniFile ini(path);
    EXPECT_FALSE(ini.Existed()) << path;
    EXPECT_EQ(ini.ReadInteger("VeederRoot", "CriticalUpdateTime", 30), 30);
    ini.WriteInteger("VeederRoot", "CriticalUpdateTime", 45);
    try {
      ini.UpdateFile();
      ADD_FAILURE() << "no exception for " << path;
    } catch (const EIniWrite& e) {
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("Невозможно записать файл"), std::string::npos);
    }
    EXPECT_TRUE(ini.Modified());
  }
  EXPECT_EQ(ReadBytes(dir.File("plain")), "not a directory");
}

// A write that fails half-way (file size limit) leaves the old file as it was
// and no temporary file behind.
TEST(IniUpdate, FailedWriteKeepsOldFile) {
  TempDir dir;
  std::string path = dir.File("cnf.INI");
  const std::string old_text = "[S]\nk=1\n";
  WriteBytes(path, old_text);

  IniFile ini(path);
  ini.WriteString("S", "k", std::string(4096, 'x'));
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  EXPECT_THROW(ini.UpdateFile(), EIniWrite);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(ReadBytes(path), old_text);
  EXPECT_EQ(dir.Names(), std::set<std::string>{"cnf.INI"});
}

TEST(IniUpdate, FailedRenameRemovesTemporaryFile) {
  TempDir dir;
  std::filesystem::create_directories(dir.File("target/inside"));
  EXPECT_THROW(WriteFileAtomically(dir.File("target"), "data"), EIniWrite);
  EXPECT_EQ(dir.Names(), std::set<std::string>{"target"});
}

// What cannot be read reads as defaults, but is never overwritten blindly.
TEST(IniUpdate, UnreadableFileIsNotOverwritten) {
  TempDir dir;
  std::string path = dir.File("cnf.INI");
  std::filesystem::create_directory(path);
  IniFile ini(path);
  EXPECT_FALSE(ini.Existed());
  EXPECT_EQ(ini.ReadInteger("VeederRoot", "ConnectionType", 0), 0);
  ini.WriteInteger("VeederRoot", "ConnectionType", 3);
  EXPECT_THROW(ini.UpdateFile(), EIniWrite);
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_EQ(dir.Names(), std::set<std::string>{"cnf.INI"});
}

}  // namespace
}  // namespace vr
#endif
