#pragma once
// Veeder-Root gauge simulator: the serial computer interface as the driver
// sees it, for integration tests and the demo. GaugeSim is the pure core, no
// I/O: the tank model, a streaming request parser fed bytes in arbitrary
// pieces, the reply frames, the switchable fault modes and the request
// counters. Thread-safe. Its transports are PtyGauge (pty_gauge.h) and
// TcpGauge (tcp_gauge.h); the text format for tank values is in tank_file.h.
//
// Wire format served (offsets from SOH):
//   request : SOH, 6-char command (4-char function code + 2 decimal tank digits),
//             payload: 8 chars for "s607", 160 for "s606", none otherwise.
//             No terminator, no checksum. Bytes before SOH are ignored; an SOH
//             in the middle of a request restarts the request (payloads are hex
//             text, so a real SOH there means the previous request was cut off).
//   inventory reply ("i201" 89 bytes, 7 fields; "i214" 81 bytes, 6 fields):
//             SOH, echo of the 6 command chars, 19-char header
//             YYMMDDHHmm + tank (2) + product code (1) + status (4) + field count (2),
//             data fields of 8 upper-case hex floats from offset 26, "&&",
//             4-char checksum, ETX. Fields: 1 volume (26), 2 TC volume in i201 /
//             mass kg in i214 (34), 3 ullage in i201 / density kg/m3 in i214 (42), 4 level (50),
//             5 water (58), 6 temperature (66), 7 water volume (74, i201 only).
//   model tls4 (GaugeSim::Model::kTls4): "i214" has 10 fields, field count
//             "0A", 113 bytes: 1 volume, 2 mass kg, 3 density kg/m3, 4 level,
//             5 water, 6 temperature, 7 TC density kg/m3, 8 TC volume,
//             9 ullage, 10 water volume. "i201" is the same in both models.
//   every tank ("i20100", "i21400"): SOH, echo, YYMMDDHHmm once, then for each
//             configured tank in ascending order a 9-char block header
//             tank (2) + product (1) + status (4) + field count (2) and its
//             fields as in the single-tank reply of the current model; "&&",
//             checksum, ETX. 17 + sum(9 + 8 * fields) + 7 bytes; 24 bytes with
//             no tanks. Other commands for tank 00 get the error reply.
//   calibration replies ("i607"/"s607" 34 bytes, "i606"/"s606" 186 bytes):
//             SOH, echo, 12-char header YYMMDDHHmm + tank (2), then at offset 19
//             the height (1 hex float) or the 20 volumes (field j = element 20-j,
//             field 1 is the full-height volume), "&&", checksum, ETX.
//             "s607"/"s606" store the written values and reply like "i607"/"i606".
//   console reports: SOH, echo, YYMMDDHHmm, records, "&&", checksum, ETX; tank
//             00 lists every configured tank in ascending order, another tank
//             only itself.
//             "i10100" system status: a group category (2) + type (2) + device
//             (2) per active alarm, decimal, in the order raised: the tank
//             alarms (category 02; those of several tanks set at once in tank
//             order) and the groups set with SetStatusGroup; no group on a
//             quiet console; at most 150. Only tank 00.
//             "i205TT" in-tank status: per tank, tank (2) + alarm count (2 hex)
//             + the alarm types (2 decimal each).
//             "i202TT" deliveries: per tank, tank (2) + product (1) + count (2
//             decimal) + the stored deliveries newest first, each start and end
//             YYMMDDHHmm + "0A" + 10 hex floats (DeliveryRecord). "i20CTT": the
//             same with the newest one only (count 00 or 01); under tls4 "10"
//             and 16 floats.
//             "i602TT" labels: per tank, tank (2) + label (20, space-padded).
//   error reply: exactly SOH "9999FF1B" ETX (10 bytes) for an unknown command, a
//             tank number outside 1..16 or absent, non-digit tank characters, or a
//             set payload that is not all hexadecimal digits. ("FF1B" happens to
//             be the reply checksum of SOH "9999": only the driver's echo
//             check refuses it.)
//
// Every reply starts no earlier than the latency (SetLatency, the console's
// processing time) after its request was complete; a delay fault adds to it.
//
// Simulated time: the core has no clock thread. Each Feed, Advance, Deliver
// and SetActivity moves the model on to its `now`, a steady time point that
// the simulated clock (SetClock) maps to a simulated wall time:
//   wall = start + speed * (now - origin).
// Deliveries and the scenario activities (Activity: sales, a leak, a
// temperature drift, noise on the level read) run in simulated time; the
// console's clock (header YYMMDDHHmm, delivery times) shows the simulated
// wall time the model has reached, in local time.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/calibration.h"
#include "protocol/frame.h"
#include "protocol/inventory.h"

