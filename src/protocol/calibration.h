#pragma once
// A tank's calibration table in the gauge: its full height ("i607", "s607")
// and the volumes at 20 evenly spaced levels ("i606", "s606"). The host holds
// the volumes as 20 x87 extended numbers (200 bytes), lowest level first.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vr {

inline constexpr std::string_view kReadHeight = "i607";
inline constexpr std::string_view kWriteHeight = "s607";
inline constexpr std::string_view kReadTable = "i606";
inline constexpr std::string_view kWriteTable = "s606";
constexpr uint8_t kHeightReplyLength = 34;
constexpr uint8_t kTableReplyLength = 186;
constexpr int kCalibrationPoints = 20;
// Where the values start in the replies: after the echo and a 12-digit time.
constexpr size_t kCalibrationDataOffset = 19;
constexpr int kHeightPayloadSize = 8;
constexpr int kTablePayloadSize = 8 * kCalibrationPoints;

// Only numbers that fit the two-digit field address a single tank; "00" would
// address every tank of the gauge at once.
inline bool IsSingleTankNumber(uint32_t n) {
  return n >= 1 && n <= 99;
}

// The height a checked "i607" reply carries, rounded to whole millimetres.
int32_t DecodeTankHeight(const uint8_t* reply);
// The 20 volumes of a checked "i606" reply into the host's 200 bytes. The
// reply's field j carries element 20 - j: the full-height volume comes first.
void DecodeCalibrationPoints(const uint8_t* reply, uint8_t* points200);

// The payloads of "s607" and "s606", in the reply's order. Values beyond the
// single-precision range are sent as infinities.
void EncodeTankHeight(int32_t height, char* payload8);
void EncodeCalibrationPoints(const uint8_t* points200, char* payload160);

}  // namespace vr
