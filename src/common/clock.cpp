#include "common/clock.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace vr {
namespace {

class WallClock : public Clock {
 public:
  TDateTime Now() const override {
    using namespace std::chrono;
    auto now = system_clock::now();
    auto secs = system_clock::to_time_t(now);
    auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &secs);
#else
    localtime_r(&secs, &local);
#endif
    // Days from 1899-12-30 to the local calendar date, plus the time of day.
    int y = local.tm_year + 1900, m = local.tm_mon + 1, d = local.tm_mday;
    // Days from civil (Howard Hinnant's algorithm), relative to 1970-01-01.
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long days = era * 146097L + static_cast<long>(doe) - 719468L;
    const double frac =
        (local.tm_hour * 3600000.0 + local.tm_min * 60000.0 + local.tm_sec * 1000.0 + ms) /
        86400000.0;
    return static_cast<double>(days + 25569) + frac;
  }
};

const WallClock kWallClock;
std::atomic<const Clock*> g_clock{nullptr};

}  // namespace

const Clock& SystemClock() { return kWallClock; }

const Clock& CurrentClock() {
  const Clock* c = g_clock.load(std::memory_order_acquire);
  return c ? *c : kWallClock;
}

void SetClock(const Clock* clock) { g_clock.store(clock, std::memory_order_release); }

int64_t AgeMs(TDateTime now, TDateTime stamp) {
  // A stamp difference carries a few nanoseconds of floating-point noise;
  // settle it at the microsecond before truncating, so that exactly 30 s
  // never reads as 29999 ms.
  double us = std::round(std::fabs(now - stamp) * 86400000000.0);
  if (!(us < 9.2e18)) return INT64_MAX;
  return static_cast<int64_t>(us) / 1000;
}

}  // namespace vr
