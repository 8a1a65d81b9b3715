// The direct gauge interface (vrsilo/gauge.h): an exchanger on an address,
// no cache, every field of the inventory reports.
#include "vrsilo/gauge.h"

#include <algorithm>
#include <bitset>
#include <chrono>
#include <cmath>
#include <exception>
#include <mutex>
#include <new>
#include <string>

#include "common/fpu.h"
#include "config/port_address.h"
#include "driver/calibration.h"
#include "driver/exchanger.h"
#include "protocol/console_reports.h"
#include "protocol/extended.h"
#include "protocol/frame.h"
#include "protocol/inventory.h"
#include "protocol/reply_framer.h"
#include "protocol/tank_records.h"
#include "vrsilo.h"

struct vrsilo_gauge {
  vr::Exchanger exchanger{nullptr};
  std::mutex lock;  // one read or table operation at a time
  // The console answered the all-tank form with the unknown-command reply.
  bool per_tank = false;
  // Reports the console answered with the unknown-command reply: not asked again.
  bool no_tank_status = false, no_system_status = false, no_labels = false;
  std::bitset<100> no_deliveries, no_last_delivery;  // by tank
  uint8_t reply[vr::kAllTanksFrameSize];
  vrsilo_tank_record scratch[99];
  // Room for what one reply of the console's own reports can hold.
  vrsilo_alarm alarms[512];
  vrsilo_delivery deliveries[64];
  vrsilo_tank_label labels[99];
};

#define VRSILO_EXPORT __attribute__((visibility("default")))

namespace {

using vr::ExchangeOutcome;
using vr::ExchangeReply;

constexpr int kMaxTank = 99;
// The fields of the plain report that a short density report lacks.
constexpr unsigned kPlainOnly =
    VRSILO_FIELD_TC_VOLUME | VRSILO_FIELD_ULLAGE | VRSILO_FIELD_WATER_VOLUME;

int64_t UtcNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool UnknownCommand(const uint8_t* reply) {
  return vr::IsUnknownCommandReply(reply, vr::kUnknownCommandReply.size());
}

// What a failed exchange says to the caller.
int ErrorOf(const ExchangeReply& r, const uint8_t* reply) {
  if (r.outcome == ExchangeOutcome::kNoReply || r.outcome == ExchangeOutcome::kNoLink)
    return VRSILO_E_SILENT;
  return UnknownCommand(reply) ? VRSILO_E_UNKNOWN : VRSILO_E_BAD_REPLY;
}

int LinkStateOf(int error) {
  return error == VRSILO_E_SILENT ? VRSILO_LINK_SILENT : VRSILO_LINK_BAD_REPLY;
}

// One inventory request (command + "TT"): the records it brought into
// g.scratch, their number in `n`; 0 or an error code.
int Ask(vrsilo_gauge& g, std::string_view report, int tank, size_t& n, int64_t& at) {
  n = 0;
  const ExchangeReply r = g.exchanger.Exchange(std::string(report) + vr::TankDigits(tank), nullptr,
                                               0, 0, g.reply, sizeof g.reply);
  at = UtcNowMs();
  if (!r.Ok()) return ErrorOf(r, g.reply);
  const auto count = vr::DecodeTankRecords(g.reply, r.length, g.scratch, std::size(g.scratch));
  if (!count) return VRSILO_E_BAD_REPLY;
  n = *count;
  return VRSILO_OK;
}

// Fields of `from` that `to` does not have yet.
void Merge(vrsilo_tank_record& to, const vrsilo_tank_record& from) {
  for (const vr::RecordField& f : vr::kRecordFields) {
    if ((to.fields & f.bit) || !(from.fields & f.bit)) continue;
    to.*f.value = from.*f.value;
    to.fields |= f.bit;
  }
}

// Collects the records for tanks first..last, in tank order, into out.
class Collector {
 public:
  Collector(int first, int last, vrsilo_tank_record* out) : first_(first), last_(last), out_(out) {}
  void Add(const vrsilo_tank_record& r, int64_t at) {
    if (r.tank < first_ || r.tank > last_) return;
    vrsilo_tank_record& slot = out_[r.tank - first_];
    if (present_[r.tank]) {
      Merge(slot, r);
      return;
    }
    slot = r;
    slot.link_state = VRSILO_LINK_OK;
    slot.received_at_ms = at;
    present_[r.tank] = true;
  }
  // Tanks from..to that have no record yet, with this link state.
  void Fail(int from, int to, int state, int64_t at) {
    for (int t = std::max(from, first_); t <= std::min(to, last_); ++t) {
      if (present_[t]) continue;
      vrsilo_tank_record& slot = out_[t - first_];
      slot = vrsilo_tank_record{};
      slot.tank = t;
      slot.link_state = state;
      slot.received_at_ms = at;
      present_[t] = true;
    }
  }
  // Moves the records together, in tank order; their number.
  int Compact() {
    int n = 0;
    for (int t = first_; t <= last_; ++t)
      if (present_[t]) out_[n++] = out_[t - first_];
    return n;
  }

