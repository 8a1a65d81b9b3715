// A "*.tar" table file of 10 MB of garbage, read the way the calibration
// window reads one (the INI layer's list of section "Silo", then
// TextToPoints): it finishes in bounded time and gives exactly the lines it
// can read.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "config/ini_file.h"
#include "test_support.h"
#include "ui/model/table_file.h"

namespace vr::safety {
namespace {

using Clock = std::chrono::steady_clock;
using ui::GradPoint;
using ui::Units;

constexpr size_t kTenMegabytes = 10u << 20;
// Far above what these take on an idle machine under a sanitizer.
constexpr auto kBound = std::chrono::seconds(20);

std::string Garbage(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (char& c : s) {
    c = static_cast<char>(rng() & 0xFF);
    if (c == '[') c = '{';  // no sections but ours
  }
  return s;
}

struct Loaded {
  std::vector<GradPoint> points;
  size_t lines = 0;
  int64_t ms = 0;
};

Loaded Load(const std::string& path) {
  const auto start = Clock::now();
  Loaded l;
  std::vector<std::string> lines;
  IniFile(path).ReadClearList(ui::kTableFileSection, lines);
  l.lines = lines.size();
  l.points = ui::TextToPoints(lines, Units::kFile);
  l.ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  return l;
}

TEST(TableFileLoad, TenMegabytesOfGarbageAroundATable) {
  test::TempWindowsDir dir;
  const std::string path = dir.Dir() + "/garbage.tar";
  std::string text = Garbage(kTenMegabytes / 2, 1);
  text +=
      "\r\n[Silo]\r\nCount=1000000000\r\nItem0=5=50\r\nItem1=\xFF\xFE=1\r\nItem2=10,5=120,25\r\n";
  text += Garbage(kTenMegabytes / 2, 2);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), f), text.size());
  std::fclose(f);

  const Loaded l = Load(path);
  std::printf("[ figures  ] 10 MB garbage table file: %zu list entries, %zu points, %lld ms\n",
              l.lines, l.points.size(), static_cast<long long>(l.ms));
  EXPECT_LT(l.ms, std::chrono::duration_cast<std::chrono::milliseconds>(kBound).count());
  EXPECT_LE(l.lines, 65536u + text.size() / 1000) << "a damaged Count is capped";
  ASSERT_EQ(l.points.size(), 2u) << "the two readable lines, nothing else";
  EXPECT_EQ(l.points[0], (GradPoint{50.0, 50.0}));
  EXPECT_EQ(l.points[1], (GradPoint{120.25, 105.0}));
}

TEST(TableFileLoad, TenMegabytesWithoutATable) {
  test::TempWindowsDir dir;
  const std::string path = dir.Dir() + "/garbage.tar";
  const std::string text = Garbage(kTenMegabytes, 3);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), f), text.size());
  std::fclose(f);
  const Loaded l = Load(path);
  EXPECT_LT(l.ms, std::chrono::duration_cast<std::chrono::milliseconds>(kBound).count());
  EXPECT_EQ(l.lines, 0u);
  EXPECT_TRUE(l.points.empty());
}

// 10 MB of readable lines: everything is read, in bounded time (how many
// rows a window then shows is the window's business).
TEST(TableFileLoad, TenMegabytesOfReadableLines) {
  test::TempWindowsDir dir;
  const std::string path = dir.Dir() + "/huge.tar";
  std::string text = "[Silo]\r\nCount=99999999\r\n";
  size_t n = 0;
  while (text.size() < kTenMegabytes) {
    text += "Item" + std::to_string(n) + "=" + std::to_string(n % 400) + ".5=" + std::to_string(n) +
            ".25\r\n";
    ++n;
  }
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), f), text.size());
  std::fclose(f);
  const Loaded l = Load(path);
  std::printf("[ figures  ] 10 MB of table lines: %zu lines in the file, %zu points, %lld ms\n", n,
              l.points.size(), static_cast<long long>(l.ms));
  EXPECT_LT(l.ms, std::chrono::duration_cast<std::chrono::milliseconds>(kBound).count());
  EXPECT_EQ(l.points.size(), n);
}

}  // namespace
}  // namespace vr::safety
