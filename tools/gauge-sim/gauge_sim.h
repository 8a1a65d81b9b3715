#pragma once
// Veeder-Root gauge simulator: the serial computer interface as the driver
// sees it, for integration tests and the demo.
//
//   GaugeSim   pure core, no I/O: the tank model, a streaming request parser
//              fed bytes in arbitrary pieces, the reply frames, the switchable
//              fault modes and the request counters. Thread-safe.
//   PtyGauge   transport (POSIX): serves a GaugeSim on a pseudo-terminal whose
//              slave path the driver opens as its serial port.
//   TcpGauge   transport (POSIX): serves a GaugeSim to one TCP client at a
//              time, raw or as an RFC 2217 access server.
//   ParseTankSpec / ParseTankFile / DemoTanks
//              the text format for tank values (see the comment further down).
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
//             4-char checksum, ETX. Fields: 1 volume (26), 2 TC volume (34),
//             3 density kg/m3 in i214 / ullage in i201 (42), 4 level (50),
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
//   error reply: exactly SOH "9999FF1B" ETX (10 bytes) for an unknown command, a
//             tank number outside 1..16 or absent, non-digit tank characters, or a
//             set payload that is not all hexadecimal digits. ("FF1B" happens to
//             be the reply checksum of SOH "9999": only the driver's echo
//             check refuses it.)
//
// Every reply starts no earlier than the latency (SetLatency, the console's
// processing time) after its request was complete; a delay fault adds to it.

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "protocol/frame.h"

namespace vr::sim {

using Clock = std::chrono::steady_clock;

constexpr int kMaxTanks = 16;
constexpr size_t kCalibrationPoints = 20;

// Reply lengths of the supported commands.
constexpr size_t kI201Length = 89;
constexpr size_t kI214Length = 81;
constexpr size_t kI214Tls4Length = 113;
constexpr size_t kHeightReplyLength = 34;    // i607, s607
constexpr size_t kVolumesReplyLength = 186;  // i606, s606
constexpr std::string_view kErrorReply = vr::kUnknownCommandReply;

// One tank of the model. Values are carried on the wire as IEEE singles.
struct TankState {
  float volume = 0;        // field 1, litres
  float tc_volume = 0;     // field 2, temperature-compensated volume, litres
  float ullage = 0;        // field 3 of i201, litres
  float level = 0;         // field 4, product level, mm
  float water = 0;         // field 5, water level, mm
  float temperature = 0;   // field 6, degrees Celsius
  float water_volume = 0;  // field 7 of i201, litres
  float density = 0;       // field 3 of i214, kg/m3 (the driver divides by 1000)
  float tc_density = 0;    // field 7 of tls4 i214, kg/m3 (the tank text defaults it to density)
  float mass = 0;          // field 2 of tls4 i214, kg; 0 = volume * density / 1000
  float height = 0;        // full height in mm, served by i607, written by s607
  // Calibration volumes: element k-1 is the volume at level k/20 of the full
  // height (element 19 = full-height volume), as the driver's CalibrationPoints.
  std::array<float, kCalibrationPoints> cal{};
  char product = '1';           // product code in the inventory header
  std::string status = "0000";  // 4 status characters in the inventory header

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
  bool no_all_tanks = false;    // tank 00 requests get the error reply (an older console)
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
// unknown-command, byte-by-byte; "none" clears all
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
  void ClearTanks();
  std::optional<TankState> GetTank(int tank) const;
  std::vector<int> TankNumbers() const;
  // Replaces the whole model (numbers outside 1..16 throw std::out_of_range).
  void SetTanks(const std::map<int, TankState>& tanks);
  // Atomic read-modify-write of a tank; false when the tank is absent.
  bool UpdateTank(int tank, const std::function<void(TankState&)>& change);

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

  // Header time stamp "YYMMDDHHmm"; empty (the default) = the local clock.
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