namespace vr::sim {

using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;  // the simulated wall clock's time points

constexpr int kMaxTanks = vr::kTankCount;
constexpr size_t kCalibrationPoints = vr::kCalibrationPoints;

// Reply lengths of the supported commands.
constexpr size_t kI201Length = vr::kInventoryReportLength;
constexpr size_t kI214Length = vr::kDensityReportLength;
// A tls4 "i214": 10 fields instead of 6.
constexpr size_t kI214Tls4Length = kI214Length + 4 * 8;
constexpr size_t kHeightReplyLength = vr::kHeightReplyLength;  // i607, s607
constexpr size_t kVolumesReplyLength = vr::kTableReplyLength;  // i606, s606
constexpr std::string_view kErrorReply = vr::kUnknownCommandReply;

constexpr size_t kMaxDeliveries = 10;     // kept per tank; the oldest goes first
constexpr size_t kMaxStatusGroups = 150;  // groups in one "i101" reply
constexpr size_t kLabelLength = 20;

// A delivery as the console keeps it ("i202", "i20C"). The values are in
// their order on the wire; the last six go out only in a tls4 "i20C".
// The tank at one end of a delivery.
struct DeliveryEnd {
  float volume = 0, tc_volume = 0, water = 0, temperature = 0, height = 0, mass = 0, density = 0,
        tc_density = 0;

  bool operator==(const DeliveryEnd&) const = default;
};
struct DeliveryRecord {
  std::string start = "0000000000";  // YYMMDDHHmm, the console's clock
  std::string end = "0000000000";
  DeliveryEnd first, last;  // the tank at the start and at the end

  bool operator==(const DeliveryRecord&) const = default;
};

// One tank of the model. Values are carried on the wire as IEEE singles.
struct TankState {
  float volume = 0;        // field 1, litres
  float tc_volume = 0;     // field 2 of i201, temperature-compensated volume, litres
  float ullage = 0;        // field 3 of i201, litres
  float level = 0;         // field 4, product level, mm
  float water = 0;         // field 5, water level, mm
  float temperature = 0;   // field 6, degrees Celsius
  float water_volume = 0;  // field 7 of i201, litres
  float density = 0;       // field 3 of i214, kg/m3 (the driver divides by 1000)
  float tc_density = 0;    // field 7 of tls4 i214, kg/m3 (the tank text defaults it to density)
  float mass = 0;          // field 2 of i214, kg; 0 = volume * density / 1000
  float height = 0;        // full height in mm, served by i607, written by s607
  // Calibration volumes: element k-1 is the volume at level k/20 of the full
  // height (element 19 = full-height volume), as the driver's CalibrationPoints.
  std::array<float, kCalibrationPoints> cal{};
  char product = '1';                      // product code in the inventory header
  std::string status = "0000";             // 4 status characters in the inventory header
  std::vector<int> alarms;                 // active tank alarm types 1..99, in the order raised
  std::string label;                       // "i602", padded with spaces (or cut) to 20 characters
  std::vector<DeliveryRecord> deliveries;  // newest first, at most kMaxDeliveries

