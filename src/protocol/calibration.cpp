// Reading and writing a tank's calibration table: its full height ("i607",
// "s607") and the volumes at 20 evenly spaced levels ("i606", "s606").
#include <array>
#include <cstring>
#include <limits>
#include <string>

#include "common/rounding.h"
#include "driver/silo.h"
#include "protocol/extended.h"
#include "protocol/hex_float.h"

namespace vr {
namespace {

constexpr uint8_t kHeightReplyLength = 34;
constexpr uint8_t kTableReplyLength = 186;
constexpr size_t kDataOffset = 19;
constexpr int kPoints = 20;
constexpr size_t kHexSize = 8;

// Only numbers that fit the two-digit field address a single tank; "00" would
// address every tank of the gauge at once.
bool ValidTankNumber(uint32_t n) {
  return n >= 1 && n <= 99;
}

// Narrowing to single precision; values beyond its range become infinities
// explicitly instead of relying on an out-of-range conversion.
float ToSingle(double v) {
  constexpr double kMax = 3.4028234663852886e38;
  if (v > kMax) return std::numeric_limits<float>::infinity();
  if (v < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(v);
}

}  // namespace

int32_t TSilo::ReadCalibrationTable(uint32_t n, int32_t* height, uint8_t* points) {
  if (!ValidTankNumber(n) || !height || !points) return -1;
  const std::string digits = TankDigits(n);
  FrameBuffer reply{};

  uint8_t length = kHeightReplyLength;
  ExchangeOutcome out = Exchange("i607" + digits, nullptr, 0, length, reply.data());
  if (!out.replyValid || length != kHeightReplyLength) return -1;
  // The height is stored at once, also when the volumes fail later.
  *height = RoundToInt32(HexToSingle(reply.data(), kDataOffset));
  if (*height <= 0) return -1;

  length = kTableReplyLength;
  out = Exchange("i606" + digits, nullptr, 0, length, reply.data());
  if (!out.replyValid) return -1;
  // Field j carries element 20 - j: the full-height volume comes first.
  for (int j = 1; j <= kPoints; ++j) {
    float v = HexToSingle(reply.data(), kDataOffset + kHexSize * (j - 1));
    DoubleToExtended(v, points + kExtendedSize * (kPoints - j));
  }
  return 0;
}

int32_t TSilo::WriteCalibrationTable(uint32_t n, int32_t height, const uint8_t* points) {
  if (!ValidTankNumber(n) || !points) return -1;
  const std::string digits = TankDigits(n);
  // The caller's points are copied before use.
  std::array<uint8_t, kPoints * kExtendedSize> copy;
  std::memcpy(copy.data(), points, copy.size());
  FrameBuffer reply{};

  char payload[kPoints * kHexSize];
  SingleToHex(ToSingle(height), payload);
  uint8_t length = kHeightReplyLength;
  ExchangeOutcome out = Exchange("s607" + digits, reinterpret_cast<const uint8_t*>(payload),
                                 kHexSize, length, reply.data());
  if (!out.replyValid) return -1;

  for (int j = 1; j <= kPoints; ++j) {
    double v = ExtendedToDouble(copy.data() + kExtendedSize * (kPoints - j));
    SingleToHex(ToSingle(v), payload + kHexSize * (j - 1));
  }
  length = kTableReplyLength;
  out = Exchange("s606" + digits, reinterpret_cast<const uint8_t*>(payload),
                 static_cast<uint8_t>(sizeof payload), length, reply.data());
  return out.replyValid ? 0 : -1;
}

}  // namespace vr
