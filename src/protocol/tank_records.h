#pragma once
// Every field of the inventory reports "i201" and "i214", for one tank or for
// every tank (tank 00), as the console sends them: the report header's time,
// each tank's product code and status bits, and the values by their meaning,
// with a mask of those the reply carried.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "vrsilo/gauge.h"

namespace vr {

// Every value of a record: its bit in `fields` and where it is kept.
struct RecordField {
  unsigned bit;
  double vrsilo_tank_record::*value;
};
inline constexpr RecordField kRecordFields[] = {
    {VRSILO_FIELD_VOLUME, &vrsilo_tank_record::volume},
    {VRSILO_FIELD_TC_VOLUME, &vrsilo_tank_record::tc_volume},
    {VRSILO_FIELD_ULLAGE, &vrsilo_tank_record::ullage},
    {VRSILO_FIELD_HEIGHT, &vrsilo_tank_record::height},
    {VRSILO_FIELD_WATER, &vrsilo_tank_record::water},
    {VRSILO_FIELD_WATER_VOLUME, &vrsilo_tank_record::water_volume},
    {VRSILO_FIELD_TEMPERATURE, &vrsilo_tank_record::temperature},
    {VRSILO_FIELD_MASS, &vrsilo_tank_record::mass},
    {VRSILO_FIELD_DENSITY, &vrsilo_tank_record::density},
    {VRSILO_FIELD_TC_DENSITY, &vrsilo_tank_record::tc_density},
};

// The member of a field bit (one of VRSILO_FIELD_*).
constexpr double vrsilo_tank_record::*RecordValue(unsigned bit) {
  for (const RecordField& f : kRecordFields)
    if (f.bit == bit) return f.value;
  return nullptr;
}

// Decodes a checked "i201"/"i214" reply of `length` bytes into out[0..capacity)
// in the order the console sent the tanks; link_state and received_at_ms are
// the caller's. Returns the number of records, or nothing when the reply is
// not such a report or its records do not fill it exactly. A record with a
// '?' (a tank without valid data) carries no fields; a '?' in a record's
// field count ends the reply there, since its length is then unknown.
// Fields that are not finite are marked absent.
std::optional<size_t> DecodeTankRecords(const uint8_t* reply, size_t length,
                                        vrsilo_tank_record* out, size_t capacity);

}  // namespace vr
