// Lines, points and their number formats, without any window.
#include "ui/model/table_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace vr::ui {
namespace {

TEST(StrToFloatDot, ReadsPointAndCommaNotation) {
  struct Case {
    const char* text;
    double value;
  };
  const Case good[] = {{"12.5", 12.5},
                       {"12,5", 12.5},
                       {"-3", -3.0},
                       {"+4.25", 4.25},
                       {".5", 0.5},
                       {"5.", 5.0},
                       {"1e3", 1000.0},
                       {"-1,5E-1", -0.15},
                       {"0", 0.0},
                       {"007", 7.0},
                       // Too small for a double: zero, as a decimal reading gives.
                       {"1e-400", 0.0},
                       {"-0,001e-999", 0.0},
                       {"1e-310", 1e-310}};
  for (const Case& c : good) {
    std::optional<double> v = StrToFloatDot(c.text);
    ASSERT_TRUE(v.has_value()) << c.text;
    EXPECT_DOUBLE_EQ(*v, c.value) << c.text;
  }
}

TEST(StrToFloatDot, RefusesAnythingButOneNumber) {
  const char* bad[] = {"",   " 1",  "1 ",  "12.5.1", "1,2,3", "abc",    "-",   ".",  "1e",
                       "e5", "inf", "nan", "0x10",   "1e999", "18e307", "--1", "1-", "1\t"};
  for (const char* text : bad) EXPECT_FALSE(StrToFloatDot(text).has_value()) << '"' << text << '"';
  EXPECT_FALSE(StrToFloatDot(std::string_view("1\0", 2)).has_value());
}

TEST(TextToPoints, SkipsUnreadableLinesAndSortsByVolume) {
  const std::vector<std::string> lines = {"10=100", "5=50", "abc"};
  EXPECT_EQ(TextToPoints(lines, Units::kFile),
            (std::vector<GradPoint>{{50.0, 50.0}, {100.0, 100.0}}));
  // The same lines in the settings file: millimetres and cubic metres.
  EXPECT_EQ(TextToPoints(lines, Units::kSettings),
            (std::vector<GradPoint>{{50000.0, 5.0}, {100000.0, 10.0}}));
}

TEST(TextToPoints, BlanksBeforeTheSignSpoilALineBlanksAfterDoNot) {
  const std::vector<std::string> lines = {
      "12,5=1234,5",   // comma notation
      "12.5=1234.5",   // point notation: the same point
      "12.5 =1234.5",  // blank before '=': skipped
      " 7=70",         // the level is not trimmed either
      "8=\t 80 \r",    // the value is
      "9=90=1",        // only the first '=' splits; "90=1" is no number
      "=5",            // no level
      "6=",            // no value
      "no sign at all",
  };
  const std::vector<GradPoint> want = {{80.0, 80.0}, {1234.5, 125.0}, {1234.5, 125.0}};
  EXPECT_EQ(TextToPoints(lines, Units::kFile), want);
}

TEST(TextToPoints, OrderIsByVolumeNotByLevelAndKeepsEqualVolumesInInputOrder) {
  const std::vector<std::string> lines = {"30=5", "10=7", "20=5", "5=-1"};
  std::vector<GradPoint> p = TextToPoints(lines, Units::kFile);
  ASSERT_EQ(p.size(), 4u);
  EXPECT_DOUBLE_EQ(p[0].Volume, -1.0);
  EXPECT_DOUBLE_EQ(p[1].Level, 300.0);
  EXPECT_DOUBLE_EQ(p[2].Level, 200.0);
  EXPECT_DOUBLE_EQ(p[3].Volume, 7.0);
}

TEST(TextToPoints, ScaledValuesBeyondTheDoubleRangeAreSkipped) {
  // 1e308 is readable, but 1e308 m3 in litres is not a finite number.
  EXPECT_TRUE(TextToPoints({"1=1e308", "2=3"}, Units::kSettings) ==
              (std::vector<GradPoint>{{3000.0, 2.0}}));
}

TEST(PointsToText, FormatsOfBothPlacesWithTheGivenSeparator) {
  const std::vector<GradPoint> points = {{1234.0, 125.0}, {0.4, 3.0}, {-2.0, -45.0}};
  EXPECT_EQ(PointsToText(points, Units::kFile, '.'),
            (std::vector<std::string>{"12.50=1234.00", "0.30=0.40", "-4.50=-2.00"}));
  EXPECT_EQ(PointsToText(points, Units::kFile, ','),
            (std::vector<std::string>{"12,50=1234,00", "0,30=0,40", "-4,50=-2,00"}));
  EXPECT_EQ(PointsToText(points, Units::kSettings, '.'),
            (std::vector<std::string>{"125.0=1.234", "3.0=0.000", "-45.0=-0.002"}));
  EXPECT_EQ(PointsToText(points, Units::kSettings, ','),
            (std::vector<std::string>{"125,0=1,234", "3,0=0,000", "-45,0=-0,002"}));
}

TEST(PointsToText, NegativeZeroAndUnreadableSeparators) {
  // A value that rounds to zero carries no sign.
  EXPECT_EQ(PointsToText({{-0.001, -0.01}}, Units::kFile, '.'),
            (std::vector<std::string>{"0.00=0.00"}));
  // Only ',' and '.' can be read back; anything else is written as '.'.
  EXPECT_EQ(PointsToText({{1.0, 10.0}}, Units::kFile, ';'),
            (std::vector<std::string>{"1.00=1.00"}));
}

TEST(PointsToText, WhatIsWrittenIsReadBack) {
  // Values that the formats carry exactly (cm to 2 decimals, m3 to 3).
  const std::vector<GradPoint> points = {
      {0.0, 0.0}, {250.0, 105.0}, {1999.0, 2500.0}, {7000.0, 40000.0}};
  for (char sep : {'.', ','}) {
    for (Units u : {Units::kFile, Units::kSettings}) {
      std::vector<GradPoint> back = TextToPoints(PointsToText(points, u, sep), u);
      ASSERT_EQ(back.size(), points.size());
      for (size_t i = 0; i < points.size(); ++i) {
        EXPECT_NEAR(back[i].Level, points[i].Level, 1e-9) << sep << i;
        EXPECT_NEAR(back[i].Volume, points[i].Volume, 1e-9) << sep << i;
      }
    }
  }
}

}  // namespace
}  // namespace vr::ui
