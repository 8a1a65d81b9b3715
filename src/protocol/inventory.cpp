#include "protocol/inventory.h"

#include <cmath>
#include <cstring>

#include "common/rounding.h"
#include "protocol/frame.h"
#include "protocol/hex_float.h"

namespace vr {
namespace {

constexpr size_t kFieldVolume = kTankBlockOffset + kTankBlockHeader;  // field 1 of a tank's report

// The water level is a byte: rounded, limited to 0..255.
uint8_t WaterByte(float value) {
  int64_t w = RoundToInt64(static_cast<double>(value));
  if (w > 255) return 255;
  if (w < 0) return 0;
  return static_cast<uint8_t>(w);
}

// Two hexadecimal digits, or -1.
int HexByte(const uint8_t* p) {
  auto digit = [](uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  const int hi = digit(p[0]), lo = digit(p[1]);
  return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

// Two decimal digits, or -1.
int DecimalPair(const uint8_t* p) {
  if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9') return -1;
  return (p[0] - '0') * 10 + (p[1] - '0');
}

bool IsDensityReport(const uint8_t* reply) {
  return std::memcmp(reply + 1, kDensityReport.data(), kDensityReport.size()) == 0;
}

// The values of the fields starting at `at` in a buffer of `size` bytes.
void DecodeFields(const uint8_t* reply, size_t size, size_t at, bool density, InventoryReply& out) {
  // A value that is not finite reads as 0.0: hosts run with the invalid-
  // operation exception unmasked and would trap at their first use of a NaN.
  auto field = [&](int k) {
    const float v = HexToSingleIn(reply, size, at + 8 * static_cast<size_t>(k - 1));
    return std::isfinite(v) ? v : 0.0f;
  };
  TankReading& r = out.reading;
  r.Volume = field(1);
  r.Level = field(4);
  r.Water = WaterByte(field(5));
  r.Temperature.fill(field(6));
  out.stamps = StampBit(kStampLevel) | StampBit(kStampTemperature) | StampBit(kStampWater) |
               StampBit(kStampVolume);
  if (density) {
    r.Density = static_cast<double>(field(3)) / 1000.0;
    out.stamps |= StampBit(kStampDensity);
  }
}

}  // namespace

std::optional<InventoryReply> DecodeInventoryReply(const uint8_t* reply, uint8_t length) {
  // The reply belongs to the tank number it echoes; anything but two digits
  // 01..16 lies outside the cache.
  const int n = DecimalPair(reply + 5);
  if (n < 1 || n > kTankCount) return std::nullopt;

  InventoryReply out;
  out.tank = n;
  if (length == kDensityReportLength || length == kInventoryReportLength) {
    DecodeFields(reply, kFrameBufferSize, kFieldVolume, length == kDensityReportLength, out);
    return out;
  }
  const int fields = length > kFieldVolume ? HexByte(reply + kFieldVolume - 2) : -1;
  if (fields >= kMinInventoryFields &&
      length == kFieldVolume + 8 * static_cast<size_t>(fields) + kReplyTrailer) {
    DecodeFields(reply, kFrameBufferSize, kFieldVolume, IsDensityReport(reply), out);
    return out;
  }
  // A checked reply that fits no layout carries no data: zero values, stamped.
  out.stamps = StampBit(kStampLevel) | StampBit(kStampTemperature) | StampBit(kStampWater) |
               StampBit(kStampVolume);
  return out;
}

std::optional<AllTanksReply> DecodeAllTanksReply(const uint8_t* reply, size_t length) {
  if (length < kTankBlockOffset + kReplyTrailer) return std::nullopt;
  const size_t end = length - kReplyTrailer;
  const bool density = IsDensityReport(reply);
  AllTanksReply out;
  size_t at = kTankBlockOffset;
  while (at < end) {
    if (end - at < kTankBlockHeader) return std::nullopt;
    const int n = DecimalPair(reply + at);
    const int fields = HexByte(reply + at + 7);
    if (n < 0 || fields < 0) return std::nullopt;
    const size_t first = at + kTankBlockHeader;
    const size_t size = 8 * static_cast<size_t>(fields);
    if (end - first < size) return std::nullopt;
    // Tanks outside the cache, and blocks too short to hold the values, are
    // passed over: those tanks are asked one by one.
    if (n >= 1 && n <= kTankCount && fields >= kMinInventoryFields) {
      InventoryReply& t = out.tanks[n - 1];
      if (t.tank == 0) ++out.count;
      t.tank = n;
      DecodeFields(reply, length, first, density, t);
    }
    at = first + size;
  }
  return out;
}

}  // namespace vr
