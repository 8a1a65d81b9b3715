#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/ini_file.h"
#include "config/temp_dir.h"

namespace vr {
namespace {

using List = std::vector<std::string>;

List ReadBack(const IniFile& ini, const char* section) {
  List out{"stale"};
  ini.ReadClearList(section, out);
  return out;
}

TEST(IniList, RoundTripsAwkwardItems) {
  const List lists[] = {
      {},
      {"12.5=1234.5", "125,0=1,234"},
      {"", " lead", "trail ", " both ", "\t", "a=b", "=", " = ", ";semi", "[notsection]",
       "\"quoted\"", "'single'", "\"", "'", "x\"", "\"open", "C:\\dir\\new", "Кириллица",
       std::string("nul\0byte", 8)},
      {"line1\nline2", "cr\r", "\r\n", "back\\slash", "\\n literal", " \"both\" ", ""},
  };
  for (const List& list : lists) {
    test::TempDir dir;
    std::string path = dir.File("list.ini");
    test::WriteBytes(path, "[Before]\nk=1\n[L]\nold=1\n");
    IniFile ini(path);
    ini.WriteList("L", list);
    EXPECT_EQ(ReadBack(ini, "l"), list);
    ini.UpdateFile();
    IniFile reread(path);
    EXPECT_EQ(ReadBack(reread, "L"), list);
    EXPECT_EQ(reread.ReadString("Before", "k", ""), "1");
    EXPECT_FALSE(reread.ValueExists("L", "old"));
    // Writing the same list again changes nothing.
    reread.WriteList("L", list);
    EXPECT_FALSE(reread.Modified());
  }
}

TEST(IniList, StoredForm) {
  IniFile ini = IniFile::FromText("");
  ini.WriteList("Silo", {"10=100", " a", "'q'"});
  EXPECT_EQ(ini.Text(), "[Silo]\nCount=3\nItem0=10=100\nItem1=\" a\"\nItem2=\"'q'\"\n");
  // Quoted items are what GetPrivateProfileString returns for them as well.
  EXPECT_EQ(ini.ReadString("Silo", "Item1", ""), " a");

  IniFile esc = IniFile::FromText("");
  esc.WriteList("S", {"a\nb", "c\\d"});
  EXPECT_EQ(esc.Text(), "[S]\nCount=2\nEscaped=1\nItem0=a\\nb\nItem1=c\\\\d\n");
}

TEST(IniList, ReadsListsNotWrittenByUs) {
  const struct {
    const char* text;
    List expected;
  } cases[] = {
      {"[S]\nCount=5\nItem3=d\nitem0=a\n", {"a", "", "", "d", ""}},
      {"[S]\nCount=2\nItem0=a\nItem0=b\nItem01=c\nItem1=  \"x\"  \n", {"a", "x"}},
      {"[S]\nCount=-3\nItem0=a\n", {}},
      {"[S]\nItem0=a\n", {}},
      {"[S]\nCount=x\nItem0=a\n", {}},
      {"[S]\nCount=1\n[T]\nItem0=a\n", {""}},
      {"[S]\nCount=1\nItem0=C:\\new\n", {"C:\\new"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ReadBack(IniFile::FromText(c.text), "S"), c.expected) << c.text;
  EXPECT_EQ(ReadBack(IniFile::FromText("[T]\n"), "S"), List{});

  // A damaged count cannot make the reader allocate without bound.
  List big;
  IniFile::FromText("[S]\nCount=2000000000\nItem0=a\n").ReadClearList("S", big);
  ASSERT_EQ(big.size(), 65536u);
  EXPECT_EQ(big[0], "a");
  EXPECT_EQ(big[1], "");
}

}  // namespace
}  // namespace vr
