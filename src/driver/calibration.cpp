// Reading and writing a tank's calibration table: its full height, then the
// volumes at 20 evenly spaced levels.
#include "driver/calibration.h"

#include <array>
#include <cstring>
#include <string>

#include "protocol/calibration.h"
#include "protocol/extended.h"

namespace vr {

int32_t ReadCalibrationTable(Exchanger& gauge, uint32_t n, int32_t* height, uint8_t* points) {
  if (!IsSingleTankNumber(n) || !height || !points) return -1;
  const std::string digits = TankDigits(n);
  FrameBuffer reply{};

  ExchangeReply out = gauge.Exchange(std::string(kReadHeight) + digits, nullptr, 0,
                                     kHeightReplyLength, reply.data());
  if (!out.Ok() || out.length != kHeightReplyLength) return -1;
  // The height is stored at once, also when the volumes fail later.
  *height = DecodeTankHeight(reply.data());
  if (*height <= 0) return -1;

  out =
      gauge.Exchange(std::string(kReadTable) + digits, nullptr, 0, kTableReplyLength, reply.data());
  if (!out.Ok()) return -1;
  DecodeCalibrationPoints(reply.data(), points);
  return 0;
}

int32_t WriteCalibrationTable(Exchanger& gauge, uint32_t n, int32_t height, const uint8_t* points) {
  if (!IsSingleTankNumber(n) || !points) return -1;
  const std::string digits = TankDigits(n);
  // The caller's points are copied before use.
  std::array<uint8_t, kCalibrationPoints * kExtendedSize> copy;
  std::memcpy(copy.data(), points, copy.size());
  FrameBuffer reply{};

  char payload[kTablePayloadSize];
  EncodeTankHeight(height, payload);
  ExchangeReply out =
      gauge.Exchange(std::string(kWriteHeight) + digits, reinterpret_cast<const uint8_t*>(payload),
                     kHeightPayloadSize, kHeightReplyLength, reply.data());
  if (!out.Ok()) return -1;

  EncodeCalibrationPoints(copy.data(), payload);
  out = gauge.Exchange(std::string(kWriteTable) + digits, reinterpret_cast<const uint8_t*>(payload),
                       static_cast<uint8_t>(sizeof payload), kTableReplyLength, reply.data());
  return out.Ok() ? 0 : -1;
}

}  // namespace vr
