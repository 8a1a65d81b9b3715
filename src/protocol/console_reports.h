#pragma once
// The console's own reports besides the inventory: system status ("i101"),
// in-tank status ("i205"), deliveries ("i202", "i20C") and tank labels
// ("i602"), decoded from checked replies into the gauge interface's records.
//
// Each decoder writes at most `capacity` items and returns how many the reply
// holds (which may be more), or nothing when the reply is not that report or
// its records do not fill it exactly. A record with a '?' (a tank without
// valid data) is left out; a '?' in a count ends the reply there, since the
// record's length is then unknown. link times (received_at_ms) are the
// caller's.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "vrsilo/gauge.h"

namespace vr {

inline constexpr std::string_view kSystemStatusReport = "i101";
inline constexpr std::string_view kTankStatusReport = "i205";
inline constexpr std::string_view kDeliveryReport = "i202";
inline constexpr std::string_view kLastDeliveryReport = "i20C";
inline constexpr std::string_view kLabelReport = "i602";

// Alarm groups of the system status, category 2 (tank) and 0 ("all
// functions normal") included.
std::optional<size_t> DecodeSystemStatus(const uint8_t* reply, size_t length, vrsilo_alarm* out,
                                         size_t capacity);
// The active alarms of every tank in the reply, in the order sent.
std::optional<size_t> DecodeTankAlarms(const uint8_t* reply, size_t length, vrsilo_alarm* out,
                                       size_t capacity);
// Every delivery block of every tank in an "i202" or "i20C" reply.
std::optional<size_t> DecodeDeliveries(const uint8_t* reply, size_t length, vrsilo_delivery* out,
                                       size_t capacity);
std::optional<size_t> DecodeLabels(const uint8_t* reply, size_t length, vrsilo_tank_label* out,
                                   size_t capacity);

// Tank alarm types (category 2) by number: "leak" for 2, "high_water" for 3,
// ...; "" for a number without a name.
const char* TankAlarmName(int type);
// The number of a tank alarm name, 0 when there is none.
int TankAlarmType(std::string_view name);
// "system", "tank", "liquid_sensor", ...; "" for an unknown category.
const char* AlarmCategoryName(int category);

// The value of the n digits at p in this radix (10 or 16), or -1 when any of
// them is not a digit ('?' included).
long ReportNumber(const uint8_t* p, size_t n, int radix);
// "YYMMDDHHmm" at p as "20YY-MM-DDTHH:MM" into out; "" when p[0..9] are not
// ten digits.
void ConsoleTime(const uint8_t* p, char out[17]);

}  // namespace vr
