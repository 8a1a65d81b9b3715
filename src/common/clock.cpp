#include "common/clock.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace vr {
namespace {

// Offset of local time from UTC, in seconds, at the given moment.
int64_t LocalOffsetSeconds(std::time_t secs) {
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &secs);
#else
  localtime_r(&secs, &local);
#endif
  // Days from civil (Howard Hinnant's algorithm), relative to 1970-01-01.
  int y = local.tm_year + 1900, m = local.tm_mon + 1, d = local.tm_mday;
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = era * 146097LL + static_cast<int64_t>(doe) - 719468LL;
  const int64_t localSecs = days * 86400 + local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  return localSecs - static_cast<int64_t>(secs);
}

class WallClock : public Clock {
 public:
  // Converting to local time costs a time-zone lookup; the offset only
  // changes on whole hours (daylight saving), so it is kept per UTC hour in
  // one atomic word: hour index in the high bits, offset + 2^20 in the low 21.
  TDateTime Now() const override {
    using namespace std::chrono;
    const int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const int64_t secs = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    const int64_t hour = secs >= 0 ? secs / 3600 : (secs - 3599) / 3600;
    constexpr int64_t kBias = int64_t{1} << 20;
    int64_t packed = cache_.load(std::memory_order_relaxed);
    int64_t offset;
    if (packed != 0 && (packed >> 21) == hour) {
      offset = (packed & ((int64_t{1} << 21) - 1)) - kBias;
    } else {
      offset = LocalOffsetSeconds(static_cast<std::time_t>(secs));
      cache_.store((hour << 21) | (offset + kBias), std::memory_order_relaxed);
    }
    return static_cast<double>(ms + offset * 1000) / 86400000.0 + 25569.0;
  }

 private:
  mutable std::atomic<int64_t> cache_{0};
};

const WallClock kWallClock;
std::atomic<const Clock*> g_clock{nullptr};

}  // namespace

const Clock& SystemClock() {
  return kWallClock;
}

const Clock& CurrentClock() {
  const Clock* c = g_clock.load(std::memory_order_acquire);
  return c ? *c : kWallClock;
}

void SetClock(const Clock* clock) {
  g_clock.store(clock, std::memory_order_release);
}

int64_t AgeMs(TDateTime now, TDateTime stamp) {
  // A stamp difference carries a few nanoseconds of floating-point noise;
  // settle it at the microsecond before truncating, so that exactly 30 s
  // never reads as 29999 ms.
  double us = std::round(std::fabs(now - stamp) * 86400000000.0);
  if (!(us < 9.2e18)) return INT64_MAX;
  return static_cast<int64_t>(us) / 1000;
}

std::string FormatDateTime(TDateTime t) {
  const int64_t ms = static_cast<int64_t>(std::floor(t * 86400000.0 + 0.5));
  int64_t days = ms >= 0 ? ms / 86400000 : -((-ms + 86399999) / 86400000);
  int64_t rest = ms - days * 86400000;
  // Civil date of a day count (days from 1970-01-01 after the shift).
  int64_t z = days - 25569 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld.%03lld",
                static_cast<long long>(y), static_cast<long long>(m), static_cast<long long>(d),
                static_cast<long long>(rest / 3600000), static_cast<long long>(rest / 60000 % 60),
                static_cast<long long>(rest / 1000 % 60), static_cast<long long>(rest % 1000));
  return text;
}

}  // namespace vr
