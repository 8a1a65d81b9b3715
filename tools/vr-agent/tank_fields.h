#pragma once
// The values of the tank message: their keys, in the message's order, the
// record's field bits and members. The message, the replay's CSV columns and
// the deadbands all go by this table.
#include <cstddef>
#include <iterator>

#include "vrsilo/gauge.h"

namespace vr::agent {

struct TankField {
  const char* name;
  unsigned bit;
  double vrsilo_tank_record::*value;
};
inline constexpr TankField kTankFields[] = {
    {"level", VRSILO_FIELD_HEIGHT, &vrsilo_tank_record::height},
    {"volume", VRSILO_FIELD_VOLUME, &vrsilo_tank_record::volume},
    {"tc_volume", VRSILO_FIELD_TC_VOLUME, &vrsilo_tank_record::tc_volume},
    {"ullage", VRSILO_FIELD_ULLAGE, &vrsilo_tank_record::ullage},
    {"water", VRSILO_FIELD_WATER, &vrsilo_tank_record::water},
    {"water_volume", VRSILO_FIELD_WATER_VOLUME, &vrsilo_tank_record::water_volume},
    {"temperature", VRSILO_FIELD_TEMPERATURE, &vrsilo_tank_record::temperature},
    {"density", VRSILO_FIELD_DENSITY, &vrsilo_tank_record::density},
    {"tc_density", VRSILO_FIELD_TC_DENSITY, &vrsilo_tank_record::tc_density},
    {"mass", VRSILO_FIELD_MASS, &vrsilo_tank_record::mass},
};
inline constexpr size_t kTankFieldCount = std::size(kTankFields);

}  // namespace vr::agent
