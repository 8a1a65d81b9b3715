// GaugeSim (simulator.h): the pure core of the gauge simulator (no I/O).
#include <algorithm>
#include <cctype>
#include <cmath>
#include <ctime>
#include <limits>
#include <numbers>
#include <stdexcept>

#include "petroleum.h"
#include "protocol/console_reports.h"
#include "protocol/hex_float.h"
#include "simulator.h"

namespace vr::sim {
namespace {

// Garbage put before the SOH by the "garbage" fault: no SOH, no ETX, no '&'.
constexpr uint8_t kGarbage[] = {0x00, 0xFF, 0x7F, '?', '#', 'x', 0x0D, 0x0A};

bool IsHexDigit(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

void AppendHex(std::vector<uint8_t>& out, float value) {
  char hex[8];
  SingleToHex(value, hex);
  out.insert(out.end(), hex, hex + 8);
}

void AppendText(std::vector<uint8_t>& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

// Appends "&&", the checksum and ETX.
void Finish(std::vector<uint8_t>& out) {
  out.push_back('&');
  out.push_back('&');
  out.insert(out.end(), 5, 0);
  std::array<char, 4> sum = ReplyChecksum(out.data(), out.size());
  std::copy(sum.begin(), sum.end(), out.end() - 5);
  out.back() = kEtx;
}

// Two digits of `value` in this radix (10 or 16, upper case).
void AppendTwoDigits(std::vector<uint8_t>& out, int value, int radix) {
  out.push_back(static_cast<uint8_t>("0123456789ABCDEF"[value / radix % radix]));
  out.push_back(static_cast<uint8_t>("0123456789ABCDEF"[value % radix]));
}

// Field 2 of the density report: the mass given, else volume times density.
float MassOf(const TankState& t) {
  return t.mass != 0 ? t.mass : t.volume * t.density / 1000;
}

// Appends one tank's inventory block from the tank number on: tank (2),
// product (1), status (4), field count (2) and the fields.
void AppendInventory(std::vector<uint8_t>& out, int tank, const TankState& t, bool i214,
                     GaugeSim::Model model) {
  std::string status = t.status;
  status.resize(4, '0');
  AppendText(out, TankDigits(static_cast<unsigned>(tank)));
  out.push_back(static_cast<uint8_t>(t.product));
  AppendText(out, status);
  if (!i214) {
    AppendText(out, "07");
    for (float v :
         {t.volume, t.tc_volume, t.ullage, t.level, t.water, t.temperature, t.water_volume})
      AppendHex(out, v);
  } else if (model == GaugeSim::Model::kTls350) {
    // Field 2 of the density report is the mass in both families.
    const float mass = MassOf(t);
    AppendText(out, "06");
    for (float v : {t.volume, mass, t.density, t.level, t.water, t.temperature}) AppendHex(out, v);
  } else {
    const float mass = MassOf(t);
    AppendText(out, "0A");
    for (float v : {t.volume, mass, t.density, t.level, t.water, t.temperature, t.tc_density,
                    t.tc_volume, t.ullage, t.water_volume})
      AppendHex(out, v);
  }
}

bool IsConsoleReport(std::string_view code) {
  return code == kSystemStatusReport || code == kTankStatusReport || code == kDeliveryReport ||
         code == kLastDeliveryReport || code == kLabelReport;
}

// The values of a delivery by their position on the wire: which end, which value.
constexpr struct {
  DeliveryEnd DeliveryRecord::*end;
  float DeliveryEnd::*value;
} kDeliveryValues[] = {
    {&DeliveryRecord::first, &DeliveryEnd::volume},
    {&DeliveryRecord::first, &DeliveryEnd::tc_volume},
    {&DeliveryRecord::first, &DeliveryEnd::water},
    {&DeliveryRecord::first, &DeliveryEnd::temperature},
    {&DeliveryRecord::last, &DeliveryEnd::volume},
    {&DeliveryRecord::last, &DeliveryEnd::tc_volume},
    {&DeliveryRecord::last, &DeliveryEnd::water},
    {&DeliveryRecord::last, &DeliveryEnd::temperature},
    {&DeliveryRecord::first, &DeliveryEnd::height},
    {&DeliveryRecord::last, &DeliveryEnd::height},
    {&DeliveryRecord::first, &DeliveryEnd::mass},
    {&DeliveryRecord::last, &DeliveryEnd::mass},
    {&DeliveryRecord::first, &DeliveryEnd::density},
    {&DeliveryRecord::last, &DeliveryEnd::density},
    {&DeliveryRecord::first, &DeliveryEnd::tc_density},
    {&DeliveryRecord::last, &DeliveryEnd::tc_density},
};

void AppendDelivery(std::vector<uint8_t>& out, const DeliveryRecord& d, size_t values) {
  AppendText(out, d.start);
  AppendText(out, d.end);
  AppendTwoDigits(out, static_cast<int>(values), 16);
  for (size_t k = 0; k < values; ++k)
    AppendHex(out, (d.*kDeliveryValues[k].end).*kDeliveryValues[k].value);
}

// One tank's record of a console report ("i205", "i202", "i20C", "i602").
void AppendReportRecord(std::vector<uint8_t>& out, std::string_view code, int tank,
                        const TankState& t, GaugeSim::Model model) {
  AppendText(out, TankDigits(static_cast<unsigned>(tank)));
  if (code == kTankStatusReport) {
    AppendTwoDigits(out, static_cast<int>(t.alarms.size()), 16);
    for (int type : t.alarms) AppendTwoDigits(out, type, 10);
  } else if (code == kLabelReport) {
    std::string label = t.label;
    label.resize(kLabelLength, ' ');
    AppendText(out, label);
  } else {
    const bool last = code == kLastDeliveryReport;
    const size_t count = std::min(last ? 1 : kMaxDeliveries, t.deliveries.size());
    const size_t values = last && model == GaugeSim::Model::kTls4 ? 16 : 10;
    out.push_back(static_cast<uint8_t>(t.product));
    AppendTwoDigits(out, static_cast<int>(count), 10);
    for (size_t k = 0; k < count; ++k) AppendDelivery(out, t.deliveries[k], values);
  }
}

// Status word with bit 0x0001 (a delivery in progress) set or cleared; a word
// that is not 4 hex digits is left as it is.
void SetDeliveryBit(std::string& status, bool on) {
  if (status.size() != 4 || !std::all_of(status.begin(), status.end(), IsHexDigit)) return;
  unsigned long word = std::stoul(status, nullptr, 16);
  word = on ? word | 1ul : word & ~1ul;
  static const char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < 4; ++i) status[i] = kHex[(word >> (12 - 4 * i)) & 0xF];
}

bool HasTable(const TankState& t) {
  return t.height > 0 && t.cal[kCalibrationPoints - 1] > 0;
}

// Level of a volume by the calibration table, linear between its points
// (and from 0 to the first); the full height above the last.
double LevelFromTable(const TankState& t, double volume) {
  double v0 = 0, h0 = 0;
  for (size_t k = 1; k <= kCalibrationPoints; ++k) {
    const double v1 = t.cal[k - 1];
    const double h1 = static_cast<double>(t.height) * static_cast<double>(k) / kCalibrationPoints;
    if (volume <= v1) return v1 > v0 ? h0 + (h1 - h0) * (volume - v0) / (v1 - v0) : h1;
    v0 = v1;
    h0 = h1;
  }
  return t.height;
}

// Volume at a level by the calibration table: the inverse of the above.
double VolumeFromTable(const TankState& t, double level) {
  double v0 = 0, h0 = 0;
  for (size_t k = 1; k <= kCalibrationPoints; ++k) {
    const double v1 = t.cal[k - 1];
    const double h1 = static_cast<double>(t.height) * static_cast<double>(k) / kCalibrationPoints;
    if (level <= h1) return v0 + (v1 - v0) * std::max(0.0, level - h0) / (h1 - h0);
    v0 = v1;
    h0 = h1;
  }
  return t.cal[kCalibrationPoints - 1];
}

// The tank's volume set to `after` (from `before`), and what follows from it
// except the level: TC volume, ullage, mass.
void SetVolume(TankState& t, double before, double after) {
  const double litres = after - before;
  t.volume = static_cast<float>(after);
  if (t.density > 0) {
    const double density15 = vr::tools::Density15(t.density, t.temperature);
    t.tc_volume = static_cast<float>(vr::tools::Vcf15(density15, t.temperature) * after);
  } else {
    t.tc_volume =
        static_cast<float>(t.tc_volume + litres * (before > 0 ? t.tc_volume / before : 1));
  }
  t.ullage = HasTable(t) ? std::max(0.0f, t.cal[kCalibrationPoints - 1] - t.volume)
                         : static_cast<float>(std::max(0.0, t.ullage - litres));
  if (t.mass != 0) t.mass = static_cast<float>(t.mass + litres * t.density / 1000);
}

// The tank's level moved with its volume by the table's difference (so that a
// level given a little off the table does not jump when the tank starts
// moving), or in proportion without a table.
void MoveLevel(TankState& t, double before, double after) {
  if (HasTable(t))
    t.level = static_cast<float>(std::clamp(
        t.level + LevelFromTable(t, after) - LevelFromTable(t, before), 0.0, double{t.height}));
  else if (before > 0)
    t.level = static_cast<float>(t.level * after / before);
}

std::tm LocalTime(WallClock::time_point when) {
  std::time_t time = WallClock::to_time_t(when);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &time);
#else
  localtime_r(&time, &tm);
#endif
  return tm;
}

// Litres sold between two simulated wall times: the day's amount, times its
// weekday's factor, shared out over the local hours by the profile.
double SalesBetween(const Activity& a, WallClock::time_point from, WallClock::time_point to) {
  using namespace std::chrono;
  double litres = 0;
  const std::array<double, 24>& shares = HourShares(a.profile);
  while (from < to) {
    const std::tm tm = LocalTime(from);
    const WallClock::time_point next_hour =
        floor<seconds>(from) - minutes(tm.tm_min) - seconds(tm.tm_sec) + hours(1);
    const WallClock::time_point end = std::min(to, next_hour);
    const double part = duration<double, std::ratio<3600>>(end - from).count();
    litres += a.sales_per_day * a.weekdays[(tm.tm_wday + 6) % 7] * shares[tm.tm_hour] * part;
    from = end;
  }
  return litres;
}

// A uniform number in [0, 1) from the generator's 53 high bits: the same
// sequence on every platform, unlike the standard distributions.
double Uniform01(std::mt19937_64& g) {
  return static_cast<double>(g() >> 11) * 0x1.0p-53;
}

double Noise(const Activity& a, std::mt19937_64& g) {
  if (a.noise == NoiseShape::kUniform) return a.noise_mm * (2 * Uniform01(g) - 1);
  const double u = 1 - Uniform01(g), v = Uniform01(g);  // Box-Muller, u in (0, 1]
  const double z = std::sqrt(-2 * std::log(u)) * std::cos(2 * std::numbers::pi * v);
  return std::clamp(a.noise_mm / 3 * z, -a.noise_mm, a.noise_mm);
}

// YYMMDDHHmm of a wall-clock time, local time as the console's clock.
std::string ConsoleClock(WallClock::time_point when) {
  const std::tm tm = LocalTime(when);
  char buf[16];
  std::strftime(buf, sizeof buf, "%y%m%d%H%M", &tm);
  return buf;
}

void WriteChecksum(std::vector<uint8_t>& frame, uint16_t value, bool lower) {
  const char* digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
  size_t at = frame.size() - 5;
  for (int i = 0; i < 4; ++i) frame[at + i] = digits[(value >> (12 - 4 * i)) & 0xF];
}

}  // namespace

// ---------------------------------------------------------------------------
// Faults

namespace {

// The flag faults by name, in the order DescribeFaults lists them.
struct FlagFault {
  std::string_view name;
  bool Faults::*flag;
};
constexpr FlagFault kFlagFaults[] = {
    {"silent", &Faults::silent},
    {"bad-checksum", &Faults::bad_checksum},
    {"lower-checksum", &Faults::lower_checksum},
    {"cut", &Faults::cut},
    {"garbage", &Faults::garbage},
    {"i201-only", &Faults::i201_only},
    {"no-i606", &Faults::no_i606},
    {"no-i214", &Faults::no_i214},
    {"no-all-tanks", &Faults::no_all_tanks},
    {"no-reports", &Faults::no_reports},
    {"unknown-command", &Faults::unknown_all},
    {"byte-by-byte", &Faults::byte_by_byte},
};

}  // namespace

const std::vector<std::string_view>& FaultNames() {
  static const std::vector<std::string_view> names = [] {
    std::vector<std::string_view> all;
    for (const FlagFault& f : kFlagFaults) all.push_back(f.name);
    return all;
  }();
  return names;
}

bool SetFaultByName(Faults& faults, std::string_view name, bool on) {
  for (const FlagFault& f : kFlagFaults) {
    if (name == "none") {
      faults.*f.flag = false;
    } else if (name == f.name) {
      faults.*f.flag = on;
      return true;
    }
  }
  return name == "none";
}

std::string DescribeFaults(const Faults& f) {
  std::string out;
  auto add = [&out](std::string_view item) {
    if (!out.empty()) out += ',';
    out += item;
  };
  for (const FlagFault& flag : kFlagFaults)
    if (f.*flag.flag) add(flag.name);
  if (f.delay_ms) add("delay=" + std::to_string(f.delay_ms) + "ms");
  if (f.pace_baud) add("pace=" + std::to_string(f.pace_baud));
  return out.empty() ? "none" : out;
}

std::string PrintableBytes(std::string_view bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : bytes) {
    auto b = static_cast<uint8_t>(ch);
    if (b == kSoh)
      out += "<SOH>";
    else if (b == kEtx)
      out += "<ETX>";
    else if (b >= 0x20 && b < 0x7F && b != '\\')
      out += ch;
    else
      out += std::string("\\x") + kHex[b >> 4] + kHex[b & 0xF];
  }
  return out;
}

