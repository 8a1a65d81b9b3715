#include "protocol/console_reports.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

#include "protocol/frame.h"
#include "protocol/hex_float.h"
#include "protocol/inventory.h"

namespace vr {
namespace {

constexpr size_t kTimeOffset = 1 + kCommandLength;  // YYMMDDHHmm after the echo
constexpr size_t kTimeLength = 10;
constexpr size_t kDeliveryHeader = 22;  // start, end, value count

// Tank alarm names by type number (index); "" where the console's lists
// leave a number unassigned.
constexpr const char* kTankAlarms[] = {
    "",
    "setup_data_warning",
    "leak",
    "high_water",
    "overfill",
    "low_product",
    "sudden_loss",
    "high_product",
    "invalid_height",
    "probe_out",
    "high_water_warning",
    "delivery_needed",
    "max_product",
    "gross_leak_test_fail",
    "periodic_leak_test_fail",
    "annual_leak_test_fail",
    "periodic_test_needed_warning",
    "annual_test_needed_warning",
    "periodic_test_needed",
    "annual_test_needed",
    "leak_test_active",
    "no_idle_time_warning",
    "siphon_break_active",
    "leak_rate_increase_warning",
    "chart_calibration_warning",
    "reconciliation_warning",
    "reconciliation",
    "cold_temperature_warning",
    "missing_delivery_ticket",
    "gross_line_leak",
    "delivery_density_warning",
    "density_warning",
    "fuel_quality",
    "high_temperature_warning",
    "low_temperature_warning",
    "",
    "",
    "",
    "density_offset_warning",
};

struct Category {
  int number;
  const char* name;
};
constexpr Category kCategories[] = {
    {0, "normal"},
    {1, "system"},
    {2, "tank"},
    {3, "liquid_sensor"},
    {4, "vapour_sensor"},
    {5, "input"},
    {6, "volumetric_line_leak"},
    {7, "groundwater_sensor"},
    {8, "type_a_sensor"},
    {11, "relay"},
    {12, "type_b_sensor"},
    {13, "universal_sensor"},
    {14, "autodial"},
    {18, "mechanical_dispenser_interface"},
    {19, "electronic_dispenser_interface"},
    {20, "product"},
    {21, "pressurized_line_leak"},
    {26, "wireless_line_leak"},
    {34, "pump_relay_monitor"},
    {35, "dispenser_meter_interface"},
    {36, "meter_controller"},
    {37, "vapour_pressure_monitor"},
    {59, "sump_sensor"},
    {63, "line_pressure_sensor"},
    {64, "printer"},
    {65, "pump"},
    {66, "line"},
    {73, "communication"},
    {74, "contact"},
    {75, "automatic_event"},
    {99, "host"},
};

// The records of a checked reply to `code`: [first, end) after the header
// time, or nothing when it is not that report.
bool Body(const uint8_t* reply, size_t length, std::string_view code, size_t& first, size_t& end) {
  if (length < kTankBlockOffset + kReplyTrailer || reply[0] != kSoh ||
      std::memcmp(reply + 1, code.data(), code.size()) != 0)
    return false;
  first = kTankBlockOffset;
  end = length - kReplyTrailer;
  return true;
}

bool HasUnknown(const uint8_t* p, size_t n) {
  return std::memchr(p, '?', n) != nullptr;
}

// One alarm; name and category name from the tables.
vrsilo_alarm Alarm(int category, int type, int device, const char* time) {
  vrsilo_alarm a{};
  a.category = category;
  a.type = type;
  a.device = device;
  a.name = category == VRSILO_ALARM_TANK ? TankAlarmName(type) : "";
  a.category_name = AlarmCategoryName(category);
  std::memcpy(a.console_time, time, sizeof a.console_time);
  return a;
}

// The values of a delivery block by their position.
constexpr double vrsilo_delivery::*kDeliveryValues[] = {
    &vrsilo_delivery::start_volume,     &vrsilo_delivery::start_tc_volume,
    &vrsilo_delivery::start_water,      &vrsilo_delivery::start_temperature,
    &vrsilo_delivery::end_volume,       &vrsilo_delivery::end_tc_volume,
    &vrsilo_delivery::end_water,        &vrsilo_delivery::end_temperature,
    &vrsilo_delivery::start_height,     &vrsilo_delivery::end_height,
    &vrsilo_delivery::start_mass,       &vrsilo_delivery::end_mass,
    &vrsilo_delivery::start_density,    &vrsilo_delivery::end_density,
    &vrsilo_delivery::start_tc_density, &vrsilo_delivery::end_tc_density,
};

}  // namespace

long ReportNumber(const uint8_t* p, size_t n, int radix) {
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

void ConsoleTime(const uint8_t* p, char out[17]) {
  out[0] = '\0';
  if (ReportNumber(p, kTimeLength, 10) < 0) return;
  const char text[17] = {'2',        '0', char(p[0]), char(p[1]), '-', char(p[2]),
                         char(p[3]), '-', char(p[4]), char(p[5]), 'T', char(p[6]),
                         char(p[7]), ':', char(p[8]), char(p[9]), '\0'};
  std::memcpy(out, text, sizeof text);
}

const char* TankAlarmName(int type) {
  return type >= 0 && static_cast<size_t>(type) < std::size(kTankAlarms) ? kTankAlarms[type] : "";
}

int TankAlarmType(std::string_view name) {
  if (name.empty()) return 0;
  for (size_t k = 1; k < std::size(kTankAlarms); ++k)
    if (name == kTankAlarms[k]) return static_cast<int>(k);
  return 0;
}

const char* AlarmCategoryName(int category) {
  for (const Category& c : kCategories)
    if (c.number == category) return c.name;
  return "";
}

std::optional<size_t> DecodeSystemStatus(const uint8_t* reply, size_t length, vrsilo_alarm* out,
                                         size_t capacity) {
  size_t at = 0, end = 0;
  if (!Body(reply, length, kSystemStatusReport, at, end) || (end - at) % 6 != 0)
    return std::nullopt;
  char time[17];
  ConsoleTime(reply + kTimeOffset, time);
  size_t count = 0;
  for (; at < end; at += 6) {
    const long category = ReportNumber(reply + at, 2, 10);
    const long type = ReportNumber(reply + at + 2, 2, 10);
    const long device = ReportNumber(reply + at + 4, 2, 10);
    if (category < 0 || type < 0 || device < 0) return std::nullopt;
    if (count < capacity)
      out[count] =
          Alarm(static_cast<int>(category), static_cast<int>(type), static_cast<int>(device), time);
    ++count;
  }
  return count;
}

std::optional<size_t> DecodeTankAlarms(const uint8_t* reply, size_t length, vrsilo_alarm* out,
                                       size_t capacity) {
  size_t at = 0, end = 0;
  if (!Body(reply, length, kTankStatusReport, at, end)) return std::nullopt;
  char time[17];
  ConsoleTime(reply + kTimeOffset, time);
  size_t count = 0;
  while (at < end) {
    if (end - at < 4) return std::nullopt;
    const long tank = ReportNumber(reply + at, 2, 10);
    const long alarms = ReportNumber(reply + at + 2, 2, 16);
    if (tank < 0 || alarms < 0) {
      if (HasUnknown(reply + at, 4)) break;  // a record of unknown length
      return std::nullopt;
    }
    const size_t size = 2 * static_cast<size_t>(alarms);
    if (end - at - 4 < size) return std::nullopt;
    const uint8_t* types = reply + at + 4;
    if (!HasUnknown(types, size)) {
      for (size_t k = 0; k < size; k += 2) {
        const long type = ReportNumber(types + k, 2, 10);
        if (type < 0) return std::nullopt;
        if (count < capacity)
          out[count] =
              Alarm(VRSILO_ALARM_TANK, static_cast<int>(type), static_cast<int>(tank), time);
        ++count;
      }
    }
    at += 4 + size;
  }
  return count;
}

std::optional<size_t> DecodeDeliveries(const uint8_t* reply, size_t length, vrsilo_delivery* out,
                                       size_t capacity) {
  size_t at = 0, end = 0;
  if (!Body(reply, length, kDeliveryReport, at, end) &&
      !Body(reply, length, kLastDeliveryReport, at, end))
    return std::nullopt;
  char time[17];
  ConsoleTime(reply + kTimeOffset, time);
  size_t count = 0;
  while (at < end) {
    if (end - at < 5) return std::nullopt;
    const long tank = ReportNumber(reply + at, 2, 10);
    const long deliveries = ReportNumber(reply + at + 3, 2, 10);
    if (deliveries < 0) {
      if (HasUnknown(reply + at + 3, 2)) break;
      return std::nullopt;
    }
    const uint8_t product = reply[at + 2];
    at += 5;
    for (long d = 0; d < deliveries; ++d) {
      if (end - at < kDeliveryHeader) return std::nullopt;
      const long values = ReportNumber(reply + at + 20, 2, 16);
      if (values < 0) {
        if (HasUnknown(reply + at + 20, 2)) return count;
        return std::nullopt;
      }
      const size_t size = kDeliveryHeader + 8 * static_cast<size_t>(values);
      if (end - at < size) return std::nullopt;
      if (tank >= 0 && !HasUnknown(reply + at, size)) {
        if (count < capacity) {
          vrsilo_delivery& r = out[count];
          r = vrsilo_delivery{};
          r.tank = static_cast<int>(tank);
          r.product = product >= 0x20 && product < 0x7F ? static_cast<char>(product) : 0;
          ConsoleTime(reply + at, r.start);
          ConsoleTime(reply + at + 10, r.end);
          std::memcpy(r.console_time, time, sizeof time);
          const size_t known =
              std::min<size_t>(static_cast<size_t>(values), std::size(kDeliveryValues));
          for (size_t k = 0; k < known; ++k) {
            const double v = HexToSingleIn(reply, length, at + kDeliveryHeader + 8 * k);
            if (!std::isfinite(v)) continue;
            r.*kDeliveryValues[k] = v;
            r.fields |= 1u << k;
          }
        }
        ++count;
      }
      at += size;
    }
  }
  return count;
}

std::optional<size_t> DecodeLabels(const uint8_t* reply, size_t length, vrsilo_tank_label* out,
                                   size_t capacity) {
  constexpr size_t kRecord = 22, kLabel = 20;
  size_t at = 0, end = 0;
  if (!Body(reply, length, kLabelReport, at, end) || (end - at) % kRecord != 0) return std::nullopt;
  size_t count = 0;
  for (; at < end; at += kRecord) {
    const long tank = ReportNumber(reply + at, 2, 10);
    if (tank < 0) {
      if (HasUnknown(reply + at, 2)) continue;
      return std::nullopt;
    }
    if (count < capacity) {
      vrsilo_tank_label& r = out[count];
      r = vrsilo_tank_label{};
      r.tank = static_cast<int>(tank);
      size_t n = kLabel;
      while (n > 0 && reply[at + 2 + n - 1] == ' ') --n;
      for (size_t k = 0; k < n; ++k) {
        const uint8_t c = reply[at + 2 + k];
        r.label[k] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
      }
    }
    ++count;
  }
  return count;
}

}  // namespace vr
