#pragma once
#include <atomic>
#include <cstdint>
#include <string>

namespace vr {

// TDateTime: days since 1899-12-30, the fraction being the local time of day.
using TDateTime = double;

// Source of the current local time. Tests install a manual clock so that the
// refresh policy is exercised without sleeping.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual TDateTime Now() const = 0;
};

// The local wall clock.
const Clock& SystemClock();

// The clock the library uses; the system clock unless a test replaced it.
const Clock& CurrentClock();
// Replaces the clock (nullptr restores the system clock). The clock must
// outlive every use; meant for tests.
void SetClock(const Clock* clock);

// A clock a test moves by hand.
class ManualClock : public Clock {
 public:
  explicit ManualClock(TDateTime start = 46000.5) : now_(start) {}
  TDateTime Now() const override { return now_.load(std::memory_order_relaxed); }
  void Set(TDateTime t) { now_.store(t, std::memory_order_relaxed); }
  void AdvanceMs(int64_t ms) { Set(Now() + static_cast<double>(ms) / 86400000.0); }

 private:
  std::atomic<double> now_;
};

// "YYYY-MM-DD HH:MM:SS.mmm".
std::string FormatDateTime(TDateTime t);

// Whole milliseconds between two stamps (absolute, truncated towards zero).
int64_t AgeMs(TDateTime now, TDateTime stamp);

}  // namespace vr
