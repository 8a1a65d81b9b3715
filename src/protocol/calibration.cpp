#include "protocol/calibration.h"

#include <limits>

#include "common/rounding.h"
#include "protocol/extended.h"
#include "protocol/hex_float.h"

namespace vr {
namespace {

constexpr size_t kHexSize = 8;

// Narrowing to single precision; values beyond its range become infinities
// explicitly instead of relying on an out-of-range conversion.
float ToSingle(double v) {
  constexpr double kMax = 3.4028234663852886e38;
  if (v > kMax) return std::numeric_limits<float>::infinity();
  if (v < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(v);
}

}  // namespace

int32_t DecodeTankHeight(const uint8_t* reply) {
  return RoundToInt32(HexToSingle(reply, kCalibrationDataOffset));
}

void DecodeCalibrationPoints(const uint8_t* reply, uint8_t* points) {
  for (int j = 1; j <= kCalibrationPoints; ++j) {
    const float v = HexToSingle(reply, kCalibrationDataOffset + kHexSize * (j - 1));
    DoubleToExtended(v, points + kExtendedSize * (kCalibrationPoints - j));
  }
}

void EncodeTankHeight(int32_t height, char* payload) {
  SingleToHex(ToSingle(height), payload);
}

void EncodeCalibrationPoints(const uint8_t* points, char* payload) {
  for (int j = 1; j <= kCalibrationPoints; ++j) {
    const double v = ExtendedToDouble(points + kExtendedSize * (kCalibrationPoints - j));
    SingleToHex(ToSingle(v), payload + kHexSize * (j - 1));
  }
}

}  // namespace vr