  bool operator==(const TankState&) const = default;
};

// Fault modes; any combination, switchable at any time. The flag faults are
// applied by GaugeSim to the reply bytes; delay, pacing and byte-by-byte are
// carried in each Answer and honoured by the transport. Faults apply to every
// reply, the error reply included. Under bad-checksum, lower-checksum, cut and
// garbage the request is still executed (s607/s606 store what they carry):
// the gauge did the work, its reply was spoilt on the way. A request silenced
// by silent or i201-only, or refused by no-i214, no-all-tanks or
// unknown-command, is counted but not executed.
struct Faults {
  bool silent = false;          // no reply at all (the request is not executed)
  bool bad_checksum = false;    // checksum off by one (still 4 upper-case hex digits)
  bool lower_checksum = false;  // checksum letters in lower case (see below)
  bool cut = false;             // only the first half of the reply frame is sent
  bool garbage = false;         // 8 garbage bytes (no SOH, no ETX) before the SOH
  bool i201_only = false;       // "i214" gets no reply (silent, not executed)
  bool no_i606 = false;         // "i606" gets no reply: heights read, tables do not
  bool no_i214 = false;         // "i214" gets the error reply (an older console)
  bool no_all_tanks = false;    // tank 00 requests get the error reply (an older console);
                                // not "i10100", which has no other form
  bool no_reports = false;      // i101, i205, i202, i20C and i602 get the error reply
  bool unknown_all = false;     // every command gets the error reply
  bool byte_by_byte = false;    // transport: one byte per write(), ~0.2 ms apart
  unsigned delay_ms = 0;        // transport: wait this long before replying
  unsigned pace_baud = 0;       // transport: 0 = off, else 8N1 pacing at this rate
  bool operator==(const Faults&) const = default;
};
// lower_checksum only shows when the checksum has a letter. Single-tank and
// calibration replies always have one: their byte sum stays below 0x4000 (at
// most 186 bytes, nearly all hex digits), so 0x10000 - sum starts with C..F.
// A tank-00 reply of several tanks (up to 1448 bytes) sums past that, wraps
// round 16 bits, and its checksum may be four decimal digits; lower case
// then changes nothing and the reply goes out valid, as from a console that
// writes lower-case hex.

// Switches the named flag fault on or off: silent, bad-checksum,
// lower-checksum, cut, garbage, i201-only, no-i606, no-i214, no-all-tanks,
// no-reports, unknown-command, byte-by-byte; "none" clears all
// flag faults (delay and pace are left alone). Returns false for an unknown name.
bool SetFaultByName(Faults& faults, std::string_view name, bool on = true);
// "none" or the switched-on faults, e.g. "silent,delay=1600ms,pace=9600".
std::string DescribeFaults(const Faults& faults);
// Names accepted by SetFaultByName (without "none").
const std::vector<std::string_view>& FaultNames();

// Bytes for a log line: printable ASCII as is, SOH/ETX as <SOH>/<ETX>,
// anything else as \xNN.
std::string PrintableBytes(std::string_view bytes);

// Time `bytes` bytes (10 bits each, 8N1) take on the line at this baud rate;
// 0 when baud is 0. One byte at 9600 baud: 1041.67 us.
Clock::duration WireTime(size_t bytes, unsigned baud);

// One complete request and what the gauge does about it.
struct Answer {
  std::string command;              // the 6 command characters as received
  std::string payload;              // the payload characters (s607: 8, s606: 160)
  bool silent = false;              // true: nothing goes out
  std::vector<uint8_t> bytes;       // what goes on the line, faults applied
  size_t request_length = 0;        // SOH + command + payload
  Clock::time_point request_start;  // time of the Feed that carried the SOH
  Clock::time_point request_end;    // time of the Feed that completed it
  unsigned latency_ms = 0;
  unsigned delay_ms = 0;
  unsigned pace_baud = 0;
  bool byte_by_byte = false;

