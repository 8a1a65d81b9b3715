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
  using namespace std::chrono;
  const sys_days day{year{local.tm_year + 1900} / (local.tm_mon + 1) / local.tm_mday};
  const int64_t localSecs = int64_t{day.time_since_epoch().count()} * 86400 + local.tm_hour * 3600 +
                            local.tm_min * 60 + local.tm_sec;
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
  // TDateTime counts from 1899-12-30, 25569 days before 1970-01-01.
  using namespace std::chrono;
  const year_month_day date{sys_days{std::chrono::days{days - 25569}}};
  const long long y = static_cast<int>(date.year());
  const long long m = static_cast<unsigned>(date.month());
  const long long d = static_cast<unsigned>(date.day());
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld.%03lld", y, m, d,
                static_cast<long long>(rest / 3600000), static_cast<long long>(rest / 60000 % 60),
                static_cast<long long>(rest / 1000 % 60), static_cast<long long>(rest % 1000));
  return text;
}

}  // namespace vr