Clock::duration WireTime(size_t bytes, unsigned baud) {
  if (baud == 0) return Clock::duration::zero();
  // 10 bits per byte (start, 8 data, stop), in nanoseconds.
  auto ns = static_cast<int64_t>((static_cast<long double>(bytes) * 10.0L * 1e9L) / baud);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns));
}

Clock::time_point Answer::EarliestReplyTime() const {
  Clock::time_point t = std::max(request_end, request_start + WireTime(request_length, pace_baud));
  return t + std::chrono::milliseconds(latency_ms) + std::chrono::milliseconds(delay_ms);
}

std::string DescribeLine(const LineSettings& line) {
  if (line == LineSettings{}) return "-";
  static constexpr char kParity[] = "?NOEMS";
  static constexpr const char* kStop[] = {"?", "1", "2", "1.5"};
  static constexpr const char* kFlow[] = {"?", "none", "xon/xoff", "hardware"};
  std::string text = std::to_string(line.baud) + ",";
  text += line.data_size == 0 ? std::string("?") : std::to_string(line.data_size);
  text += kParity[line.parity <= 5 ? line.parity : 0];
  text += kStop[line.stop_size <= 3 ? line.stop_size : 0];
  text += std::string(",flow=") + kFlow[line.control <= 3 ? line.control : 0];
  return text + ",purges=" + std::to_string(line.purges);
}