 private:
  int first_, last_;
  vrsilo_tank_record* out_;
  bool present_[kMaxTank + 1] = {};
};

// Every tank in one request, the plain report added where the density report
// lacks its fields. VRSILO_E_UNKNOWN: the console has no all-tank form.
int ReadAll(vrsilo_gauge& g, Collector& c) {
  size_t n = 0;
  int64_t at = 0;
  int rc = Ask(g, vr::kDensityReport, 0, n, at);
  bool plainNeeded = rc == VRSILO_E_UNKNOWN;
  if (rc == VRSILO_OK) {
    for (size_t i = 0; i < n; ++i) {
      c.Add(g.scratch[i], at);
      if (g.scratch[i].fields != 0 && (g.scratch[i].fields & kPlainOnly) != kPlainOnly)
        plainNeeded = true;
    }
  }
  if (rc != VRSILO_OK && rc != VRSILO_E_UNKNOWN) return rc;
  if (!plainNeeded) return VRSILO_OK;
  const int plain = Ask(g, vr::kInventoryReport, 0, n, at);
  for (size_t i = 0; i < n; ++i) c.Add(g.scratch[i], at);
  return rc == VRSILO_OK && plain == VRSILO_E_UNKNOWN ? VRSILO_OK : plain;
}

int ReadOne(vrsilo_gauge& g, int tank, Collector& c) {
  size_t n = 0;
  int64_t at = 0;
  int rc = Ask(g, vr::kDensityReport, tank, n, at);
  bool plainNeeded = rc == VRSILO_E_UNKNOWN || rc == VRSILO_E_BAD_REPLY;
  for (size_t i = 0; i < n; ++i) {
    c.Add(g.scratch[i], at);
    if (g.scratch[i].fields != 0 && (g.scratch[i].fields & kPlainOnly) != kPlainOnly)
      plainNeeded = true;
  }
  if (rc == VRSILO_E_SILENT || !plainNeeded) return rc;
  const int plain = Ask(g, vr::kInventoryReport, tank, n, at);
  for (size_t i = 0; i < n; ++i) c.Add(g.scratch[i], at);
  return rc == VRSILO_OK ? VRSILO_OK : plain;
}

// One of the console's own reports (command + "TT"), decoded into the
// scratch items; those `keep` accepts are appended to out[0..capacity) from
// *count on, stamped with the reply's time. VRSILO_E_NOT_SUPPORTED (and
// `unsupported` set) when the console does not know the report.
template <typename T, size_t N, typename Decode, typename Keep>
int Report(vrsilo_gauge& g, std::string_view report, int tank, bool& unsupported, Decode decode,
           T (&scratch)[N], Keep keep, T* out, int capacity, int* count) {
  if (unsupported) return VRSILO_E_NOT_SUPPORTED;
  const ExchangeReply r = g.exchanger.Exchange(std::string(report) + vr::TankDigits(tank), nullptr,
                                               0, 0, g.reply, sizeof g.reply);
  const int64_t at = UtcNowMs();
  if (!r.Ok()) {
    const int rc = ErrorOf(r, g.reply);
    if (rc != VRSILO_E_UNKNOWN) return rc;
    unsupported = true;
    return VRSILO_E_NOT_SUPPORTED;
  }
  const auto n = decode(g.reply, r.length, scratch, N);
  if (!n) return VRSILO_E_BAD_REPLY;
  for (size_t i = 0; i < std::min(*n, N); ++i) {
    if (!keep(scratch[i])) continue;
    if (*count < capacity) {
      out[*count] = scratch[i];
      if constexpr (requires { scratch[i].received_at_ms; }) out[*count].received_at_ms = at;
    }
    ++*count;
  }
  return VRSILO_OK;
}

bool RangeValid(int first, int last) {
  return first >= 1 && last <= kMaxTank && first <= last;
}

// The output of a call that reports a count of items: *count cleared first;
// room for `capacity` items (none needs no array).
bool OutputValid(const vrsilo_gauge* gauge, const void* items, int capacity, int* count) {
  if (count) *count = 0;
  return gauge && count && capacity >= 0 && (items || capacity == 0);
}

template <typename Body>
int Guarded(Body body) {
  vr::FpuScope fpu;
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return VRSILO_E_MEMORY;
  } catch (const std::exception&) {
    return VRSILO_E_BAD_REPLY;
  }
}