  mutable std::mutex mu_;
  std::array<std::optional<TankState>, kMaxTanks + 1> tanks_{};  // [0] unused
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

// ---------------------------------------------------------------------------
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
//   capacity=V         derive cal from a horizontal cylinder of V litres.
// Defaults: every number 0, product '1', status "0000"; tc_volume = volume,
// tc_density = density and ullage = max(0, cal[19] - volume) unless given.
// A tank not listed is absent.
// The same line without "tank", "1:level=1500,volume=20000,...", is the --tank
// form. Errors throw std::invalid_argument naming the line and the item.

// Parses one tank line. With `base`, starts from it and changes only the keys
// given (no derived defaults): the update form of the stdin "tank" command.
std::pair<int, TankState> ParseTankSpec(std::string_view desc, const TankState* base = nullptr);
std::map<int, TankState> ParseTankFile(std::string_view text);
std::map<int, TankState> LoadTankFile(const std::string& path);  // throws on I/O errors too
// One line in the format above ("tank N key=value ...").
std::string FormatTank(int tank, const TankState& state);
// Volumes at k/20 of the diameter, k = 1..20, of a horizontal cylinder.
std::array<float, kCalibrationPoints> CylinderTable(float capacity);
// Four plausible tanks (1..4) with calibration tables.
std::map<int, TankState> DemoTanks();

// Writes `limit` bytes of an answer as its transport faults say: all at once,
// byte by byte (~0.2 ms apart), or paced at its baud rate. `wait_until` waits
// for a time point and `write` sends bytes; either returns false to give up,
// and so does PlayAnswer then.
bool PlayAnswer(const Answer& answer, size_t limit,
                const std::function<bool(Clock::time_point)>& wait_until,
                const std::function<bool(const uint8_t*, size_t)>& write);

#ifndef _WIN32
// ---------------------------------------------------------------------------
// Serves a GaugeSim on a pseudo-terminal.
//
// Open() creates the pty with openpty(), which also opens the slave, and sets
// the slave raw at 9600 8N1. The simulator keeps that slave descriptor open
// for the pty's whole life: on Linux, once the last slave descriptor is
// closed the master reports POLLHUP and read() fails with EIO until a slave
// is opened again (a poll loop would spin, and a reply written meanwhile is
// lost), and the line settings may fall back to the defaults.
// Holding a slave open means the driver can close and reopen the port as
// often as it likes and always finds the same raw line behind the same path.
// The simulator never reads from its slave descriptor, so it takes no bytes.
//
// Start() starts the serving thread, which waits in poll() on the master and
// a wake-up eventfd (no busy polling), feeds what it reads into the GaugeSim
// and writes the answers, honouring delay, pacing and byte-by-byte; every wait
// also watches the eventfd, so Stop() ends the thread promptly (well below
// 200 ms) even in the middle of a delayed or paced reply.
//
// Stop() ends the thread but keeps the pty: the path stays valid and the gauge
// is simply silent. Close() (alias Vanish()) also closes the pty: the driver's
// open port then reads EOF/EIO and the path disappears once the driver closes
// it -- the gauge vanished. A later Start() opens a new pty on a new path.
class PtyGauge {
 public:
  explicit PtyGauge(GaugeSim& sim);  // sim must outlive this object
  ~PtyGauge();                       // Close()
  PtyGauge(const PtyGauge&) = delete;
  PtyGauge& operator=(const PtyGauge&) = delete;

  // Creates the pty if there is none; returns the slave path. std::system_error on failure.
  std::string Open();
  // Open() if needed, then starts serving (no-op if running); returns the slave path.
  std::string Start();
  // Ends the serving thread; the pty stays open.
  void Stop();
  // Stop() and close the pty (master and the simulator's slave descriptor).
  void Close();
  void Vanish() { Close(); }
  // The serving thread takes the next complete request, writes the first
  // `reply_bytes` bytes of its answer (0 = none) and then closes the pty
  // itself: the gauge vanishes mid-exchange. Since closing a pty master
  // discards what the slave side has not read yet, it waits 20 ms and then
  // until the slave's input queue is empty (500 ms at most) before closing.
  // Stop()/Close()/Start() afterwards behave as after Close().
  void VanishOnNextRequest(size_t reply_bytes = 0);

  bool IsOpen() const;
  bool Running() const;
  std::string SlavePath() const;  // empty when closed

