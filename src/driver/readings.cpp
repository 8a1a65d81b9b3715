// The five read slots and the refresh rule over the per-tank cache.
#include "common/clock.h"
#include "driver/silo.h"

namespace vr {

bool TSilo::IsFresh(int tankNumber, int kind) const {
  double stamp = Stamp(tankNumber, kind);
  if (stamp == 0.0) return false;
  int64_t age = AgeMs(CurrentClock().Now(), stamp);
  return static_cast<int64_t>(GetUpdatePeriodMs()) > age;
}

// A fresh cached value is served without any exchange and sets the link state
// to 1. Otherwise the tank is refreshed; the cached value is returned only
// when this very refresh brought it in, so a caller never gets a stale value
// because another thread's exchange happened to leave the link state at 1.
template <typename T, typename Get>
T TSilo::ReadValue(uint32_t tankIndex, int kind, T fallback, Get get) {
  if (tankIndex >= kTankCount) return fallback;
  const int n = static_cast<int>(tankIndex) + 1;
  if (IsFresh(n, kind)) {
    SetLinkState(VRSILO_LINK_OK);
    return get(tanks_[n - 1]);
  }
  if (RefreshTank(static_cast<uint8_t>(n))) return get(tanks_[n - 1]);
  return fallback;
}

double TSilo::GetLevel(uint32_t i) {
  return ReadValue(i, kStampLevel, 0.0, [](const CachedReading& r) { return r.Level.load(); });
}

void TSilo::GetTemperatures(uint32_t i, double* out4) {
  std::array<double, 4> zero{};
  auto values = ReadValue(i, kStampTemperature, zero, [](const CachedReading& r) {
    return std::array<double, 4>{r.Temperature[0].load(), r.Temperature[1].load(),
                                 r.Temperature[2].load(), r.Temperature[3].load()};
  });
  if (out4)
    for (int k = 0; k < 4; ++k) out4[k] = values[k];
}

uint8_t TSilo::GetWater(uint32_t i) {
  return ReadValue<uint8_t>(i, kStampWater, 0,
                            [](const CachedReading& r) { return r.Water.load(); });
}

double TSilo::GetDensity(uint32_t i) {
  return ReadValue(i, kStampDensity, kDefaultDensity,
                   [](const CachedReading& r) { return r.Density.load(); });
}

double TSilo::GetVolume(uint32_t i) {
  return ReadValue(i, kStampVolume, 0.0, [](const CachedReading& r) { return r.Volume.load(); });
}

}  // namespace vr
