#pragma once
// What a test measures of its own process: open descriptors, threads, CPU
// time, and a bounded wait for a condition. Linux (/proc) only.
#include <dirent.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <thread>

namespace vr::test {

using SteadyClock = std::chrono::steady_clock;

// Entries of a /proc directory; for /proc/self/fd without the descriptor
// that the listing itself holds.
inline int CountDirEntries(const char* path) {
  DIR* dir = opendir(path);
  if (!dir) return -1;
  int n = 0;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(dir);
  return n - (std::strcmp(path, "/proc/self/fd") == 0 ? 1 : 0);
}
inline int OpenDescriptors() {
  return CountDirEntries("/proc/self/fd");
}
inline int ThreadCount() {
  return CountDirEntries("/proc/self/task");
}

// CPU time (user + system) of the whole process, in microseconds.
inline int64_t ProcessCpuMicros() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000LL + ru.ru_utime.tv_usec +
         ru.ru_stime.tv_usec;
}

inline int64_t ElapsedMs(SteadyClock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - since).count();
}

// Waits until pred holds or ms pass; the result of the last check.
inline bool Eventually(const std::function<bool()>& pred, int ms = 3000) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (SteadyClock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace vr::test
