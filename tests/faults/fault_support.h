#pragma once
// Helpers of the fault-injection suite: the built library loaded as a host
// loads it (dlopen, entry points, slot table), a gauge simulator on a
// pseudo-terminal with distinct values per tank, and process measurements.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "process_probe.h"
#include "pty_gauge.h"
#include "test_support.h"
#include "vrsilo.h"

namespace vr::faults {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The values of gauge tank n, distinct per tank and per kind, exactly
// representable as singles so that they come back unchanged.
inline float LevelOf(int n) {
  return 100.0f * n + 0.5f;
}
inline float VolumeOf(int n) {
  return 1000.0f * n + 0.25f;
}
inline float WaterOf(int n) {
  return static_cast<float>(n);
}
inline float TemperatureOf(int n) {
  return 10.0f + n + 0.125f;
}
inline float DensityOf(int n) {
  return 700.0f + n;
}  // kg/m3; the driver divides by 1000

inline sim::TankState TankValues(int n) {
  sim::TankState t;
  t.level = LevelOf(n);
  t.volume = VolumeOf(n);
  t.tc_volume = t.volume;
  t.water = WaterOf(n);
  t.temperature = TemperatureOf(n);
  t.density = DensityOf(n);
  t.height = 2000.0f + 10.0f * n;
  for (size_t k = 0; k < sim::kCalibrationPoints; ++k) t.cal[k] = 100.0f * n + 50.0f * (k + 1);
  return t;
}

// What the driver makes of the gauge's density.
inline double DensityRead(int n) {
  return static_cast<double>(DensityOf(n)) / 1000.0;
}

using test::ElapsedMs;
using test::Eventually;
using test::OpenDescriptors;
using test::ProcessCpuMicros;
using test::ThreadCount;

// The built libvrsilo.so, seen only through its two entry points and the
// slot table of the objects they return.
class HostLibrary {
 public:
  HostLibrary() {
    handle_ = dlopen(VRSILO_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!handle_) return;
    ex2_ = reinterpret_cast<VrGetSiloEx2Fn>(dlsym(handle_, "GetSiloEx2"));
    ex3_ = reinterpret_cast<VrGetSiloEx3Fn>(dlsym(handle_, "GetSiloEx3"));
  }
  ~HostLibrary() {
    if (handle_) dlclose(handle_);
  }
  HostLibrary(const HostLibrary&) = delete;
  HostLibrary& operator=(const HostLibrary&) = delete;

  bool Loaded() const { return ex2_ && ex3_; }
  VrSilo* Ex2() const { return ex2_(nullptr, 0, 0); }
  VrSilo* Ex3(int32_t number, bool viaBlock) const { return ex3_(nullptr, number, viaBlock); }

  static double Level(VrSilo* s, uint32_t i) {
    return VRSILO_SLOT(s, VrGetDoubleFn, VRSILO_SLOT_GET_LEVEL)(s, i);
  }
  static double Density(VrSilo* s, uint32_t i) {
    return VRSILO_SLOT(s, VrGetDoubleFn, VRSILO_SLOT_GET_DENSITY)(s, i);
  }
  static double Volume(VrSilo* s, uint32_t i) {
    return VRSILO_SLOT(s, VrGetDoubleFn, VRSILO_SLOT_GET_VOLUME)(s, i);
  }
  static uint32_t Water(VrSilo* s, uint32_t i) {
    return VRSILO_SLOT(s, VrGetWaterFn, VRSILO_SLOT_GET_WATER)(s, i);
  }
  static void Temperatures(VrSilo* s, uint32_t i, double* out4) {
    VRSILO_SLOT(s, VrGetTemperaturesFn, VRSILO_SLOT_GET_TEMPERATURES)(s, i, out4);
  }
  static uint32_t State(VrSilo* s) {
    return VRSILO_SLOT(s, VrGetLinkStateFn, VRSILO_SLOT_GET_LINK_STATE)(s);
  }
  static void SetState(VrSilo* s, uint32_t state) {
    VRSILO_SLOT(s, VrSetLinkStateFn, VRSILO_SLOT_SET_LINK_STATE)(s, state);
  }
  static void Identity(VrSilo* s, char* buffer40) {
    VRSILO_SLOT(s, VrGetIdentityFn, VRSILO_SLOT_GET_IDENTITY)(buffer40, s);
  }
  static void OpenBlock(VrSilo* s) {
    VRSILO_SLOT(s, VrOpenCommBlockFn, VRSILO_SLOT_OPEN_COMM_BLOCK)(s, 0);
  }
  static int32_t ReadTable(VrSilo* s, uint32_t n, int32_t* height, VrCalibrationPoints* p) {
    return VRSILO_SLOT(s, VrReadCalibrationFn, VRSILO_SLOT_READ_CALIBRATION)(s, n, height, p);
  }
  static int32_t WriteTable(VrSilo* s, uint32_t n, int32_t height, const VrCalibrationPoints* p) {
    return VRSILO_SLOT(s, VrWriteCalibrationFn, VRSILO_SLOT_WRITE_CALIBRATION)(s, n, height, p);
  }

 private:
  void* handle_ = nullptr;
  VrGetSiloEx2Fn ex2_ = nullptr;
  VrGetSiloEx3Fn ex3_ = nullptr;
};

// Settings text: the given connection type and refresh period, COM1..COM6
// mapped to paths that do not exist (no real serial port is ever touched),
// except the ports given in `mapped`.
inline std::string SettingsText(int connectionType, int seconds,
                                const std::vector<std::pair<int, std::string>>& mapped) {
  std::string text = "[VeederRoot]\r\nConnectionType=" + std::to_string(connectionType) +
                     "\r\nCriticalUpdateTime=" + std::to_string(seconds) + "\r\n[Ports]\r\n";
  for (int port = 1; port <= 6; ++port) {
    std::string path = "/nonexistent/vr-fault-test/COM" + std::to_string(port);
    for (const auto& [p, where] : mapped)
      if (p == port) path = where;
    text += "COM" + std::to_string(port) + "=" + path + "\r\n";
  }
  return text;
}

}  // namespace vr::faults
