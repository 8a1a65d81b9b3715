#include "protocol/tank_records.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "protocol/frame.h"
#include "protocol/hex_float.h"
#include "protocol/inventory.h"

namespace vr {
namespace {

// Where each value of a report goes, by its position in the record; the
// console may send fewer positions, and positions past the table are skipped.
struct FieldSlot {
  unsigned bit;
  double vrsilo_tank_record::*value;
};
constexpr FieldSlot kPlainFields[] = {
    {VRSILO_FIELD_VOLUME, &vrsilo_tank_record::volume},
    {VRSILO_FIELD_TC_VOLUME, &vrsilo_tank_record::tc_volume},
    {VRSILO_FIELD_ULLAGE, &vrsilo_tank_record::ullage},
    {VRSILO_FIELD_HEIGHT, &vrsilo_tank_record::height},
    {VRSILO_FIELD_WATER, &vrsilo_tank_record::water},
    {VRSILO_FIELD_TEMPERATURE, &vrsilo_tank_record::temperature},
    {VRSILO_FIELD_WATER_VOLUME, &vrsilo_tank_record::water_volume},
};
constexpr FieldSlot kDensityFields[] = {
    {VRSILO_FIELD_VOLUME, &vrsilo_tank_record::volume},
    {VRSILO_FIELD_MASS, &vrsilo_tank_record::mass},
    {VRSILO_FIELD_DENSITY, &vrsilo_tank_record::density},
    {VRSILO_FIELD_HEIGHT, &vrsilo_tank_record::height},
    {VRSILO_FIELD_WATER, &vrsilo_tank_record::water},
    {VRSILO_FIELD_TEMPERATURE, &vrsilo_tank_record::temperature},
    {VRSILO_FIELD_TC_DENSITY, &vrsilo_tank_record::tc_density},
    {VRSILO_FIELD_TC_VOLUME, &vrsilo_tank_record::tc_volume},
    {VRSILO_FIELD_ULLAGE, &vrsilo_tank_record::ullage},
    {VRSILO_FIELD_WATER_VOLUME, &vrsilo_tank_record::water_volume},
};

constexpr size_t kTimeOffset = 1 + kCommandLength;  // YYMMDDHHmm after the echo
constexpr size_t kTimeLength = 10;

// The value of n digits in the given radix, or -1 (a '?' among them too).
long Number(const uint8_t* p, size_t n, int radix) {
  long v = 0;
  for (size_t i = 0; i < n; ++i) {
    int d = -1;
    if (p[i] >= '0' && p[i] <= '9') d = p[i] - '0';
    if (radix == 16 && p[i] >= 'A' && p[i] <= 'F') d = p[i] - 'A' + 10;
    if (radix == 16 && p[i] >= 'a' && p[i] <= 'f') d = p[i] - 'a' + 10;
    if (d < 0) return -1;
    v = v * radix + d;
  }
  return v;
}

// "YYMMDDHHmm" as "20YY-MM-DDTHH:MM"; empty when it is not ten digits.
void ConsoleTime(const uint8_t* p, char out[17]) {
  out[0] = '\0';
  if (Number(p, kTimeLength, 10) < 0) return;
  const char text[17] = {'2',        '0', char(p[0]), char(p[1]), '-', char(p[2]),
                         char(p[3]), '-', char(p[4]), char(p[5]), 'T', char(p[6]),
                         char(p[7]), ':', char(p[8]), char(p[9]), '\0'};
  std::memcpy(out, text, sizeof text);
}

}  // namespace

std::optional<size_t> DecodeTankRecords(const uint8_t* reply, size_t length,
                                        vrsilo_tank_record* out, size_t capacity) {
  if (length < kTankBlockOffset + kReplyTrailer || reply[0] != kSoh) return std::nullopt;
  const bool density = std::memcmp(reply + 1, kDensityReport.data(), 4) == 0;
  if (!density && std::memcmp(reply + 1, kInventoryReport.data(), 4) != 0) return std::nullopt;
  const FieldSlot* slots = density ? kDensityFields : kPlainFields;
  const size_t known = density ? std::size(kDensityFields) : std::size(kPlainFields);
  char time[17];
  ConsoleTime(reply + kTimeOffset, time);

  const size_t end = length - kReplyTrailer;
  size_t at = kTankBlockOffset, count = 0;
  while (at < end) {
    if (end - at < kTankBlockHeader) return std::nullopt;
    const long tank = Number(reply + at, 2, 10);
    const long fields = Number(reply + at + 7, 2, 16);
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
      const long status = Number(reply + at + 3, 4, 16);
      const bool valid = status >= 0 && std::memchr(reply + first, '?', size) == nullptr;
      if (valid) {
        r.product = static_cast<char>(reply[at + 2]);
        r.status = static_cast<unsigned>(status);
        for (size_t k = 0; k < std::min<size_t>(static_cast<size_t>(fields), known); ++k) {
          const double v = HexToSingleIn(reply, length, first + 8 * k);
          if (!std::isfinite(v)) continue;
          r.*slots[k].value = v;
          r.fields |= slots[k].bit;
        }
      }
    }
    ++count;
    at = first + size;
  }
  return std::min(count, capacity);
}

}  // namespace vr