bool PlayAnswer(const Answer& a, size_t limit,
                const std::function<bool(Clock::time_point)>& wait_until,
                const std::function<bool(const uint8_t*, size_t)>& write) {
  const uint8_t* bytes = a.bytes.data();
  const size_t n = std::min(limit, a.bytes.size());
  if (a.pace_baud > 0) {
    // Byte i is written when it would have fully arrived, at (i + 1) byte times.
    const auto start = Clock::now();
    size_t sent = 0;
    while (sent < n) {
      if (!wait_until(start + WireTime(sent + 1, a.pace_baud))) return false;
      const auto ns =
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
      const auto due_now = static_cast<size_t>(
          (static_cast<long double>(std::max<int64_t>(ns, 0)) * a.pace_baud) / 1e10L);
      const size_t due = std::min(n, std::max(sent + 1, due_now));
      if (a.byte_by_byte) {
        for (; sent < due; ++sent)
          if (!write(bytes + sent, 1)) return false;
      } else {
        if (!write(bytes + sent, due - sent)) return false;
        sent = due;
      }
    }
    return true;
  }
  if (a.byte_by_byte) {
    for (size_t i = 0; i < n; ++i) {
      if (i > 0 && !wait_until(Clock::now() + std::chrono::microseconds(200))) return false;
      if (!write(bytes + i, 1)) return false;
    }
    return true;
  }
  return write(bytes, n);
}

