// Inventory reports ("i214" with density, "i201" without) into the tank cache.
#include <string>

#include "common/clock.h"
#include "common/rounding.h"
#include "driver/silo.h"
#include "protocol/hex_float.h"

namespace vr {
namespace {

constexpr uint8_t kDensityReportLength = 81;
constexpr uint8_t kInventoryReportLength = 89;
constexpr size_t kFieldVolume = 26;
constexpr size_t kFieldDensity = 42;
constexpr size_t kFieldLevel = 50;
constexpr size_t kFieldWater = 58;
constexpr size_t kFieldTemperature = 66;

// The water level is a byte: rounded, limited to 0..255.
uint8_t WaterByte(float value) {
  int64_t w = RoundToInt64(static_cast<double>(value));
  if (w > 255) return 255;
  if (w < 0) return 0;
  return static_cast<uint8_t>(w);
}

}  // namespace

bool TSilo::RefreshTank(uint8_t n) {
  FrameBuffer reply{};
  const std::string digits = TankDigits(n);
  uint8_t length = kDensityReportLength;
  ExchangeOutcome out = Exchange("i214" + digits, nullptr, 0, length, reply.data());
  if (!out.replyValid) {
    length = kInventoryReportLength;
    out = Exchange("i201" + digits, nullptr, 0, length, reply.data());
    if (!out.replyValid) return false;
  }
  return DecodeInventory(reply.data(), out.replyLength) == n;
}

int TSilo::DecodeInventory(const uint8_t* reply, uint8_t length) {
  // The reply is stored under the tank number it echoes; anything but two
  // digits 01..16 lies outside the cache and is dropped.
  uint8_t d1 = reply[5], d2 = reply[6];
  if (d1 < '0' || d1 > '9' || d2 < '0' || d2 > '9') return 0;
  int n = (d1 - '0') * 10 + (d2 - '0');
  if (n < 1 || n > kTankCount) return 0;

  TankReading& r = tanks_[n - 1];
  if (length == kDensityReportLength || length == kInventoryReportLength) {
    r.Level.store(HexToSingle(reply, kFieldLevel));
    r.Volume.store(HexToSingle(reply, kFieldVolume));
    double t = HexToSingle(reply, kFieldTemperature);
    for (auto& temperature : r.Temperature) temperature.store(t);
    r.Water.store(WaterByte(HexToSingle(reply, kFieldWater)));
    if (length == kDensityReportLength) {
      r.Density.store(static_cast<double>(HexToSingle(reply, kFieldDensity)) / 1000.0);
      stamps_[n - 1][kStampDensity].store(CurrentClock().Now(), std::memory_order_release);
    }
  } else {
    // A checked reply of another length carries no data.
    r.Level.store(0.0);
    r.Volume.store(0.0);
    for (auto& temperature : r.Temperature) temperature.store(0.0);
    r.Water.store(0);
  }
  auto& s = stamps_[n - 1];
  s[kStampLevel].store(CurrentClock().Now(), std::memory_order_release);
  s[kStampTemperature].store(CurrentClock().Now(), std::memory_order_release);
  s[kStampWater].store(CurrentClock().Now(), std::memory_order_release);
  s[kStampVolume].store(CurrentClock().Now(), std::memory_order_release);
  return n;
}

}  // namespace vr
