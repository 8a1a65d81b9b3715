#include "protocol/tank_records.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "protocol/console_reports.h"
#include "protocol/frame.h"
#include "protocol/hex_float.h"
#include "protocol/inventory.h"

namespace vr {
namespace {

// The fields of each report by their position in the record; the console may
// send fewer positions, and positions past the table are skipped.
constexpr unsigned kPlainFields[] = {
    VRSILO_FIELD_VOLUME, VRSILO_FIELD_TC_VOLUME,   VRSILO_FIELD_ULLAGE,       VRSILO_FIELD_HEIGHT,
    VRSILO_FIELD_WATER,  VRSILO_FIELD_TEMPERATURE, VRSILO_FIELD_WATER_VOLUME,
};
constexpr unsigned kDensityFields[] = {
    VRSILO_FIELD_VOLUME, VRSILO_FIELD_MASS,         VRSILO_FIELD_DENSITY,    VRSILO_FIELD_HEIGHT,
    VRSILO_FIELD_WATER,  VRSILO_FIELD_TEMPERATURE,  VRSILO_FIELD_TC_DENSITY, VRSILO_FIELD_TC_VOLUME,
    VRSILO_FIELD_ULLAGE, VRSILO_FIELD_WATER_VOLUME,
};

constexpr size_t kTimeOffset = 1 + kCommandLength;  // YYMMDDHHmm after the echo

}  // namespace

std::optional<size_t> DecodeTankRecords(const uint8_t* reply, size_t length,
                                        vrsilo_tank_record* out, size_t capacity) {
  if (length < kTankBlockOffset + kReplyTrailer || reply[0] != kSoh) return std::nullopt;
  const bool density = std::memcmp(reply + 1, kDensityReport.data(), 4) == 0;
  if (!density && std::memcmp(reply + 1, kInventoryReport.data(), 4) != 0) return std::nullopt;
  const unsigned* slots = density ? kDensityFields : kPlainFields;
  const size_t known = density ? std::size(kDensityFields) : std::size(kPlainFields);
  char time[17];
  ConsoleTime(reply + kTimeOffset, time);

  const size_t end = length - kReplyTrailer;
  size_t at = kTankBlockOffset, count = 0;
  while (at < end) {
    if (end - at < kTankBlockHeader) return std::nullopt;
    const long tank = ReportNumber(reply + at, 2, 10);
    const long fields = ReportNumber(reply + at + 7, 2, 16);
    if (tank < 0 || fields < 0) {
      // A tank without data whose length cannot be known: the reply ends here.
      if (std::memchr(reply + at, '?', kTankBlockHeader) != nullptr) break;
      return std::nullopt;
    }
    const size_t first = at + kTankBlockHeader, size = 8 * static_cast<size_t>(fields);
    if (end - first < size) return std::nullopt;
    if (count < capacity) {
      vrsilo_tank_record& r = out[count];
      r = vrsilo_tank_record{};
      r.tank = static_cast<int>(tank);
      std::memcpy(r.console_time, time, sizeof time);
      const long status = ReportNumber(reply + at + 3, 4, 16);
      const bool valid = status >= 0 && std::memchr(reply + first, '?', size) == nullptr;
      if (valid) {
        r.product = static_cast<char>(reply[at + 2]);
        r.status = static_cast<unsigned>(status);
        for (size_t k = 0; k < std::min<size_t>(static_cast<size_t>(fields), known); ++k) {
          const double v = HexToSingleIn(reply, length, first + 8 * k);
          if (!std::isfinite(v)) continue;
          r.*RecordValue(slots[k]) = v;
          r.fields |= slots[k];
        }
      }
    }
    ++count;
    at = first + size;
  }
  return std::min(count, capacity);
}

}  // namespace vr