uint64_t Stats::Count(std::string_view key) const {
  const auto& map = key.size() == 6 ? by_command : by_code;
  auto it = map.find(key);
  return it == map.end() ? 0 : it->second;
}

std::string_view ModelName(GaugeSim::Model model) {
  return model == GaugeSim::Model::kTls4 ? "tls4" : "tls350";
}

std::optional<GaugeSim::Model> ParseModel(std::string_view name) {
  if (name == "tls350") return GaugeSim::Model::kTls350;
  if (name == "tls4") return GaugeSim::Model::kTls4;
  return std::nullopt;
}

size_t PayloadLength(std::string_view code) {
  if (code == kWriteHeight) return kHeightPayloadSize;
  if (code == kWriteTable) return kTablePayloadSize;
  return 0;
}

// ---------------------------------------------------------------------------
// Model

void GaugeSim::SetTank(int tank, const TankState& state) {
  if (tank < 1 || tank > kMaxTanks) throw std::out_of_range("tank number outside 1..16");
  std::lock_guard lock(mu_);
  tanks_[tank] = state;
  SyncAlarmsLocked();
}

bool GaugeSim::RemoveTank(int tank) {
  if (tank < 1 || tank > kMaxTanks) return false;
  std::lock_guard lock(mu_);
  bool had = tanks_[tank].has_value();
  tanks_[tank].reset();
  running_[tank].reset();
  motion_[tank] = Motion{};
  SyncAlarmsLocked();
  return had;
}

std::optional<TankState> GaugeSim::GetTank(int tank) const {
  if (tank < 1 || tank > kMaxTanks) return std::nullopt;
  std::lock_guard lock(mu_);
  return tanks_[tank];
}

std::vector<int> GaugeSim::TankNumbers() const {
  std::lock_guard lock(mu_);
  std::vector<int> out;
  for (int n = 1; n <= kMaxTanks; ++n)
    if (tanks_[n]) out.push_back(n);
  return out;
}

void GaugeSim::SetTanks(const std::map<int, TankState>& tanks) {
  for (const auto& [n, t] : tanks)
    if (n < 1 || n > kMaxTanks) throw std::out_of_range("tank number outside 1..16");
  std::lock_guard lock(mu_);
  for (auto& t : tanks_) t.reset();
  for (auto& r : running_) r.reset();
  for (auto& m : motion_) m = Motion{};
  for (const auto& [n, t] : tanks) tanks_[n] = t;
  SyncAlarmsLocked();
}

bool GaugeSim::UpdateTank(int tank, const std::function<void(TankState&)>& change) {
  if (tank < 1 || tank > kMaxTanks) return false;
  std::lock_guard lock(mu_);
  if (!tanks_[tank]) return false;
  change(*tanks_[tank]);
  SyncAlarmsLocked();
  return true;
}

bool GaugeSim::SetAlarm(int tank, int type, bool on) {
  if (type < 1 || type > 99) return false;
  return UpdateTank(tank, [&](TankState& t) {
    auto it = std::find(t.alarms.begin(), t.alarms.end(), type);
    if (on && it == t.alarms.end()) t.alarms.push_back(type);
    if (!on && it != t.alarms.end()) t.alarms.erase(it);
  });
}

