#include <gtest/gtest.h>

#include <string>

#include "config/ini_file.h"

namespace vr {
namespace {

struct ReadCase {
  const char* name;
  std::string text;
  const char* section;
  const char* key;
  std::string expected;
};

TEST(IniRead, ReadString) {
  const ReadCase cases[] = {
      {"case-insensitive names", "[VeederRoot]\nConnectionType=5\n", "veederroot", "CONNECTIONTYPE",
       "5"},
      {"blanks around names and values", "  [ Sec ]  \n\t Key\t=  two  words \n", "Sec", " key ",
       "two  words"},
      {"double quotes stripped", "[S]\nk=  \" padded \"  \n", "S", "k", " padded "},
      {"single quotes stripped", "[S]\nk='x'\n", "S", "k", "x"},
      {"unmatched quotes kept", "[S]\nk=\"x'\n", "S", "k", "\"x'"},
      {"lone quote kept", "[S]\nk=\"\n", "S", "k", "\""},
      {"empty value is not the default", "[S]\nk=\n", "S", "k", ""},
      {"value keeps later '='", "[S]\nk = a=b \n", "S", "k", "a=b"},
      {"first key wins", "[S]\nk=1\nK=2\n", "S", "k", "1"},
      {"first section wins", "[S]\nk=1\n[s]\nk=2\n", "S", "k", "1"},
      {"keys of a later duplicate section are not seen", "[S]\nk=1\n[s]\nj=2\n", "S", "j",
       "default"},
      {"comments and lines without '=' ignored", "[S]\n;k=1\nk\nk=2\n", "S", "k", "2"},
      {"section name ends at the last ']'", "[a]b] ; note\nk=1\n", "a]b", "k", "1"},
      {"key before any section", "k=1\n[S]\n", "S", "k", "default"},
      {"BOM and CRLF", "\xEF\xBB\xBF[S]\r\nk=v\r\n", "S", "k", "v"},
      {"no final line end", "[S]\r\nk=v", "S", "k", "v"},
      {"Cyrillic names", "[Сек]\nКлюч=знач\n", "Сек", "Ключ", "знач"},
      {"Cyrillic is not case-folded", "[сек]\nk=1\n", "СЕК", "k", "default"},
      {"missing section", "[S]\nk=1\n", "T", "k", "default"},
  };
  for (const ReadCase& c : cases) {
    IniFile ini = IniFile::FromText(c.text);
    EXPECT_EQ(ini.ReadString(c.section, c.key, "default"), c.expected) << c.name;
    EXPECT_EQ(ini.Text(), c.text) << c.name;
  }
}

TEST(IniRead, ReadInteger) {
  const struct {
    const char* value;
    int32_t expected;
  } cases[] = {
      {"42", 42},
      {"-7", -7},
      {"+7", 7},
      {"$1F", 31},
      {"0x1F", 31},
      {"0X1f", 31},
      {"-$10", -16},
      {"$FFFFFFFF", -1},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"\"15\"", 15},
      {"2147483648", 77},
      {"-2147483649", 77},
      {"$100000000", 77},
      {"99999999999999999999", 77},
      {"12abc", 77},
      {"1 2", 77},
      {"abc", 77},
      {"", 77},
      {"-", 77},
      {"$", 77},
      {"0x", 77},
      {"1.5", 77},
  };
  for (const auto& c : cases) {
    IniFile ini = IniFile::FromText(std::string("[S]\nk=") + c.value + "\n");
    EXPECT_EQ(ini.ReadInteger("S", "k", 77), c.expected) << c.value;
  }
  EXPECT_EQ(IniFile::FromText("[S]\n").ReadInteger("S", "k", -3), -3);
}

TEST(IniRead, SectionsAndKeys) {
  IniFile ini =
      IniFile::FromText("[S]\nb=1\n; c=3\nA=2\nb=3\nnokey\n[Empty]\n; only a comment\n\n[T]\nx=1");
  EXPECT_EQ(ini.ReadSection("s"), (std::vector<std::string>{"b", "A", "b"}));
  EXPECT_TRUE(ini.ReadSection("missing").empty());
  EXPECT_TRUE(ini.SectionExists("t"));
  EXPECT_FALSE(ini.SectionExists("Empty"));
  EXPECT_FALSE(ini.SectionExists("missing"));
  EXPECT_TRUE(ini.ValueExists("S", "a"));
  EXPECT_FALSE(ini.ValueExists("S", "c"));
  EXPECT_FALSE(ini.ValueExists("S", "nokey"));
}

TEST(IniRead, SplitKeepsEveryByte) {
  const std::string inputs[] = {
      "", "\n", "a", "a\r\n\r\nb", "\r\r\n", "x\ny\r\nz\r", std::string("[\0]\n\0=\0", 8)};
  for (const std::string& in : inputs) {
    std::string joined;
    for (const IniLine& l : SplitIniLines(in)) joined += l.text + l.eol;
    EXPECT_EQ(joined, in);
    EXPECT_EQ(IniFile::FromText(in).Text(), in);
  }
  EXPECT_EQ(SplitIniLines("a\r\nb\nc"),
            (std::vector<IniLine>{{"a", "\r\n"}, {"b", "\n"}, {"c", ""}}));
}

}  // namespace
}  // namespace vr
