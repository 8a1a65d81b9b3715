// The five read slots, served by the tank cache.
#include "driver/silo.h"

namespace vr {

double TSilo::GetLevel(uint32_t i) {
  return tanks_.Read(i, kStampLevel, 0.0, [](const CachedReading& r) { return r.Level.load(); });
}

void TSilo::GetTemperatures(uint32_t i, double* out4) {
  std::array<double, 4> zero{};
  auto values = tanks_.Read(i, kStampTemperature, zero, [](const CachedReading& r) {
    return std::array<double, 4>{r.Temperature[0].load(), r.Temperature[1].load(),
                                 r.Temperature[2].load(), r.Temperature[3].load()};
  });
  if (out4)
    for (int k = 0; k < 4; ++k) out4[k] = values[k];
}

uint8_t TSilo::GetWater(uint32_t i) {
  return tanks_.Read<uint8_t>(i, kStampWater, 0,
                              [](const CachedReading& r) { return r.Water.load(); });
}

double TSilo::GetDensity(uint32_t i) {
  return tanks_.Read(i, kStampDensity, kDefaultDensity,
                     [](const CachedReading& r) { return r.Density.load(); });
}

double TSilo::GetVolume(uint32_t i) {
  return tanks_.Read(i, kStampVolume, 0.0, [](const CachedReading& r) { return r.Volume.load(); });
}

}  // namespace vr