bool GaugeSim::SetStatusGroup(int category, int type, int device, bool on) {
  auto two_digits = [](int v) { return v >= 0 && v <= 99; };
  if (category == VRSILO_ALARM_TANK || !two_digits(category) || !two_digits(type) ||
      !two_digits(device))
    return false;
  const StatusGroup group{category, type, device};
  std::lock_guard lock(mu_);
  auto it = std::find(groups_.begin(), groups_.end(), group);
  if (on && it == groups_.end()) groups_.push_back(group);
  if (!on && it != groups_.end()) groups_.erase(it);
  return true;
}

std::vector<StatusGroup> GaugeSim::StatusGroups() const {
  std::lock_guard lock(mu_);
  return groups_;
}

// Keeps the tank groups of the system status in step with the tanks' alarms:
// those gone are dropped, new ones are appended (in tank order when several
// tanks raised theirs at once).
void GaugeSim::SyncAlarmsLocked() {
  auto active = [this](const StatusGroup& g) {
    const auto& t = g.device >= 1 && g.device <= kMaxTanks ? tanks_[g.device] : std::nullopt;
    return t && std::find(t->alarms.begin(), t->alarms.end(), g.type) != t->alarms.end();
  };
  std::erase_if(
      groups_, [&](const StatusGroup& g) { return g.category == VRSILO_ALARM_TANK && !active(g); });
  for (int n = 1; n <= kMaxTanks; ++n) {
    if (!tanks_[n]) continue;
    for (int type : tanks_[n]->alarms) {
      const StatusGroup group{VRSILO_ALARM_TANK, type, n};
      if (std::find(groups_.begin(), groups_.end(), group) == groups_.end())
        groups_.push_back(group);
    }
  }
}

// ---------------------------------------------------------------------------
// Deliveries and scenario activities, in simulated time

bool GaugeSim::Deliver(int tank, float litres, Clock::duration duration, Clock::time_point now) {
  if (tank < 1 || tank > kMaxTanks || !(litres > 0) || !std::isfinite(litres) ||
      duration < Clock::duration::zero())
    return false;
  std::lock_guard lock(mu_);
  AdvanceLocked(now);
  if (!tanks_[tank] || running_[tank]) return false;
  // Running{}: clang cannot default-construct a nested class with member
  // initializers in place here (is_constructible was settled while the
  // enclosing class was incomplete).
  Running& r = running_[tank].emplace(Running{});
  r.start = *tanks_[tank];
  r.start_time = !header_time_.empty() ? header_time_ : ConsoleClock(model_time_);
  r.litres = litres;
  r.begin = model_time_;
  r.end = model_time_ + std::chrono::duration_cast<WallClock::duration>(duration);
  if (r.end == r.begin) {
    ChangeVolumeLocked(tank, litres);
    r.applied = litres;
    EndDeliveryLocked(tank);
  } else {
    SetDeliveryBit(tanks_[tank]->status, true);
  }
  return true;
}

void GaugeSim::Advance(Clock::time_point now) {
  std::lock_guard lock(mu_);
  AdvanceLocked(now);
}

// Moves every tank on from the model's time to `now`'s, in pieces that end
// where a delivery ends, so that its report holds the tank as it was then.
void GaugeSim::AdvanceLocked(Clock::time_point now) {
  const WallClock::time_point target = WallTimeLocked(now);
  while (model_time_ < target) {
    WallClock::time_point until = target;
    for (const auto& r : running_)
      if (r && r->end > model_time_) until = std::min(until, r->end);
    for (int n = 1; n <= kMaxTanks; ++n)
      if (tanks_[n]) MoveLocked(n, model_time_, until);
    model_time_ = until;
    for (int n = 1; n <= kMaxTanks; ++n)
      if (running_[n] && running_[n]->end <= model_time_) EndDeliveryLocked(n);
  }
}

void GaugeSim::MoveLocked(int tank, WallClock::time_point from, WallClock::time_point to) {
  const Activity& a = motion_[tank].activity;
  double litres = 0;
  if (running_[tank]) {
    Running& r = *running_[tank];
    const double part = to >= r.end ? 1.0
                                    : std::chrono::duration<double>(to - r.begin) /
                                          std::chrono::duration<double>(r.end - r.begin);
    litres += r.litres * part - r.applied;
    r.applied = r.litres * part;
  }
  if (a.sales_per_day > 0) litres -= SalesBetween(a, from, to);
  const std::chrono::duration<double, std::ratio<60>> minutes = to - from;
  litres -= a.loss_per_minute * minutes.count();
  ChangeVolumeLocked(tank, litres, a.drift_per_hour * minutes.count() / 60);
}

// Adds `litres` (a negative number takes out, down to an empty tank) and
// `degrees` to a tank; the rest follows (SetVolume, MoveLevel).
void GaugeSim::ChangeVolumeLocked(int tank, double litres, double degrees) {
  if (litres == 0 && degrees == 0) return;
  TankState& t = *tanks_[tank];
  Motion& m = motion_[tank];
  if (m.written != t.volume) m.volume = t.volume;
  const double before = m.volume, after = std::max(0.0, before + litres);
  t.temperature = static_cast<float>(t.temperature + degrees);
  MoveLevel(t, before, after);
  SetVolume(t, before, after);
  m.volume = after;
  m.written = t.volume;
}

