#pragma once
// Inventory reports: "i214" (with density) and "i201" (without) for one tank.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vr {

inline constexpr std::string_view kDensityReport = "i214";
inline constexpr std::string_view kInventoryReport = "i201";
constexpr uint8_t kDensityReportLength = 81;
constexpr uint8_t kInventoryReportLength = 89;

constexpr int kTankCount = 16;

// What one tank's report says. Density is in kg/l (the gauge sends kg/m3).
struct TankReading {
  double Level = 0.0;
  std::array<double, 4> Temperature{};
  double Volume = 0.0;
  uint8_t Water = 0;
  double Density = 0.0;
};

// The values a reading carries, each with its own time stamp in the cache.
enum StampKind : int {
  kStampLevel = 0,
  kStampTemperature = 1,
  kStampVolume = 2,
  kStampWater = 3,
  kStampDensity = 4,
};
constexpr int kStampKinds = 5;
constexpr uint8_t StampBit(StampKind kind) {
  return static_cast<uint8_t>(1u << kind);
}

struct InventoryReply {
  int tank = 0;  // 1..16, the tank number the reply echoes
  TankReading reading;
  uint8_t stamps = 0;  // StampBit of each value the reply sets
};

// Decodes a checked inventory reply of `length` bytes (the buffer holds at
// least 255). Nothing when the echoed tank number is not 01..16. A reply of
// another length than the two reports' sets level, volume, temperatures and
// water to zero: it carries no data.
std::optional<InventoryReply> DecodeInventoryReply(const uint8_t* reply, uint8_t length);

}  // namespace vr
