#pragma once
// The wall clock of the tools that publish: UTC milliseconds, and times as
// the messages carry them, local with milliseconds and the UTC offset
// ("2026-12-08T10:15:00.123+03:00").
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace vr::tools {

inline int64_t UtcNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

inline void AppendLocalTime(std::string& out, int64_t ms) {
  const int64_t secs = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
  const auto t = static_cast<std::time_t>(secs);
  std::tm local{};
  localtime_r(&t, &local);
  char buf[48];
  size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &local);
  long off = local.tm_gmtoff / 60;
  const char sign = off < 0 ? '-' : '+';
  off = std::labs(off);
  std::snprintf(buf + n, sizeof buf - n, ".%03d%c%02ld:%02ld", static_cast<int>(ms - secs * 1000),
                sign, off / 60, off % 60);
  out += buf;
}

}  // namespace vr::tools