// Stores the report of the tank's finished delivery and clears its status bit.
void GaugeSim::EndDeliveryLocked(int tank) {
  const Running& r = *running_[tank];
  TankState& t = *tanks_[tank];
  const auto end = [](const TankState& s) {
    return DeliveryEnd{s.volume, s.tc_volume, s.water,   s.temperature,
                       s.level,  MassOf(s),   s.density, s.tc_density};
  };
  DeliveryRecord d;
  d.start = r.start_time;
  d.end = !header_time_.empty() ? header_time_ : ConsoleClock(r.end);
  d.first = end(r.start);
  d.last = end(t);
  t.deliveries.insert(t.deliveries.begin(), d);
  if (t.deliveries.size() > kMaxDeliveries) t.deliveries.resize(kMaxDeliveries);
  SetDeliveryBit(t.status, false);
  running_[tank].reset();
}

const std::array<double, 24>& HourShares(SalesProfile profile) {
  // A forecourt's hourly sales, relative: the night, the morning peak, the
  // day, the evening peak, the late evening.
  static const std::array<double, 24> forecourt = [] {
    std::array<double, 24> w = {0.3, 0.1, 0.1, 0.1, 0.2, 1.5, 4.0, 7.0, 8.0, 6.5, 5.0, 5.0,
                                5.5, 5.5, 5.0, 5.0, 6.0, 8.0, 8.5, 7.0, 4.5, 3.0, 1.5, 0.8};
    double sum = 0;
    for (double v : w) sum += v;
    for (double& v : w) v /= sum;
    return w;
  }();
  static const std::array<double, 24> flat = [] {
    std::array<double, 24> w;
    w.fill(1.0 / 24);
    return w;
  }();
  return profile == SalesProfile::kFlat ? flat : forecourt;
}

void GaugeSim::SetClock(WallClock::time_point start, double speed, Clock::time_point origin) {
  if (!(speed > 0) || !std::isfinite(speed))
    throw std::invalid_argument("the clock's speed must be a positive number");
  std::lock_guard lock(mu_);
  for (auto& r : running_) {
    if (!r) continue;
    r->begin += start - model_time_;
    r->end += start - model_time_;
  }
  clock_start_ = model_time_ = start;
  clock_origin_ = origin;
  speed_ = speed;
}

double GaugeSim::Speed() const {
  std::lock_guard lock(mu_);
  return speed_;
}

WallClock::time_point GaugeSim::WallTime(Clock::time_point t) const {
  std::lock_guard lock(mu_);
  return WallTimeLocked(t);
}

// In long double: nanoseconds of months times the speed stay exact enough
// for SteadyTime's round trip.
WallClock::time_point GaugeSim::WallTimeLocked(Clock::time_point t) const {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t - clock_origin_).count();
  const auto wall = std::llround(static_cast<long double>(ns) * speed_);
  return clock_start_ +
         std::chrono::duration_cast<WallClock::duration>(std::chrono::nanoseconds(wall));
}

Clock::time_point GaugeSim::SteadyTime(WallClock::time_point wall) const {
  std::lock_guard lock(mu_);
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wall - clock_start_).count();
  const auto steady = static_cast<int64_t>(std::ceil(static_cast<long double>(ns) / speed_));
  return clock_origin_ +
         std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(steady));
}

WallClock::time_point GaugeSim::ModelTime() const {
  std::lock_guard lock(mu_);
  return model_time_;
}

bool GaugeSim::SetActivity(int tank, const Activity& a, Clock::time_point now) {
  auto valid = [](double v) { return v >= 0 && std::isfinite(v); };
  if (tank < 1 || tank > kMaxTanks || !valid(a.sales_per_day) || !valid(a.loss_per_minute) ||
      !std::isfinite(a.drift_per_hour) || !valid(a.noise_mm) ||
      !std::all_of(a.weekdays.begin(), a.weekdays.end(), valid))
    return false;
  std::lock_guard lock(mu_);
  if (!tanks_[tank]) return false;
  AdvanceLocked(now);
  motion_[tank].activity = a;
  return true;
}

std::optional<Activity> GaugeSim::GetActivity(int tank) const {
  if (tank < 1 || tank > kMaxTanks) return std::nullopt;
  std::lock_guard lock(mu_);
  if (!tanks_[tank]) return std::nullopt;
  return motion_[tank].activity;
}

std::optional<TankState> GaugeSim::Reading(int tank) {
  if (tank < 1 || tank > kMaxTanks) return std::nullopt;
  std::lock_guard lock(mu_);
  if (!tanks_[tank]) return std::nullopt;
  return ReadingLocked(tank);
}

TankState GaugeSim::ReadingLocked(int tank) {
  TankState t = *tanks_[tank];
  const Activity& a = motion_[tank].activity;
  if (!(a.noise_mm > 0)) return t;
  const double top = t.height > 0 ? double{t.height} : std::numeric_limits<double>::infinity();
  const double level = std::clamp(t.level + Noise(a, noise_), 0.0, top);
  const double volume = HasTable(t)
                            ? t.volume + VolumeFromTable(t, level) - VolumeFromTable(t, t.level)
                        : t.level > 0 ? t.volume * level / t.level
                                      : double{t.volume};
  SetVolume(t, t.volume, std::max(0.0, volume));
  t.level = static_cast<float>(level);
  return t;
}