  // Receives one line per request/answer from the serving thread (default none).
  void SetLog(std::function<void(const std::string&)> log);

  // Totals since construction; exact once the serving thread has stopped.
  uint64_t BytesRead() const;
  uint64_t BytesWritten() const;
  uint64_t WriteCalls() const;  // write() calls that wrote something

 private:
  void Serve(int master, int wake);
  bool WaitUntil(int wake, Clock::time_point when);
  bool WaitForReader(int wake);
  bool WriteSome(int master, int wake, const uint8_t* data, size_t size);
  bool WriteAnswer(int master, int wake, const Answer& answer, size_t limit);
  std::string OpenLocked();
  void StopLocked();
  void CloseFdsLocked();
  void Log(const std::string& line);

  GaugeSim& sim_;
  std::mutex control_mu_;  // serialises Open/Start/Stop/Close (held while joining)
  mutable std::mutex mu_;  // the fields below, shared with the serving thread
  int master_ = -1;
  int slave_ = -1;
  int wake_ = -1;
  std::string path_;
  std::thread thread_;
  bool running_ = false;
  std::optional<size_t> vanish_after_;
  std::function<void(const std::string&)> log_;
  std::atomic<uint64_t> bytes_read_{0};
  std::atomic<uint64_t> bytes_written_{0};
  std::atomic<uint64_t> write_calls_{0};
};

// ---------------------------------------------------------------------------
// Serves a GaugeSim over TCP to one client at a time, as a console's serial
// port serves one computer: a second client is accepted and closed at once.
// kRaw carries the bytes as they are; kRfc2217 is an access server: it agrees
// to the client's WILL COM-PORT-OPTION (and to BINARY and SUPPRESS-GO-AHEAD),
// refuses other options, answers each COM-PORT-OPTION command with its code +
// 100, keeps the line settings in the GaugeSim's statistics, and doubles IAC
// in its replies. Faults as on the pseudo-terminal.
//
// The serving thread waits in poll() on the listener, the client and a
// wake-up eventfd, so Close() ends it promptly, even in a delayed reply.
class TcpGauge {
 public:
  enum class Mode { kRaw, kRfc2217 };
  // Listens on bind:port when started; port 0 takes a free port, which later
  // starts keep. bind is a numeric IPv4 or IPv6 address or a name.
  TcpGauge(GaugeSim& sim, Mode mode, std::string bind = "127.0.0.1", uint16_t port = 0);
  ~TcpGauge();  // Close()
  TcpGauge(const TcpGauge&) = delete;
  TcpGauge& operator=(const TcpGauge&) = delete;

  // Listens and serves (no-op if running); returns the address to map a port
  // to, e.g. "rfc2217://127.0.0.1:5000". std::system_error on failure.
  std::string Start();
  // Ends the serving thread and closes the client and the listener: the
  // server is down and connections are refused until Start().
  void Close();
  void Vanish() { Close(); }
  // The serving thread takes the next complete request, sends the first
  // `reply_bytes` bytes of its answer and goes down as Close() does: a gauge
  // server killed in the middle of a frame.
  void VanishOnNextRequest(size_t reply_bytes = 0);

  bool Running() const;
  bool ClientConnected() const;
  uint16_t Port() const;     // 0 before the first Start()
  uint64_t Clients() const;  // clients served since construction
  void SetLog(std::function<void(const std::string&)> log);

 private:
  class Session;
  void Serve(int listener, int wake);
  std::string AddressLocked() const;
  void CloseLocked();
  void Log(const std::string& line);

  GaugeSim& sim_;
  const Mode mode_;
  const std::string bind_;
  std::mutex control_mu_;  // serialises Start/Close (held while joining)
  mutable std::mutex mu_;  // the fields below, shared with the serving thread
  uint16_t port_ = 0;
  int listener_ = -1;
  int wake_ = -1;
  std::thread thread_;
  bool running_ = false;
  bool client_ = false;
  uint64_t clients_ = 0;
  std::optional<size_t> vanish_after_;
  std::function<void(const std::string&)> log_;
};
#endif

}  // namespace vr::sim
