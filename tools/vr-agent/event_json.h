#pragma once
// The JSON the agent publishes for the engine's work (and --replay prints),
// and the timestamps of every message: local time with milliseconds and its
// UTC offset, "2026-12-08T10:15:00.123+03:00".
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine.h"

namespace vr::agent {

void AppendTimestamp(std::string& out, int64_t ms);
// The inverse, for any offset (or "Z"); nothing when it is not such a time.
std::optional<int64_t> ParseTimestamp(const std::string& text);

// {"event":"alarm","alarm":"high_water","active":true,"at":…,"value":…},
// {"event":"delivery_start","at":…,"volume":…}, {"event":"delivery",…}.
void FormatEvent(const Event& e, std::string& out);
// {"low_product":false,…,"stale":false,"at":…}
void FormatAlarmStates(const TankEngine& engine, int64_t at_ms, std::string& out);
// {"sales_per_day":…,"days_to_empty":…,"empty_at":…|null,"order_by":…|null,
//  "ullage_90":…,"ullage_95":…,"at":…}
void FormatForecast(const Forecast& f, int64_t at_ms, std::string& out);
// {"tank":…,"step":900,"from":…|null,"volumes":[…],"at":…}: volumes at from,
// from + step, …; points as History::VolumePoints gives them (contiguous).
void FormatHistory(int tank, const std::vector<std::pair<int64_t, double>>& points, int64_t step_ms,
                   int64_t at_ms, std::string& out);

}  // namespace vr::agent