void GaugeSim::SetNoiseSeed(uint64_t seed) {
  std::lock_guard lock(mu_);
  noise_.seed(seed);
}

size_t StepMinutes(GaugeSim& sim, Clock::time_point from, Clock::time_point to,
                   const StepCallback& each, WallClock::duration step) {
  if (step <= WallClock::duration::zero()) throw std::invalid_argument("the step must be positive");
  const WallClock::time_point first = sim.WallTime(from), last = sim.WallTime(to);
  size_t steps = 0;
  for (WallClock::time_point wall = first; wall <= last; wall = first + ++steps * step) {
    sim.Advance(sim.SteadyTime(wall));
    for (int n : sim.TankNumbers())
      if (std::optional<TankState> reading = sim.Reading(n)) each(wall, n, *reading);
  }
  return steps;
}

void GaugeSim::SetFaults(const Faults& faults) {
  std::lock_guard lock(mu_);
  faults_ = faults;
}

Faults GaugeSim::GetFaults() const {
  std::lock_guard lock(mu_);
  return faults_;
}

bool GaugeSim::SetFault(std::string_view name, bool on) {
  std::lock_guard lock(mu_);
  return SetFaultByName(faults_, name, on);
}

void GaugeSim::ClearFaults() {
  std::lock_guard lock(mu_);
  faults_ = Faults{};
}

void GaugeSim::SetDelay(unsigned ms) {
  std::lock_guard lock(mu_);
  faults_.delay_ms = ms;
}

void GaugeSim::SetPace(unsigned baud) {
  std::lock_guard lock(mu_);
  faults_.pace_baud = baud;
}

void GaugeSim::SetModel(Model model) {
  std::lock_guard lock(mu_);
  model_ = model;
}

GaugeSim::Model GaugeSim::GetModel() const {
  std::lock_guard lock(mu_);
  return model_;
}

void GaugeSim::SetLatency(unsigned ms) {
  std::lock_guard lock(mu_);
  latency_ms_ = ms;
}

unsigned GaugeSim::GetLatency() const {
  std::lock_guard lock(mu_);
  return latency_ms_;
}

void GaugeSim::SetHeaderTime(std::string yymmddhhmm) {
  if (!yymmddhhmm.empty() &&
      (yymmddhhmm.size() != 10 || !std::all_of(yymmddhhmm.begin(), yymmddhhmm.end(), IsDigit)))
    throw std::invalid_argument("header time must be 10 digits YYMMDDHHmm");
  std::lock_guard lock(mu_);
  header_time_ = std::move(yymmddhhmm);
}

std::string GaugeSim::HeaderTimeLocked() const {
  return !header_time_.empty() ? header_time_ : ConsoleClock(model_time_);
}

Stats GaugeSim::GetStats() const {
  std::lock_guard lock(mu_);
  Stats stats = stats_;
  stats.line = line_;
  return stats;
}

void GaugeSim::UpdateLine(const std::function<void(LineSettings&)>& change) {
  std::lock_guard lock(mu_);
  change(line_);
}

void GaugeSim::ResetStats() {
  std::lock_guard lock(mu_);
  stats_ = Stats{};
}

// ---------------------------------------------------------------------------
// Replies

std::vector<uint8_t> GaugeSim::Execute(std::string_view command, std::string_view payload) {
  std::lock_guard lock(mu_);
  return ExecuteLocked(command, payload);
}

std::vector<uint8_t> GaugeSim::ExecuteLocked(std::string_view command, std::string_view payload) {
  const std::vector<uint8_t> error(kErrorReply.begin(), kErrorReply.end());
  if (command.size() != kCommandLength || !IsDigit(command[4]) || !IsDigit(command[5]))
    return error;
  std::string_view code = command.substr(0, 4);
  std::string_view digits = command.substr(4, 2);
  bool inventory = code == kInventoryReport || code == kDensityReport;
  bool calibration =
      code == kReadHeight || code == kReadTable || code == kWriteHeight || code == kWriteTable;
  bool report = IsConsoleReport(code);
  if (!inventory && !calibration && !report) return error;
  if (payload.size() != PayloadLength(code)) return error;
  int tank = (command[4] - '0') * 10 + (command[5] - '0');
  bool system = code == kSystemStatusReport;
  if (system && tank != 0) return error;  // "i101" exists for 00 only
  bool all_tanks = (inventory || report) && tank == 0;
  if (!all_tanks && (tank < 1 || tank > kMaxTanks || !tanks_[tank])) return error;

  std::vector<uint8_t> out;
  out.reserve(kVolumesReplyLength);
  out.push_back(kSoh);
  AppendText(out, command);
  std::string time = HeaderTimeLocked();

  if (system) {
    AppendText(out, time);
    for (size_t k = 0; k < groups_.size() && k < kMaxStatusGroups; ++k)
      for (int v : {groups_[k].category, groups_[k].type, groups_[k].device})
        AppendTwoDigits(out, v, 10);
    Finish(out);
    return out;
  }
  if (report || inventory) {
    AppendText(out, time);
    int first = all_tanks ? 1 : tank, last = all_tanks ? kMaxTanks : tank;
    for (int n = first; n <= last; ++n) {
      if (!tanks_[n]) continue;
      if (report)
        AppendReportRecord(out, code, n, *tanks_[n], model_);
      else
        AppendInventory(out, n, ReadingLocked(n), code == kDensityReport, model_);
    }
    Finish(out);
    return out;
  }
  TankState& t = *tanks_[tank];

  // Calibration commands: validate and store the written values first.
  if (!std::all_of(payload.begin(), payload.end(), IsHexDigit)) return error;
  const auto* p = reinterpret_cast<const uint8_t*>(payload.data());
  if (code == kWriteHeight) {
    t.height = HexToSingleIn(p, payload.size(), 0);
  } else if (code == kWriteTable) {
    for (size_t j = 1; j <= kCalibrationPoints; ++j)
      t.cal[kCalibrationPoints - j] = HexToSingleIn(p, payload.size(), 8 * (j - 1));
  }
  AppendText(out, time);
  AppendText(out, digits);
  if (code == kReadHeight || code == kWriteHeight) {
    AppendHex(out, t.height);
  } else {
    for (size_t j = 1; j <= kCalibrationPoints; ++j) AppendHex(out, t.cal[kCalibrationPoints - j]);
  }
  Finish(out);
  return out;
}

