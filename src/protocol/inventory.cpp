#include "protocol/inventory.h"

#include "common/rounding.h"
#include "protocol/hex_float.h"

namespace vr {
namespace {

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

std::optional<InventoryReply> DecodeInventoryReply(const uint8_t* reply, uint8_t length) {
  // The reply belongs to the tank number it echoes; anything but two digits
  // 01..16 lies outside the cache.
  const uint8_t d1 = reply[5], d2 = reply[6];
  if (d1 < '0' || d1 > '9' || d2 < '0' || d2 > '9') return std::nullopt;
  const int n = (d1 - '0') * 10 + (d2 - '0');
  if (n < 1 || n > kTankCount) return std::nullopt;

  InventoryReply out;
  out.tank = n;
  out.stamps = StampBit(kStampLevel) | StampBit(kStampTemperature) | StampBit(kStampWater) |
               StampBit(kStampVolume);
  if (length != kDensityReportLength && length != kInventoryReportLength) return out;
  TankReading& r = out.reading;
  r.Level = HexToSingle(reply, kFieldLevel);
  r.Volume = HexToSingle(reply, kFieldVolume);
  r.Temperature.fill(HexToSingle(reply, kFieldTemperature));
  r.Water = WaterByte(HexToSingle(reply, kFieldWater));
  if (length == kDensityReportLength) {
    r.Density = static_cast<double>(HexToSingle(reply, kFieldDensity)) / 1000.0;
    out.stamps |= StampBit(kStampDensity);
  }
  return out;
}

}  // namespace vr
