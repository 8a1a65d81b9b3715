#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <utility>

#include "common/clock.h"
#include "common/text.h"

namespace vr {
namespace {

TEST(Clock, AgeIsWholeMillisecondsEitherWay) {
  const double ms = 1.0 / 86400000.0;
  const double t = 46000.25;
  EXPECT_EQ(AgeMs(t + 30000 * ms, t), 30000) << "exactly 30 s never reads as 29999";
  EXPECT_EQ(AgeMs(t, t + 30000 * ms), 30000);
  EXPECT_EQ(AgeMs(t + 29999.6 * ms, t), 29999) << "truncated, not rounded";
  EXPECT_EQ(AgeMs(t, 0.0), static_cast<int64_t>(46000.25 * 86400000.0));
}

TEST(Clock, SystemClockIsLocalDaysSince1899) {
  double now = SystemClock().Now();
  EXPECT_GT(now, 45000.0);  // after 2023
  EXPECT_LT(now, 60000.0);
  ManualClock manual(100.0);
  SetClock(&manual);
  EXPECT_EQ(CurrentClock().Now(), 100.0);
  manual.AdvanceMs(86400000);
  EXPECT_EQ(CurrentClock().Now(), 101.0);
  SetClock(nullptr);
  EXPECT_NE(CurrentClock().Now(), 101.0);
}

TEST(Text, Cp1251RoundTrip) {
  const std::string text = "Невозможно открыть порт COM3 для уровнемера! Ёё №1";
  std::string cp = Utf8ToCp1251(text);
  EXPECT_EQ(cp.size(), 50u);
  EXPECT_EQ(static_cast<unsigned char>(cp[0]), 0xCD);  // Н
  EXPECT_EQ(Cp1251ToUtf8(cp), text);
  EXPECT_EQ(Utf8ToCp1251("\xE4\xB8\xAD"), "?");  // outside the code page
  EXPECT_EQ(Utf8ToCp1251("\xD0"), "?");          // cut-off sequence
}

TEST(Text, Cp1251EveryDefinedByteRoundTrips) {
  for (int b = 0x80; b <= 0xFF; ++b) {
    if (b == 0x98) continue;  // undefined in the code page
    const std::string byte(1, static_cast<char>(b));
    EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(byte)), byte) << "byte 0x" << std::hex << b;
  }
  EXPECT_EQ(Cp1251ToUtf8("\x98"), "?");
  EXPECT_EQ(Utf8ToCp1251("\xC2\x98"), "?");  // U+0098 has no byte
}

TEST(Text, Cp1251NamedCharacters) {
  const std::pair<const char*, const char*> cases[] = {
      {"№", "\xB9"},
      {"Ёё", "\xA8\xB8"},
      {"«»", "\xAB\xBB"},
      {"€‰™", "\x88\x89\x99"},
      {"‚„…", "\x82\x84\x85"},
      {"‘’“”•–—", "\x91\x92\x93\x94\x95\x96\x97"},
      {"ЌЋќћ", "\x8D\x8E\x9D\x9E"},
      {"ЂЃђѓЉЊЏљњџ", "\x80\x81\x90\x83\x8A\x8C\x8F\x9A\x9C\x9F"},
      {"ҐґІіЇїЄє", "\xA5\xB4\xB2\xB3\xAF\xBF\xAA\xBA"},
      {"ЎўЈјЅѕ", "\xA1\xA2\xA3\xBC\xBD\xBE"},
      {"\u00A0\u00AD°±µ·", "\xA0\xAD\xB0\xB1\xB5\xB7"},
  };
  for (auto [utf8, cp1251] : cases) {
    EXPECT_EQ(Utf8ToCp1251(utf8), cp1251) << utf8;
    EXPECT_EQ(Cp1251ToUtf8(cp1251), utf8) << utf8;
  }
}

}  // namespace
}  // namespace vr

namespace vr {
namespace {

TEST(Clock, SystemClockMatchesTheLocalCalendar) {
  std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  double now = SystemClock().Now();
  // Local seconds into the day, from the calendar and from the clock.
  double fromCalendar = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec;
  double fromClock = (now - std::floor(now)) * 86400.0;
  double diff = std::fabs(fromClock - fromCalendar);
  EXPECT_TRUE(diff < 2.0 || diff > 86398.0) << fromClock << " vs " << fromCalendar;
  // 2026-12-07 is day 46363; the date part agrees with the calendar's year.
  int year = local.tm_year + 1900;
  EXPECT_NEAR(std::floor(now), 25569.0 + std::floor((t + 0.0) / 86400.0), 1.0);
  EXPECT_GE(year, 2024);
}

}  // namespace
}  // namespace vr