// ---------------------------------------------------------------------------
// Parser

std::vector<Answer> GaugeSim::Feed(std::string_view bytes, Clock::time_point now) {
  return Feed(bytes.data(), bytes.size(), now);
}

std::vector<Answer> GaugeSim::Feed(const void* data, size_t size, Clock::time_point now) {
  std::vector<Answer> answers;
  const auto* bytes = static_cast<const uint8_t*>(data);
  std::lock_guard lock(mu_);
  for (size_t i = 0; i < size; ++i) {
    uint8_t b = bytes[i];
    if (b == kSoh) {  // a new request; an unfinished one is dropped
      state_ = ParseState::kCommand;
      request_.clear();
      need_ = kCommandLength;
      request_start_ = now;
      continue;
    }
    if (state_ == ParseState::kIdle) continue;
    request_.push_back(static_cast<char>(b));
    if (--need_ > 0) continue;
    if (state_ == ParseState::kCommand) {
      need_ = PayloadLength(std::string_view(request_).substr(0, 4));
      if (need_ > 0) {
        state_ = ParseState::kPayload;
        continue;
      }
    }
    answers.push_back(CompleteLocked(now));
    state_ = ParseState::kIdle;
  }
  return answers;
}

void GaugeSim::ResetParser() {
  std::lock_guard lock(mu_);
  state_ = ParseState::kIdle;
  request_.clear();
  need_ = 0;
}

bool GaugeSim::ParserIdle() const {
  std::lock_guard lock(mu_);
  return state_ == ParseState::kIdle;
}

Answer GaugeSim::CompleteLocked(Clock::time_point now) {
  Answer a;
  a.command = request_.substr(0, kCommandLength);
  a.payload = request_.substr(kCommandLength);
  a.request_length = 1 + request_.size();
  a.request_start = request_start_;
  a.request_end = now;
  a.latency_ms = latency_ms_;
  a.delay_ms = faults_.delay_ms;
  a.pace_baud = faults_.pace_baud;
  a.byte_by_byte = faults_.byte_by_byte;

  AdvanceLocked(now);  // the tanks as they are when the request is complete
  std::string code = a.command.substr(0, 4);
  stats_.requests++;
  stats_.by_code[code]++;
  stats_.by_command[a.command]++;
  stats_.last_request = request_;

  if (faults_.silent || (faults_.i201_only && code == kDensityReport) ||
      (faults_.no_i606 && code == kReadTable)) {
    a.silent = true;
    stats_.silenced++;
    return a;
  }

  // A console that lacks the command answers it with the error reply and does nothing.
  bool lacking =
      faults_.unknown_all || (faults_.no_i214 && code == kDensityReport) ||
      (faults_.no_all_tanks && a.command.ends_with("00") && code != kSystemStatusReport) ||
      (faults_.no_reports && IsConsoleReport(code));
  std::vector<uint8_t> frame = lacking
                                   ? std::vector<uint8_t>(kErrorReply.begin(), kErrorReply.end())
                                   : ExecuteLocked(a.command, a.payload);
  bool is_error = frame.size() == kErrorReply.size();
  if (is_error) stats_.errors++;

  if (faults_.lower_checksum || faults_.bad_checksum) {
    uint16_t value = ReplyChecksumValue(frame.data(), frame.size());
    if (faults_.bad_checksum) value = static_cast<uint16_t>(value + 1);
    WriteChecksum(frame, value, faults_.lower_checksum);
  }
  if (faults_.cut) frame.resize(frame.size() / 2);
  if (faults_.garbage) frame.insert(frame.begin(), std::begin(kGarbage), std::end(kGarbage));

  a.bytes = std::move(frame);
  stats_.replies++;
  return a;
}

}  // namespace vr::sim
