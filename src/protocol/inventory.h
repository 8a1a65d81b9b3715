#pragma once
// Inventory reports: "i214" (with density) and "i201" (without) for one tank.
#include <array>
#include <cstddef>
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

// Layout of a tank's report: SOH, the echo, a 10-digit date and time, then
// the tank number (2), product code (1), status (4), the number of fields NN
// (2 hex digits) and NN fields of 8 hex digits; "&&", checksum, ETX at the end.
// Field 1 is the volume, 3 the density (in "i214"), 4 the level, 5 the
// water, 6 the temperature; consoles differ in how many fields follow.
constexpr size_t kTankBlockOffset = 17;
constexpr size_t kTankBlockHeader = 9;
constexpr size_t kReplyTrailer = 7;
constexpr int kMinInventoryFields = 6;

// Decodes a checked inventory reply of `length` bytes (the buffer holds at
// least 255). Nothing when the echoed tank number is not 01..16. Replies of 81
// and 89 bytes are the two reports of the older consoles; a reply of another
// length is decoded by its field count when that is at least 6 and matches the
// length exactly, otherwise it sets level, volume, temperatures and water to
// zero: it carries no data.
std::optional<InventoryReply> DecodeInventoryReply(const uint8_t* reply, uint8_t length);

// The reply to a request for every tank ("i21400", "i20100"): the header once,
// then one block per tank (number, product, status, NN, fields). tanks[n - 1]
// holds tank n when the reply carries it with at least 6 fields (tank 0:
// absent).
struct AllTanksReply {
  std::array<InventoryReply, kTankCount> tanks{};
  int count = 0;  // tanks present
};
// Nothing when the blocks do not fill the reply exactly (a reply cut short or
// inconsistent with its field counts): none of it is trusted.
std::optional<AllTanksReply> DecodeAllTanksReply(const uint8_t* reply, size_t length);

}  // namespace vr
