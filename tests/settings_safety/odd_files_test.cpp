// Settings files as hosts and editors leave them: garbage and binary bytes, a
// UTF-8 byte order mark, CRLF, LF and mixed line ends, very long lines,
// duplicate sections and keys. Reads give what the Win32 private-profile
// functions give (the first section of a name, the first key in it) or the
// defaults; a save changes only our two keys and keeps every other byte.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "config/settings.h"
#include "test_support.h"

namespace vr::safety {
namespace {

using namespace std::string_literals;

// Lines of a file, each with its own line end ("\r\n", "\n" or none).
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string::npos ? text.size() : nl + 1;
    lines.push_back(text.substr(pos, end - pos));
    pos = end;
  }
  return lines;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string Trimmed(const std::string& s) {
  const char* blanks = " \t\r\n";
  size_t b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

std::string Eol(const std::string& line) {
  if (line.ends_with("\r\n")) return "\r\n";
  if (line.ends_with('\n')) return "\n";
  return {};
}

// The key of one of our lines ("connectiontype", "criticalupdatetime"), the
// section header "[veederroot]", or empty for any other line.
std::string Ours(const std::string& line) {
  const std::string t = Lower(Trimmed(line));
  if (t == "[veederroot]") return t;
  for (const char* key : {"connectiontype", "criticalupdatetime"}) {
    const std::string k = key;
    if (t.rfind(k, 0) == 0 && Trimmed(t.substr(k.size())).rfind('=', 0) == 0) return k;
  }
  return {};
}

// Whether `after` is `before` with only our key lines replaced (keeping their
// line ends) and our lines inserted; the old last line may gain a line end.
::testing::AssertionResult OnlyOurKeysChanged(const std::string& before, const std::string& after) {
  const std::vector<std::string> a = Lines(before), b = Lines(after);
  size_t i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    if (i < a.size() && j < b.size() && a[i] == b[j]) {
      ++i, ++j;
      continue;
    }
    if (j < b.size() && !Ours(b[j]).empty()) {
      const bool sameEnd =
          i < a.size() && (Eol(a[i]) == Eol(b[j]) || (i + 1 == a.size() && Eol(a[i]).empty()));
      if (i < a.size() && Ours(a[i]) == Ours(b[j]) && Ours(a[i]) != "[veederroot]" && sameEnd)
        ++i;  // replaced in place
      ++j;    // or inserted
      continue;
    }
    if (i + 1 == a.size() && j < b.size() && !a[i].ends_with('\n') && b[j].starts_with(a[i]) &&
        Trimmed(b[j].substr(a[i].size())).empty()) {
      ++i, ++j;  // the last line got its line end, to carry a line after it
      continue;
    }
    return ::testing::AssertionFailure()
           << "line " << i + 1 << " of the old file changed: \""
           << (i < a.size() ? a[i].substr(0, 80) : "<end>"s) << "\" became \""
           << (j < b.size() ? b[j].substr(0, 80) : "<end>"s) << "\"";
  }
  return ::testing::AssertionSuccess();
}

struct OddFile {
  const char* name;
  std::string text;
  int type;     // what "ConnectionType" reads as (low 8 bits)
  int seconds;  // what "CriticalUpdateTime" reads as
};

std::string Garbage(size_t size, unsigned seed, bool newlines) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (char& c : s) {
    c = static_cast<char>(rng() & 0xFF);
    if (!newlines && (c == '\n' || c == '\r')) c = '\x7F';
    if (c == '[') c = '{';  // no accidental section headers
  }
  return s;
}