  // No earlier than the request's own wire time after its SOH arrived (when
  // pacing), and no earlier than its completion; plus the latency and the delay.
  Clock::time_point EarliestReplyTime() const;
};

// The line settings an RFC 2217 client set, as RFC 2217 codes (0: never set).
struct LineSettings {
  uint32_t baud = 0;
  uint8_t data_size = 0;
  uint8_t parity = 0;     // 1 none, 2 odd, 3 even, 4 mark, 5 space
  uint8_t stop_size = 0;  // 1 one, 2 two, 3 one and a half
  uint8_t control = 0;    // flow control: 1 none, 2 XON/XOFF, 3 hardware
  uint64_t purges = 0;    // PURGE-DATA requests
  bool operator==(const LineSettings&) const = default;
};
// "9600,8N1,flow=none,purges=1"; "-" when nothing was set.
std::string DescribeLine(const LineSettings& line);

struct Stats {
  uint64_t requests = 0;                                 // complete requests parsed
  uint64_t replies = 0;                                  // answers with bytes (not silent)
  uint64_t silenced = 0;                                 // requests left without reply by a fault
  uint64_t errors = 0;                                   // requests answered with the error reply
  std::map<std::string, uint64_t, std::less<>> by_code;  // "i201" -> count
  std::map<std::string, uint64_t, std::less<>> by_command;  // "i20101" -> count
  std::string last_request;  // command + payload of the last request, no SOH
  LineSettings line;         // kept by ResetStats: a setting, not a counter

  // Count for a 4-char function code ("i214") or a 6-char command ("i21401").
  uint64_t Count(std::string_view code_or_command) const;
};

// A group of the system status ("i101"): category, type and device number.
struct StatusGroup {
  int category = 0;
  int type = 0;
  int device = 0;
  bool operator==(const StatusGroup&) const = default;
};

// The daily pattern of sales: a forecourt's (next to nothing from 00 to 05,
// peaks at 07-09 and 17-19, low after 22, in local hours) or flat.
enum class SalesProfile { kForecourt, kFlat };
// Share of a day's sales in each local hour 0..23 (the shares sum to 1).
const std::array<double, 24>& HourShares(SalesProfile profile);

enum class NoiseShape { kUniform, kGaussian };

// What a tank does by itself as simulated time passes (GaugeSim::SetActivity).
// Every rate is per simulated time.
struct Activity {
  double sales_per_day = 0;  // litres dispensed a day, 0 = none; never below an empty tank
  SalesProfile profile = SalesProfile::kForecourt;
  std::array<double, 7> weekdays{1, 1, 1, 1, 1, 1, 1};  // factors on a day's sales, Monday first
  double loss_per_minute = 0;                           // a leak, litres a minute
  double drift_per_hour = 0;                            // temperature, degrees C an hour
  // Noise on the level read (i201, i214, Reading), +-noise_mm: uniform, or
  // gaussian (sigma noise_mm / 3, cut at +-noise_mm). The volume read moves
  // with it, by the table (the volume difference between the noisy and the
  // true level; in proportion without a table), and so do the TC volume,
  // ullage and mass read. The tank itself does not move.
  double noise_mm = 0;
  NoiseShape noise = NoiseShape::kUniform;
  bool operator==(const Activity&) const = default;
};

// Payload length of a request with this function code: 8 for "s607",
// 160 for "s606", 0 otherwise.
size_t PayloadLength(std::string_view function_code);

class GaugeSim {
 public:
  // The console family served; it decides the "i214" layout (see the top).
  enum class Model { kTls350, kTls4 };

  GaugeSim() = default;
  GaugeSim(const GaugeSim&) = delete;
  GaugeSim& operator=(const GaugeSim&) = delete;

  // Tank model; tank numbers 1..16 (std::out_of_range otherwise for SetTank).
  void SetTank(int tank, const TankState& state);
  bool RemoveTank(int tank);
  std::optional<TankState> GetTank(int tank) const;
  std::vector<int> TankNumbers() const;
  // Replaces the whole model (numbers outside 1..16 throw std::out_of_range).
  void SetTanks(const std::map<int, TankState>& tanks);
  // Atomic read-modify-write of a tank; false when the tank is absent.
  bool UpdateTank(int tank, const std::function<void(TankState&)>& change);

