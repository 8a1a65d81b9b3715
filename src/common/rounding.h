#pragma once
#include <cmath>
#include <cstdint>

namespace vr {

// Every value the library rounds (period, water, heights, volumes shown) goes
// to the nearest integer with halves to the even neighbour, whatever the
// current floating-point rounding mode is.
inline double RoundHalfEven(double x) {
  if (!std::isfinite(x)) return x;
  double fl = std::floor(x);
  double diff = x - fl;
  if (diff > 0.5) return fl + 1.0;
  if (diff < 0.5) return fl;
  return std::fmod(fl, 2.0) == 0.0 ? fl : fl + 1.0;
}

// Rounded and clamped to the 64-bit range; NaN gives 0.
inline int64_t RoundToInt64(double x) {
  if (std::isnan(x)) return 0;
  double r = RoundHalfEven(x);
  if (r >= 9223372036854775807.0) return INT64_MAX;
  if (r <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(r);
}

inline int32_t RoundToInt32(double x) {
  int64_t r = RoundToInt64(x);
  if (r > INT32_MAX) return INT32_MAX;
  if (r < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(r);
}

}  // namespace vr
