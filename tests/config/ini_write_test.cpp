#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "config/ini_file.h"
#include "config/temp_dir.h"

namespace vr {
namespace {

using namespace std::string_literals;
using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

// Comments, blank lines, odd spacing, a duplicate section, binary bytes and a
// last line without a line end.
const std::string kBase =
    "; header comment\n"
    "\n"
    "[First]\n"
    "  Alpha =  1  \n"
    "beta=2\n"
    "; trailing comment\n"
    "\n"
    "[Binary]\n"
    "raw=\x01\x00\xff\xfe\t\n"
    "[first]\n"
    "alpha=dup\n"
    "[Last]\n"
    "z=9"s;

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  size_t at = s.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

struct WriteCase {
  const char* name;
  std::function<void(IniFile&)> op;
  std::string expected;
};

TEST(IniWrite, KeepsEverythingElseByteForByte) {
  const WriteCase cases[] = {
      {"existing key: only its line changes, spelling kept",
       [](IniFile& f) { f.WriteString("FIRST", "ALPHA", "5"); },
       Replace(kBase, "  Alpha =  1  \n", "Alpha=5\n")},
      {"new key after the section's last key line",
       [](IniFile& f) { f.WriteInteger("First", "gamma", -3); },
       Replace(kBase, "beta=2\n", "beta=2\ngamma=-3\n")},
      {"new key after a last line without line end",
       [](IniFile& f) { f.WriteString("Last", "y", "8"); }, kBase + "\ny=8\n"},
      {"last line replaced keeps its missing line end",
       [](IniFile& f) { f.WriteString("Last", "Z", "10"); }, Replace(kBase, "z=9", "z=10")},
      {"new section at the end", [](IniFile& f) { f.WriteString("New", "k", "v"); },
       kBase + "\n[New]\nk=v\n"},
      {"erase a section", [](IniFile& f) { f.EraseSection("binary"); },
       Replace(kBase, "[Binary]\nraw=\x01\x00\xff\xfe\t\n"s, "")},
      {"list replaces the section in place", [](IniFile& f) { f.WriteList("First", {"a"}); },
       Replace(kBase, "  Alpha =  1  \nbeta=2\n; trailing comment\n", "Count=1\nItem0=a\n")},
  };
  for (const WriteCase& c : cases) {
    TempDir dir;
    std::string path = dir.File("cnf.INI");
    WriteBytes(path, kBase);
    IniFile ini(path);
    ASSERT_TRUE(ini.Existed());
    c.op(ini);
    EXPECT_TRUE(ini.Modified()) << c.name;
    ini.UpdateFile();
    EXPECT_EQ(ReadBytes(path), c.expected) << c.name;
    EXPECT_EQ(dir.Names(), std::set<std::string>{"cnf.INI"}) << c.name;
  }
}

TEST(IniWrite, SameValueChangesNothing) {
  IniFile ini = IniFile::FromText(kBase);
  ini.WriteString("First", "alpha", "1");
  ini.WriteInteger("last", "z", 9);
  ini.EraseSection("missing");
  EXPECT_FALSE(ini.Modified());
  EXPECT_EQ(ini.Text(), kBase);
}

TEST(IniWrite, LineEndsAndPlacement) {
  IniFile crlf = IniFile::FromText("\xEF\xBB\xBF[A]\r\nx=1\r\n");
  crlf.WriteString("A", "y", "2");
  crlf.WriteString("B", "z", "3");
  EXPECT_EQ(crlf.Text(), "\xEF\xBB\xBF[A]\r\nx=1\r\ny=2\r\n[B]\r\nz=3\r\n");

  // No key lines yet: the new key goes right under the header.
  IniFile comment = IniFile::FromText("[A]\n; about A\n\n[B]\n");
  comment.WriteString("a", "k", "1");
  EXPECT_EQ(comment.Text(), "[A]\nk=1\n; about A\n\n[B]\n");

  IniFile header_only = IniFile::FromText("[A]");
  header_only.WriteString("A", "k", "1");
  EXPECT_EQ(header_only.Text(), "[A]\nk=1\n");

  IniFile erase_first = IniFile::FromText("\xEF\xBB\xBF[A]\nx=1\n[B]\ny=2\n");
  erase_first.EraseSection("A");
  EXPECT_EQ(erase_first.Text(), "\xEF\xBB\xBF[B]\ny=2\n");
  EXPECT_EQ(erase_first.ReadString("B", "y", ""), "2");
}

TEST(IniWrite, NewFile) {
  TempDir dir;
  std::string path = dir.File("new.ini");
  IniFile ini(path);
  EXPECT_FALSE(ini.Existed());
  ini.UpdateFile();  // nothing to write: no file appears
  EXPECT_FALSE(FileExists(path));
  ini.WriteString("S", " k ", " v");
  ini.UpdateFile();
#ifdef _WIN32
  EXPECT_EQ(ReadBytes(path), "[S]\r\nk= v\r\n");
#else
  EXPECT_EQ(ReadBytes(path), "[S]\nk= v\n");
#endif
  EXPECT_EQ(IniFile(path).ReadString("s", "K", ""), "v");

  // Clear() then UpdateFile() truncates the file to nothing.
  IniFile again(path);
  again.Clear();
  again.UpdateFile();
  EXPECT_TRUE(FileExists(path));
  EXPECT_EQ(ReadBytes(path), "");
}

TEST(IniWrite, RejectsWhatWouldBreakTheFile) {
  IniFile ini = IniFile::FromText("");
  EXPECT_THROW(ini.WriteString("S", "a=b", "v"), std::invalid_argument);
  EXPECT_THROW(ini.WriteString("S", ";k", "v"), std::invalid_argument);
  EXPECT_THROW(ini.WriteString("S", " ", "v"), std::invalid_argument);
  EXPECT_THROW(ini.WriteString("S", "k", "v\n[Other]"), std::invalid_argument);
  EXPECT_THROW(ini.WriteString("S\r", "k", "v"), std::invalid_argument);
  EXPECT_THROW(ini.WriteList("", {"x"}), std::invalid_argument);
  EXPECT_EQ(ini.Text(), "");
  EXPECT_FALSE(ini.Modified());
}

}  // namespace
}  // namespace vr