  // Switches tank alarm `type` (1..99) of a tank on or off; false when the
  // tank is absent or the type out of range.
  bool SetAlarm(int tank, int type, bool on = true);
  // Switches a system-status group of another category than 02 (the tanks'
  // own, see SetAlarm) on or off; false for category 02 or a number outside 0..99.
  bool SetStatusGroup(int category, int type, int device, bool on = true);
  // The "i101" groups in the order raised, tank alarms included.
  std::vector<StatusGroup> StatusGroups() const;

  // A delivery of `litres` into a tank, spread evenly over `duration` of
  // simulated time from `now` (at once for zero). While it runs the tank's
  // status has bit 0x0001; at its end the tank gets a DeliveryRecord.
  // False when the tank is absent, already has a delivery running, or
  // litres is not a positive number.
  //
  // Whatever moves a tank's volume (deliveries, sales, a leak) moves its
  // level by the calibration table (cal and height; in proportion without
  // one) and sets its ullage to the full-height volume minus the volume
  // (without a table the ullage falls by what came in). Its TC volume is
  // the volume at 15 C by the petroleum tables when the tank has a density,
  // recomputed whenever its volume or temperature moves; without a density
  // it keeps its proportion to the volume. A tank that never moves keeps the
  // values it was given.
  bool Deliver(int tank, float litres, Clock::duration duration = {},
               Clock::time_point now = Clock::now());
  // Moves the model on to `now` (never back).
  void Advance(Clock::time_point now = Clock::now());

  // The simulated clock: steady time `t` is simulated wall time
  // start + speed * (t - origin). Default: the real time and steady time at
  // construction, speed 1. The model jumps to `start`, not simulating the
  // time in between; a running delivery keeps the simulated time it has left.
  // std::invalid_argument when speed is not a positive number.
  void SetClock(WallClock::time_point start, double speed = 1,
                Clock::time_point origin = Clock::now());
  double Speed() const;
  WallClock::time_point WallTime(Clock::time_point t) const;
  // The first steady time point whose simulated wall time is not before `wall`.
  Clock::time_point SteadyTime(WallClock::time_point wall) const;
  // The simulated wall time the model has reached (the console's clock).
  WallClock::time_point ModelTime() const;

  // A tank's activity, from `now` on (the model is moved on to `now` first).
  // False when the tank is absent or a value is negative or not finite.
  // Removing the tank or replacing all of them (SetTanks) ends it.
  bool SetActivity(int tank, const Activity& activity, Clock::time_point now = Clock::now());
  std::optional<Activity> GetActivity(int tank) const;
  // The tank as the inventory replies read it: with its noise (each read
  // draws from a seeded generator: the same reads give the same values).
  std::optional<TankState> Reading(int tank);
  void SetNoiseSeed(uint64_t seed);

  // Faults, thread-safe, take effect from the next completed request.
  void SetFaults(const Faults& faults);
  Faults GetFaults() const;
  bool SetFault(std::string_view name, bool on = true);  // SetFaultByName
  void ClearFaults();                                    // everything off
  void SetDelay(unsigned ms);
  void SetPace(unsigned baud);

  // Console family (default kTls350) and processing time (default 0 ms),
  // thread-safe, taking effect from the next completed request.
  void SetModel(Model model);
  Model GetModel() const;
  void SetLatency(unsigned ms);
  unsigned GetLatency() const;

  // Header time stamp "YYMMDDHHmm"; empty (the default) = the simulated clock.
  void SetHeaderTime(std::string yymmddhhmm);

  // Streaming parser: feed received bytes in any pieces; returns one Answer per
  // request completed by these bytes, in order. `now` stamps the request.
  std::vector<Answer> Feed(const void* data, size_t size, Clock::time_point now = Clock::now());
  std::vector<Answer> Feed(std::string_view bytes, Clock::time_point now = Clock::now());
  void ResetParser();
  bool ParserIdle() const;  // no partial request pending

  // Executes one request on the model without faults and without counting it:
  // the clean reply frame (s607/s606 do store). Exposed for tests and tools.
  std::vector<uint8_t> Execute(std::string_view command, std::string_view payload);

