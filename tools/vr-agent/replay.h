#pragma once
// vr-agent --replay FILE: the event engine over a recorded CSV, for
// technicians tuning thresholds. The first line names the columns: the keys
// of the tank message (tank, level, volume, tc_volume, ..., link_state,
// read_at; an empty cell is a field the reply did not carry), optionally
// "gauge" and "full_volume". Every event is printed as "GAUGE/tank/N JSON",
// then each tank's alarms and forecast at its last reading.
#include <cstdio>
#include <istream>
#include <string>

#include "station_config.h"

namespace vr::agent {

// Returns 0, or 2 after printing "FILE:LINE: why" for a line it cannot read.
int Replay(std::istream& csv, const std::string& name, const StationConfig& config, FILE* out);

// One CSV line split into its fields (RFC 4180 quotes).
std::vector<std::string> SplitCsv(const std::string& line);

}  // namespace vr::agent