std::vector<OddFile> OddFiles() {
  const std::string bom = "\xEF\xBB\xBF";
  std::vector<OddFile> files = {
      {"bom_crlf",
       bom + "[VeederRoot]\r\nConnectionType=5\r\nCriticalUpdateTime=45\r\n[Other]\r\nA=1\r\n", 5,
       45},
      {"lf", "[Other]\nx=1\n[VeederRoot]\nConnectionType=7\nCriticalUpdateTime=12\n", 7, 12},
      {"mixed_line_ends",
       "[A]\r\nk=v\n[VeederRoot]\r\nConnectionType=6\nCriticalUpdateTime=9\r\n[B]\nz=0", 6, 9},
      {"no_line_end_at_all", "[VeederRoot]\r\nConnectionType=8", 8, 30},
      {"duplicate_sections",
       "[VeederRoot]\r\nConnectionType=5\r\n\r\n[X]\r\ny=2\r\n[VeederRoot]\r\nConnectionType=7\r\n"
       "CriticalUpdateTime=90\r\n",
       5, 30},
      {"duplicate_keys",
       "[VeederRoot]\r\nConnectionType=6\r\nConnectionType=8\r\nCriticalUpdateTime=20\r\n"
       "CriticalUpdateTime=40\r\n",
       6, 20},
      {"other_case", "[veederroot]\r\nconnectiontype=2\r\nCRITICALUPDATETIME=15\r\n", 2, 15},
      {"blanks_and_quotes",
       "[ VeederRoot ]\r\n  ConnectionType = \"4\" \r\n\tCriticalUpdateTime\t=\t 45 \r\n", 4, 45},
      {"numbers", "[VeederRoot]\r\nConnectionType=260\r\nCriticalUpdateTime=45s\r\n", 4, 30},
      {"negative_and_hex", "[VeederRoot]\r\nConnectionType=-1\r\nCriticalUpdateTime=$2D\r\n", 255,
       45},
      {"commented_out", "[VeederRoot]\r\n;ConnectionType=7\r\nConnectionType=2\r\n; x=1\r\n", 2,
       30},
      {"key_before_any_section", "ConnectionType=8\r\n[VeederRoot]\r\nCriticalUpdateTime=33\r\n", 0,
       33},
      {"empty", "", 0, 30},
      {"binary_lines",
       "\x00\x01\x02 binary \xFF\xFE\r\n=no key\r\n[unclosed\r\njunk ] junk\r\n\r\r\r\n"
       "[VeederRoot]\r\n\x80\x81=\x82\r\nConnectionTyp=1\r\nConnectionType=5\r\n\x00=\x00\r\n"
       "CriticalUpdateTime=45\r\n\xC0\xC1\xC2\r\n[Tail]\r\n\xFF=\xFF\r\n"s,
       5, 45},
      {"garbage_around",
       Garbage(65536, 1, true) + "\n[VeederRoot]\r\nConnectionType=3\r\n\r\n" +
           Garbage(65536, 2, false) + "\r\nCriticalUpdateTime=21\r\n" + Garbage(4096, 3, true),
       3, 21},
      {"only_garbage", Garbage(1 << 20, 4, true), 0, 30},
      {"very_long_lines",
       std::string(1 << 20, 'x') + "\r\n[VeederRoot]\r\n" + std::string(200000, 'y') +
           "=1\r\nConnectionType=3\r\nCriticalUpdateTime=" + std::string(100000, '7') + "\r\n",
       3, 30},
  };
  return files;
}

class OddFilesTest : public ::testing::TestWithParam<OddFile> {
 protected:
  test::TempWindowsDir windir_;
};

TEST_P(OddFilesTest, ReadsFirstOccurrenceOrDefaultAndWritesOnlyOurKeys) {
  const OddFile& f = GetParam();
  windir_.WriteSettings(f.text);
  EXPECT_EQ(ReadConnectionType(), f.type);
  EXPECT_EQ(ReadUpdateSeconds(), f.seconds);
  EXPECT_EQ(windir_.ReadSettings(), f.text) << "reading changed the file";

  WriteVeederRootSettings(6, 17);
  const std::string after = windir_.ReadSettings();
  EXPECT_TRUE(OnlyOurKeysChanged(f.text, after));
  EXPECT_EQ(ReadConnectionType(), 6);
  EXPECT_EQ(ReadUpdateSeconds(), 17);
  if (f.text.starts_with("\xEF\xBB\xBF")) {
    EXPECT_TRUE(after.starts_with("\xEF\xBB\xBF")) << "the byte order mark stays";
  }

  // Saving the same values again leaves the file as it is.
  WriteVeederRootSettings(6, 17);
  EXPECT_EQ(windir_.ReadSettings(), after);
}

INSTANTIATE_TEST_SUITE_P(Files, OddFilesTest, ::testing::ValuesIn(OddFiles()),
                         [](const auto& info) { return std::string(info.param.name); });

// A NUL byte inside our value: the value up to it, or the default; never
// anything else.
TEST(OddValues, NulInsideTheValue) {
  test::TempWindowsDir windir;
  windir.WriteSettings("[VeederRoot]\r\nConnectionType=5\0junk\r\nCriticalUpdateTime=4\0005\r\n"s);
  const int type = ReadConnectionType();
  EXPECT_TRUE(type == 5 || type == 0) << type;
  const int seconds = ReadUpdateSeconds();
  EXPECT_TRUE(seconds == 4 || seconds == 30) << seconds;
}

// The checker itself: a change to another line is caught.
TEST(OddValues, CheckerCatchesForeignChanges) {
  const std::string before = "[A]\r\nk=1\r\n[VeederRoot]\r\nConnectionType=4\r\n";
  EXPECT_TRUE(OnlyOurKeysChanged(before, "[A]\r\nk=1\r\n[VeederRoot]\r\nConnectionType=6\r\n"));
  EXPECT_FALSE(OnlyOurKeysChanged(before, "[A]\r\nk=2\r\n[VeederRoot]\r\nConnectionType=6\r\n"));
  EXPECT_FALSE(OnlyOurKeysChanged(before, "[A]\r\nk=1\r\n[VeederRoot]\nConnectionType=6\r\n"));
  EXPECT_FALSE(OnlyOurKeysChanged(before, "[A]\r\n[VeederRoot]\r\nConnectionType=4\r\n"));
  EXPECT_FALSE(OnlyOurKeysChanged(before, "[A]\r\nk=1\r\n[VeederRoot]\r\nConnectionType=6\n"));
}

}  // namespace
}  // namespace vr::safety