  Stats GetStats() const;
  void ResetStats();
  // Changes the line settings that GetStats reports (RFC 2217 transport).
  void UpdateLine(const std::function<void(LineSettings&)>& change);

 private:
  enum class ParseState { kIdle, kCommand, kPayload };

  std::vector<uint8_t> ExecuteLocked(std::string_view command, std::string_view payload);
  Answer CompleteLocked(Clock::time_point now);
  std::string HeaderTimeLocked() const;
  void SyncAlarmsLocked();
  WallClock::time_point WallTimeLocked(Clock::time_point t) const;
  void AdvanceLocked(Clock::time_point now);
  void MoveLocked(int tank, WallClock::time_point from, WallClock::time_point to);
  void ChangeVolumeLocked(int tank, double litres, double degrees = 0);
  void EndDeliveryLocked(int tank);
  TankState ReadingLocked(int tank);

  // A delivery in progress: the tank as it was at the start and how much of
  // the delivery its values carry so far.
  struct Running {
    TankState start;
    std::string start_time;
    double litres = 0;
    double applied = 0;
    WallClock::time_point begin, end;
  };
  // A tank's activity, and its volume in double precision: many small steps
  // would round away in the float. `written` is the float it last gave the
  // tank; another value there means the tank was changed from outside.
  struct Motion {
    Activity activity;
    double volume = 0;
    std::optional<float> written;
  };

  mutable std::mutex mu_;
  std::array<std::optional<TankState>, kMaxTanks + 1> tanks_{};  // [0] unused
  std::array<std::optional<Running>, kMaxTanks + 1> running_{};
  std::array<Motion, kMaxTanks + 1> motion_{};
  WallClock::time_point clock_start_ = WallClock::now();
  Clock::time_point clock_origin_ = Clock::now();
  double speed_ = 1;
  WallClock::time_point model_time_ = clock_start_;
  std::mt19937_64 noise_{1};
  std::vector<StatusGroup> groups_;  // "i101", in the order raised
  Faults faults_;
  Model model_ = Model::kTls350;
  unsigned latency_ms_ = 0;
  std::string header_time_;
  Stats stats_;
  LineSettings line_;
  ParseState state_ = ParseState::kIdle;
  std::string request_;  // command + payload collected so far
  size_t need_ = 0;      // characters still expected in the current state
  Clock::time_point request_start_{};
};

// "tls350" / "tls4" and back; std::nullopt for any other name.
std::string_view ModelName(GaugeSim::Model model);
std::optional<GaugeSim::Model> ParseModel(std::string_view name);

// Steps `sim` one simulated `step` at a time from steady time `from` to `to`,
// without transports, and calls `each` with every tank's reading (Reading:
// noise included) and the simulated wall time of the step. Step k is at
// simulated wall time w = sim.WallTime(from) + k * step, for every w not
// after sim.WallTime(to). The model is moved on to sim.SteadyTime(w), the
// first steady time point whose wall time is not before w (w itself, or at
// most `speed` nanoseconds after it: a console clock never shows the minute
// before), and `each` is given w. Days of readings take milliseconds.
// Returns the number of steps (the first, at `from`, included).
using StepCallback =
    std::function<void(WallClock::time_point wall, int tank, const TankState& reading)>;
size_t StepMinutes(GaugeSim& sim, Clock::time_point from, Clock::time_point to,
                   const StepCallback& each, WallClock::duration step = std::chrono::minutes(1));

// Writes `limit` bytes of an answer as its transport faults say: all at once,
// byte by byte (~0.2 ms apart), or paced at its baud rate. `wait_until` waits
// for a time point and `write` sends bytes; either returns false to give up,
// and so does PlayAnswer then.
bool PlayAnswer(const Answer& answer, size_t limit,
                const std::function<bool(Clock::time_point)>& wait_until,
                const std::function<bool(const uint8_t*, size_t)>& write);

}  // namespace vr::sim
