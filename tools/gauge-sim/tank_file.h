#pragma once
#include <array>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "simulator.h"

namespace vr::sim {

// Tank text format (files given with --tanks, and --tank / stdin "tank"):
//
//   # comment (from '#' to the end of the line); blank lines are ignored
//   tank 1 level=1234.5 volume=20000 water=3.2 temperature=15.5 density=745.2 height=2500
//     cal=100,200,...,30000   (all on one line; shown folded here)
//
// One line per tank: "tank" (optional), the tank number 1..16 (followed by a
// blank or ':'), then key=value items separated by blanks or commas. Keys:
//   volume, tc_volume (alias tcvolume), ullage, level, water, temperature
//   (alias temp), water_volume (alias watervolume), density (kg/m3),
//   tc_density (alias tcdensity, kg/m3), mass (kg, 0 = volume * density / 1000),
//   height (mm), product (1 character), status (4 characters),
//   cal=v1,v2,...,v20  20 volumes, v1 at 1/20 of the height ... v20 at full
//                      height (values following cal= without '=' continue it),
//   capacity=V         derive cal from a horizontal cylinder of V litres,
//   alarms=A+B+...     active tank alarms, names as TankAlarmType knows them
//                      ("high_water", "delivery_needed", ...) or numbers 1..99,
//                      joined by '+'; "alarms=" or "alarms=none" clears them,
//   label=TEXT         the "i602" label; '_' stands for a blank (no blanks,
//                      commas or '#' in TEXT), e.g. label=REGULAR_UNLEADED.
// Defaults: every number 0, product '1', status "0000", no alarms, an empty
// label (20 blanks on the wire); tc_volume = volume,
// tc_density = density and ullage = max(0, cal[19] - volume) unless given.
// A tank not listed is absent.
// The same line without "tank", "1:level=1500,volume=20000,...", is the --tank
// form. Errors throw std::invalid_argument naming the line and the item.

// Parses one tank line. With `base`, starts from it and changes only the keys
// given (no derived defaults): the update form of the stdin "tank" command.
std::pair<int, TankState> ParseTankSpec(std::string_view desc, const TankState* base = nullptr);
std::map<int, TankState> ParseTankFile(std::string_view text);
std::map<int, TankState> LoadTankFile(const std::string& path);  // throws on I/O errors too
// One line in the format above ("tank N key=value ..."); alarms and label
// only when set. Stored deliveries are not part of it.
std::string FormatTank(int tank, const TankState& state);
// A tank alarm type from its name or its number; 0 when it is neither.
int ParseAlarmType(std::string_view name);
// "high_water+delivery_needed" (numbers for types without a name); "none".
std::string FormatAlarms(const std::vector<int>& alarms);
// Volumes at k/20 of the diameter, k = 1..20, of a horizontal cylinder.
std::array<float, kCalibrationPoints> CylinderTable(float capacity);
// Four plausible tanks (1..4) with calibration tables.
std::map<int, TankState> DemoTanks();

}  // namespace vr::sim
