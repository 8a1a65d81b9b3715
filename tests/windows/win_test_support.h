#pragma once
// Helpers of the Windows tests: the ports the test script sets up, the tanks of
// the simulator behind COM1, and counts of the process's threads and handles.
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

namespace vr::wintest {

// scripts/test-windows maps COM1 to the gauge simulator; no other port exists.
constexpr uint16_t kGaugePort = 1;
constexpr uint16_t kMissingPort = 9;

// The simulator's tanks (the --tank options of scripts/test-windows).
struct SimTank {
  int number;
  double level, volume, water, temperature, density, height;
};
constexpr SimTank kSimTanks[] = {
    {1, 1234.5, 20000.0, 3.0, 15.5, 745.5, 2500.0},
    {2, 800.25, 12000.0, 0.0, -2.5, 830.0, 3000.0},
};

using Clock = std::chrono::steady_clock;

inline int64_t ElapsedMs(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// Waits until pred holds or ms pass.
inline bool Eventually(const std::function<bool()>& pred, int ms = 3000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (Clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Threads of this process.
inline int ThreadCount() {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 e{};
  e.dwSize = sizeof e;
  int n = 0;
  const DWORD self = GetCurrentProcessId();
  for (BOOL ok = Thread32First(snap, &e); ok; ok = Thread32Next(snap, &e)) {
    if (e.th32OwnerProcessID == self) ++n;
  }
  CloseHandle(snap);
  return n;
}

// Open handles of this process.
inline int HandleCount() {
  DWORD n = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &n) ? static_cast<int>(n) : -1;
}

}  // namespace vr::wintest