// The body under the handle's lock: one call at a time on a handle.
template <typename Body>
int Locked(vrsilo_gauge* gauge, Body body) {
  return Guarded([&] {
    std::lock_guard<std::mutex> guard(gauge->lock);
    return body(*gauge);
  });
}

}  // namespace

extern "C" {

VRSILO_EXPORT int vrsilo_gauge_open(const char* address, vrsilo_gauge** gauge) {
  if (gauge) *gauge = nullptr;
  if (!address || !gauge || !*address) return VRSILO_E_ARGUMENT;
  vr::NetAddress net;
  if (vr::ParsePortAddress(address, net) == vr::PortForm::kMalformed) return VRSILO_E_ADDRESS;
  return Guarded([&] {
    auto g = std::make_unique<vrsilo_gauge>();
    if (!g->exchanger.ConnectTo(address)) return VRSILO_E_OPEN;
    *gauge = g.release();
    return VRSILO_OK;
  });
}

VRSILO_EXPORT int vrsilo_gauge_read(vrsilo_gauge* gauge, int first_tank, int last_tank,
                                    vrsilo_tank_record* records, int capacity, int* count) {
  if (count) *count = 0;
  if (!gauge || !records || !count || first_tank < 1 || last_tank > kMaxTank ||
      first_tank > last_tank || capacity < last_tank - first_tank + 1)
    return VRSILO_E_ARGUMENT;
  return Locked(gauge, [&](vrsilo_gauge&) {
    Collector c(first_tank, last_tank, records);
    int rc = gauge->per_tank ? VRSILO_E_UNKNOWN : ReadAll(*gauge, c);
    if (rc == VRSILO_E_UNKNOWN && !gauge->per_tank) {
      gauge->per_tank = true;  // asked tank by tank from now on
    }
    if (rc == VRSILO_E_UNKNOWN) {
      rc = VRSILO_OK;
      for (int t = first_tank; t <= last_tank; ++t) {
        const int one = ReadOne(*gauge, t, c);
        if (one == VRSILO_E_SILENT) {
          c.Fail(t, last_tank, VRSILO_LINK_SILENT, UtcNowMs());  // the rest is not asked again
          break;
        }
        // A tank the console does not have is not reported; a wrong answer is.
        if (one == VRSILO_E_BAD_REPLY) c.Fail(t, t, VRSILO_LINK_BAD_REPLY, UtcNowMs());
      }
    } else if (rc != VRSILO_OK) {
      c.Fail(first_tank, last_tank, LinkStateOf(rc), UtcNowMs());
      rc = VRSILO_OK;
    }
    *count = c.Compact();
    return rc;
  });
}

VRSILO_EXPORT int vrsilo_gauge_read_table(vrsilo_gauge* gauge, int tank, int32_t* height_mm,
                                          double volumes[20]) {
  if (!gauge || !height_mm || !volumes || tank < 1 || tank > kMaxTank) return VRSILO_E_ARGUMENT;
  return Locked(gauge, [&](vrsilo_gauge&) {
    uint8_t points[20 * vr::kExtendedSize];
    if (vr::ReadCalibrationTable(gauge->exchanger, static_cast<uint32_t>(tank), height_mm,
                                 points) != 0)
      return gauge->exchanger.LinkState() == VRSILO_LINK_SILENT ? VRSILO_E_SILENT : VRSILO_E_TABLE;
    for (int k = 0; k < 20; ++k) {
      const double v = vr::ExtendedToDouble(points + k * vr::kExtendedSize);
      volumes[k] = std::isfinite(v) ? v : 0.0;
    }
    return VRSILO_OK;
  });
}

VRSILO_EXPORT int vrsilo_gauge_write_table(vrsilo_gauge* gauge, int tank, int32_t height_mm,
                                           const double volumes[20]) {
  if (!gauge || !volumes || tank < 1 || tank > kMaxTank || height_mm <= 0) return VRSILO_E_ARGUMENT;
  for (int k = 0; k < 20; ++k)
    if (!std::isfinite(volumes[k])) return VRSILO_E_ARGUMENT;
  return Locked(gauge, [&](vrsilo_gauge&) {
    uint8_t points[20 * vr::kExtendedSize];
    for (int k = 0; k < 20; ++k) vr::DoubleToExtended(volumes[k], points + k * vr::kExtendedSize);
    if (vr::WriteCalibrationTable(gauge->exchanger, static_cast<uint32_t>(tank), height_mm,
                                  points) != 0)
      return gauge->exchanger.LinkState() == VRSILO_LINK_SILENT ? VRSILO_E_SILENT : VRSILO_E_TABLE;
    return VRSILO_OK;
  });
}

VRSILO_EXPORT int vrsilo_gauge_read_alarms(vrsilo_gauge* gauge, int first_tank, int last_tank,
                                           int with_system, vrsilo_alarm* alarms, int capacity,
                                           int* count) {
  if (!OutputValid(gauge, alarms, capacity, count) || !RangeValid(first_tank, last_tank))
    return VRSILO_E_ARGUMENT;
  return Locked(gauge, [&](vrsilo_gauge& g) {
    int rc = Report(
        g, vr::kTankStatusReport, 0, g.no_tank_status, vr::DecodeTankAlarms, g.alarms,
        [&](const vrsilo_alarm& a) { return a.device >= first_tank && a.device <= last_tank; },
        alarms, capacity, count);
    if (rc != VRSILO_OK || !with_system) return rc;
    // The tank alarms of the system status are those above; "normal" is none.
    rc = Report(
        g, vr::kSystemStatusReport, 0, g.no_system_status, vr::DecodeSystemStatus, g.alarms,
        [](const vrsilo_alarm& a) { return a.category != VRSILO_ALARM_TANK && a.category != 0; },
        alarms, capacity, count);
    if (rc == VRSILO_E_NOT_SUPPORTED) rc = VRSILO_OK;
    if (rc != VRSILO_OK) *count = 0;
    return rc;
  });
}

VRSILO_EXPORT int vrsilo_gauge_read_deliveries(vrsilo_gauge* gauge, int tank, int last_only,
                                               vrsilo_delivery* deliveries, int capacity,
                                               int* count) {
  if (!OutputValid(gauge, deliveries, capacity, count) || !RangeValid(tank, tank))
    return VRSILO_E_ARGUMENT;
  return Locked(gauge, [&](vrsilo_gauge& g) {
    auto& unknown = last_only ? g.no_last_delivery : g.no_deliveries;
    bool unsupported = unknown[static_cast<size_t>(tank)];
    const int rc = Report(
        g, last_only ? vr::kLastDeliveryReport : vr::kDeliveryReport, tank, unsupported,
        vr::DecodeDeliveries, g.deliveries,
        [&](const vrsilo_delivery& d) { return d.tank == tank; }, deliveries, capacity, count);
    unknown[static_cast<size_t>(tank)] = unsupported;
    return rc;
  });
}

VRSILO_EXPORT int vrsilo_gauge_read_labels(vrsilo_gauge* gauge, int first_tank, int last_tank,
                                           vrsilo_tank_label* labels, int capacity, int* count) {
  if (!OutputValid(gauge, labels, capacity, count) || !RangeValid(first_tank, last_tank))
    return VRSILO_E_ARGUMENT;
  return Locked(gauge, [&](vrsilo_gauge&) {
    return Report(
        *gauge, vr::kLabelReport, 0, gauge->no_labels, vr::DecodeLabels, gauge->labels,
        [&](const vrsilo_tank_label& l) { return l.tank >= first_tank && l.tank <= last_tank; },
        labels, capacity, count);
  });
}

VRSILO_EXPORT void vrsilo_gauge_close(vrsilo_gauge* gauge) {
  vr::FpuScope fpu;
  delete gauge;
}

VRSILO_EXPORT const char* vrsilo_error_text(int code) {
  switch (code) {
    case VRSILO_OK:
      return "success";
    case VRSILO_E_ARGUMENT:
      return "invalid argument";
    case VRSILO_E_ADDRESS:
      return "not a gauge address";
    case VRSILO_E_OPEN:
      return "the gauge's port or connection cannot be opened";
    case VRSILO_E_SILENT:
      return "the gauge did not answer";
    case VRSILO_E_BAD_REPLY:
      return "the gauge's reply was not valid";
    case VRSILO_E_UNKNOWN:
      return "the console does not know the command";
    case VRSILO_E_TABLE:
      return "the calibration table was refused";
    case VRSILO_E_MEMORY:
      return "out of memory";
    case VRSILO_E_NOT_SUPPORTED:
      return "the console does not answer this report";
    default:
      return "unknown error";
  }
}

}  // extern "C"
