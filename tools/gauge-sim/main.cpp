// vr-gauge-sim: a Veeder-Root gauge on a pseudo-terminal. Prints the slave
// path on the first line of stdout and serves until SIGINT/SIGTERM.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "command_line.h"
#include "pty_gauge.h"
#include "tank_file.h"
#include "tcp_gauge.h"

namespace {

using vr::sim::GaugeSim;
using vr::sim::PtyGauge;
using vr::sim::TankState;
using vr::sim::WallClock;
using vr::tools::OptionNumber;

const char kUsage[] = R"(Usage: vr-gauge-sim [OPTIONS]

Simulates a Veeder-Root tank gauge (serial computer interface: i201, i214,
i607, i606, s607, s606 and the console's reports i101, i205, i202, i20C,
i602) on a pseudo-terminal. The slave path (e.g. /dev/pts/5)
is printed on the first line of stdout; open it as the gauge's serial port.
Serves until SIGINT or SIGTERM (or "quit" on stdin).

Options:
  --tanks FILE        load tanks from FILE (format below)
  --tank DESC         add a tank, or change keys of a loaded one; repeatable.
                      DESC is "N:key=value,key=value,...", e.g.
                      --tank "1:level=1234.5,volume=20000,height=2500"
  --demo              start from the demo tanks (the default when neither
                      --tanks nor --tank is given): tanks 1..4, horizontal
                      cylinders of 30000/25000/50000/20000 l with tables
  --fault NAME[,NAME] switch on faults; repeatable. NAME is one of
                        silent          no reply at all
                        bad-checksum    checksum off by one
                        lower-checksum  checksum letters in lower case
                        cut             only the first half of each reply
                        garbage         8 garbage bytes before the SOH
                        i201-only       i214 gets no reply (silent); i201 works
                        no-i606         i606 gets no reply; i607 and the rest work
                        no-i214         i214 gets the unknown-command reply
                                        (an older console); i201 works
                        no-all-tanks    tank 00 requests (i20100, i21400, i20500,
                                        ...) get the unknown-command reply (an
                                        older console); i10100 still answers
                        no-reports      i101, i205, i202, i20C and i602 get the
                                        unknown-command reply (an older console)
                        unknown-command every command gets the unknown-command
                                        reply
                        byte-by-byte    one byte per write(), 0.2 ms apart
  --model MODEL       console family: tls350 (the default) or tls4, whose
                      i214 carries 10 fields (see Replies below)
  --latency MS        the console's processing time: each reply starts no
                      earlier than MS milliseconds after its request (a
                      --delay adds to it)
  --delay MS          wait MS milliseconds before each reply (a fault)
  --pace BAUD         pace at BAUD (8N1, 10 bits a byte; 9600 = 1.0417 ms a
                      byte): reply no earlier than the request's own wire
                      time and write the reply at that rate
  --script FILE       run the commands of FILE (one a line, '#' comments, the
                      commands below and the scenario ones), in order, while
                      serving; "wait DURATION" holds the next line back
  --speed K           the simulated clock runs K times faster than real time
                      (K from 1, decimals allowed; default 1): deliveries,
                      sales, leaks, drifts and waits take 1/K of their time
  --start YYYY-MM-DDTHH:MM
                      the simulated clock's start, local time (default: now);
                      the console's clock (reply headers, delivery times) and
                      the daily pattern of sales follow the simulated clock
  --link PATH         also make PATH a symlink to the slave (removed at exit)
  --tcp PORT          serve one TCP client at a time instead of a pseudo-terminal
                      (PORT 0: a free port); the first line is "tcp://ADDR:PORT"
  --rfc2217 PORT      the same as an RFC 2217 access server ("rfc2217://ADDR:PORT");
                      stats show the line settings the client set
  --bind ADDR         the address --tcp and --rfc2217 listen on (default 127.0.0.1)
  --quiet             do not log requests and replies on stderr
  -h, --help          this text

Commands on stdin while running (one a line; answers go to stdout):
  fault NAME[,NAME]   exactly these faults on, the others off
  fault +NAME | -NAME switch one fault on | off
  fault none          all faults of the list above off
  model tls350|tls4   console family
  latency MS          processing time (0 = none)
  delay MS            reply delay (0 = off)
  pace BAUD           pacing (0 = off)
  stats               counters: requests, per command code, last request;
                      faults, model and latency
  reset               zero the counters
  tank DESC           add a tank or change keys of one (DESC as for --tank)
  alarm N NAME on|off tank N's alarm NAME (a name as for alarms=, or a
                      number 1..99) on or off; prints the tank's alarms
  status AA NN TT on|off
                      a system status (i101) group of another category than
                      the tanks' 02, two-digit decimals: e.g. "status 03 06 05
                      on" for liquid sensor 5's water alarm; prints the groups
  delivery N LITRES [MINUTES]
                      deliver LITRES into tank N, at once (MINUTES 0, the
                      default) or spread evenly over MINUTES: meanwhile its
                      status has bit 0001 and its volume, TC volume and level
                      rise (level by the cal table when there is one) and the
                      ullage falls; at the end the tank gets a delivery
                      report (i202, i20C). One delivery per tank at a time
  remove N            remove tank N (it then gets the error reply)
  clock               the simulated time and the speed
  tanks               list the tanks in the file format
  vanish              close the pty (or the TCP server): the gauge disappears
  start               open a new pty after vanish (or listen again); prints it
  help                this list
  quit                stop and exit

Scenario commands (stdin or --script), in simulated time; each answers with
the simulated time, as delivery does:
  dispense N LITRES_PER_DAY [profile=forecourt|flat] [weekdays=a,b,c,d,e,f,g]
                      sales out of tank N (0 stops them): LITRES_PER_DAY times
                      the day's factor (weekdays=, Monday first, default all
                      1), shared over the local hours flat or as a forecourt
                      (the default: next to nothing 00-05, peaks 07-09 and
                      17-19, low after 22); they stop at an empty tank
  loss N LITRES_PER_MIN
                      a leak out of tank N until "loss N 0"
  drift N DEG_PER_HOUR
                      tank N's temperature moves linearly (0 stops it)
  noise N MM [uniform|gaussian]
                      the level read (i201, i214) is off by up to +-MM,
                      uniform (the default) or gaussian (sigma MM/3, cut at
                      MM), from a seeded generator; the volume, TC volume,
                      ullage and mass read follow the noisy level by the table.
                      The tank itself does not move: the noise never adds up
  wait DURATION       hold the next lines back for DURATION of simulated time
                      (90s, 30m, 2h, 1d; decimals allowed), serving meanwhile;
                      the script and stdin each wait on their own
Whatever moves a tank (a delivery, sales, a leak) moves its level by its cal
table (in proportion without one), its ullage (full-height volume - volume)
and its TC volume: with a density, the volume at 15 C by the petroleum
tables (53B and 54B), recomputed whenever the volume or the temperature moves;
without one, in proportion to the volume. A tank that does not move keeps
the values given (an explicit tc_volume, say).

Tank file: one tank per line, '#' starts a comment, blank lines are ignored:
  # tank N key=value ...   (keys separated by blanks or commas)
  tank 1 level=1234.5 volume=20000 water=3.2 temperature=15.5 density=745.2 height=2500 cal=100,200,...,30000
Keys: volume, tc_volume, ullage, level (mm), water (mm), temperature (C),
water_volume, density (kg/m3), tc_density (kg/m3), mass (kg, 0 = volume *
density / 1000), height (full height, mm), product (1 char),
status (4 chars), cal=v1,...,v20 (volumes at 1/20 .. 20/20 of the height),
capacity=V (derive cal from a horizontal cylinder of V litres),
alarms=NAME+NAME (active tank alarms: high_water, delivery_needed, leak,
overfill, low_product, ... or numbers 1..99, joined by '+'; "alarms=none"
clears them), label=TEXT (the i602 label, '_' for a blank since blanks
separate keys: label=REGULAR_UNLEADED).
Unset numbers are 0, except tc_volume = volume, tc_density = density and
ullage = cal[20] - volume; no alarms, an empty label.
Tanks 1..16; a tank not listed is absent and gets the error reply.

Replies: i201 89 bytes (volume, tc volume, ullage, level, water, temperature,
water volume); i214 81 bytes (volume, mass, density, level, water,
temperature), under --model tls4 113 bytes (volume, mass, density, level,
water, temperature, tc density, tc volume, ullage, water volume);
i607/s607 34 bytes; i606/s606 186 bytes; unknown command or absent tank:
<SOH>9999FF1B<ETX>. Tank 00 (i20100, i21400) answers every tank in one frame:
the date-time once, then per tank in ascending order its number, product,
status, field count and fields.
Console reports, after the date-time; tank 00 for every tank in one frame:
  i10100  system status: a group AANNTT (category, type, device) per active
          alarm in the order raised: tank alarms as 02 + type + tank, and the
          "status" groups; no group at all when nothing is active
  i205TT  per tank: TT, alarm count (2 hex), alarm types (2 decimal each)
  i202TT  per tank: TT, product, deliveries (2 decimal, at most 10), each
          newest first: start and end YYMMDDHHmm, 0A, 10 hex floats: start
          volume, TC volume, water, temperature, end volume, TC volume, water,
          temperature, start height, end height
  i20CTT  the same with the newest delivery only (00 or 01); under --model
          tls4 16 floats (adds start and end mass, density, TC density)
  i602TT  per tank: TT and the label, 20 characters padded with blanks
)";

std::mutex g_out_mu;

void Out(const std::string& line) {
  std::lock_guard lock(g_out_mu);
  std::cout << line << '\n' << std::flush;
}

void Err(const std::string& line) {
  std::lock_guard lock(g_out_mu);
  std::cerr << "vr-gauge-sim: " << line << '\n' << std::flush;
}

bool ParseUnsigned(std::string_view text, unsigned& out) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size();
}

bool ParseDecimal(std::string_view text, double& out) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size() && std::isfinite(out);
}

std::vector<std::string> Split(std::string_view text, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(sep, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) out.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// "2026-12-08T17:29:13", local time.
std::string FormatWall(WallClock::time_point when) {
  const std::time_t time = WallClock::to_time_t(when);
  std::tm tm{};
  localtime_r(&time, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  return buf;
}

// --start "YYYY-MM-DDTHH:MM", local time; a date that does not exist is refused.
WallClock::time_point ParseStart(const std::string& text) {
  std::tm tm{};
  char tail = 0;
  const int got = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d%c", &tm.tm_year, &tm.tm_mon,
                              &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tail);
  const std::tm given = tm;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  const std::time_t time = got == 5 ? std::mktime(&tm) : -1;
  if (time == -1 || tm.tm_mday != given.tm_mday || tm.tm_hour != given.tm_hour ||
      tm.tm_min != given.tm_min)
    throw std::invalid_argument("--start: '" + text + "' is not YYYY-MM-DDTHH:MM");
  return WallClock::from_time_t(time);
}

// "90s", "30m", "2h", "1d" (decimals allowed).
std::optional<WallClock::duration> ParseDuration(std::string_view text) {
  static const std::pair<char, double> kUnits[] = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};
  double value = 0;
  if (text.size() < 2 || !ParseDecimal(text.substr(0, text.size() - 1), value) || value < 0 ||
      value > 1e9)
    return std::nullopt;
  for (const auto& [unit, seconds] : kUnits)
    if (text.back() == unit)
      return std::chrono::duration_cast<WallClock::duration>(
          std::chrono::duration<double>(value * seconds));
  return std::nullopt;
}

// Command lines waiting their turn: the script's or stdin's, each held up by
// its own "wait".
struct Lines {
  std::deque<std::string> queue;
  std::optional<vr::sim::Clock::time_point> until;  // a wait in progress
  // Where the last wait ended: a wait right after it counts from there, so
  // that the waits of a script add up exactly whatever the loop's delays.
  std::optional<vr::sim::Clock::time_point> mark;
};

// Adds the tank of desc, or changes only the given keys of an existing one.
void ApplyTank(std::map<int, TankState>& tanks, const std::string& desc) {
  auto [n, fresh] = vr::sim::ParseTankSpec(desc);
  auto it = tanks.find(n);
  if (it == tanks.end()) {
    tanks[n] = fresh;
  } else {
    it->second = vr::sim::ParseTankSpec(desc, &it->second).second;
  }
}

std::string StatsLine(const GaugeSim& sim) {
  vr::sim::Stats s = sim.GetStats();
  std::ostringstream out;
  out << "requests=" << s.requests << " replies=" << s.replies << " silenced=" << s.silenced
      << " errors=" << s.errors;
  for (const auto& [code, count] : s.by_code) out << ' ' << code << '=' << count;
  out << " last=" << (s.last_request.empty() ? "-" : vr::sim::PrintableBytes(s.last_request))
      << " faults=" << vr::sim::DescribeFaults(sim.GetFaults())
      << " model=" << vr::sim::ModelName(sim.GetModel()) << " latency=" << sim.GetLatency() << "ms";
  if (s.line != vr::sim::LineSettings{}) out << " line=" << vr::sim::DescribeLine(s.line);
  return out.str();
}

class Program {
 public:
  Program(GaugeSim& sim, PtyGauge& pty, std::string link, vr::sim::TcpGauge* tcp = nullptr)
      : sim_(sim), pty_(pty), link_(link), tcp_(tcp) {}
  ~Program() { RemoveLink(); }

  std::string StartPty() {
    std::string path = tcp_ ? tcp_->Start() : pty_.Start();
    if (!link_.empty() && !tcp_) {
      RemoveLink();
      if (::symlink(path.c_str(), link_.c_str()) != 0)
        Err("cannot create link " + link_ + ": " + std::strerror(errno));
    }
    return path;
  }

  // Runs the lines that no wait holds up; false after "quit".
  bool Run(Lines& lines) {
    const auto now = vr::sim::Clock::now();
    if (lines.until) {
      if (now < *lines.until) return true;
      lines.mark = std::exchange(lines.until, std::nullopt);
    }
    while (!lines.queue.empty()) {
      std::string line = std::move(lines.queue.front());
      lines.queue.pop_front();
      std::istringstream in(line.substr(0, line.find('#')));
      std::string word, duration, extra;
      in >> word >> duration >> extra;
      if (word != "wait") {
        if (!Command(line)) return false;
        continue;
      }
      const std::optional<WallClock::duration> wait = ParseDuration(duration);
      if (!wait || !extra.empty()) {
        Out("error: wait needs a DURATION such as 90s, 30m, 2h or 1d");
        continue;
      }
      const WallClock::time_point end = sim_.WallTime(lines.mark.value_or(now)) + *wait;
      lines.until = sim_.SteadyTime(end);
      Out("wait " + duration + " until " + FormatWall(end));
      return true;
    }
    lines.mark.reset();
    return true;
  }

  // Returns false for "quit".
  bool Command(const std::string& raw) {
    std::string line = raw;
    if (auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    std::istringstream in(line);
    std::string cmd, arg;
    in >> cmd;
    std::getline(in, arg);
    arg.erase(0, arg.find_first_not_of(" \t"));
    while (!arg.empty() && std::isspace(static_cast<unsigned char>(arg.back()))) arg.pop_back();
    if (cmd.empty()) return true;
    try {
      if (cmd == "quit" || cmd == "exit") return false;
      if (cmd == "help") {
        Out(kUsage);
      } else if (cmd == "fault") {
        Fault(arg);
      } else if (cmd == "delay" || cmd == "pace") {
        unsigned v = 0;
        if (!ParseUnsigned(arg, v)) throw std::invalid_argument(cmd + " needs a number");
        if (cmd == "delay")
          sim_.SetDelay(v);
        else
          sim_.SetPace(v);
        Out("faults " + vr::sim::DescribeFaults(sim_.GetFaults()));
      } else if (cmd == "model") {
        std::optional<GaugeSim::Model> model = vr::sim::ParseModel(arg);
        if (!model) throw std::invalid_argument("model is tls350 or tls4");
        sim_.SetModel(*model);
        Out("model " + arg);
      } else if (cmd == "latency") {
        sim_.SetLatency(static_cast<unsigned>(OptionNumber("latency", arg, 0, UINT_MAX)));
        Out("latency " + std::to_string(sim_.GetLatency()) + "ms");
      } else if (cmd == "stats") {
        Out(StatsLine(sim_));
      } else if (cmd == "reset") {
        sim_.ResetStats();
        Out("stats reset");
      } else if (cmd == "tank") {
        // An update in one step, so that a delivery running meanwhile is kept.
        auto [n, fresh] = vr::sim::ParseTankSpec(arg);
        sim_.Advance();
        if (!sim_.UpdateTank(n, [&](TankState& t) { t = vr::sim::ParseTankSpec(arg, &t).second; }))
          sim_.SetTank(n, fresh);
        Out(vr::sim::FormatTank(n, *sim_.GetTank(n)));
      } else if (cmd == "alarm") {
        Alarm(arg);
      } else if (cmd == "status") {
        Status(arg);
      } else if (cmd == "delivery") {
        Delivery(arg);
      } else if (cmd == "dispense") {
        Dispense(arg);
      } else if (cmd == "loss" || cmd == "drift") {
        std::istringstream in(arg);
        std::string tank, rate, extra;
        in >> tank >> rate >> extra;
        double value = 0;
        if (!ParseDecimal(rate, value) || !extra.empty() || (cmd == "loss" && value < 0))
          throw std::invalid_argument(cmd + " needs N " +
                                      (cmd == "loss" ? "LITRES_PER_MIN" : "DEG_PER_HOUR"));
        ChangeActivity(tank, [&](vr::sim::Activity& a) {
          (cmd == "loss" ? a.loss_per_minute : a.drift_per_hour) = value;
        });
        Out(cmd + " tank " + tank + " " +
            (value == 0 ? std::string("off") : rate + (cmd == "loss" ? " l/min" : " C/h")) +
            " at " + SimTime());
      } else if (cmd == "noise") {
        std::istringstream in(arg);
        std::string tank, mm, shape = "uniform", extra;
        in >> tank >> mm >> shape >> extra;
        double value = 0;
        if (!ParseDecimal(mm, value) || value < 0 || !extra.empty() ||
            (shape != "uniform" && shape != "gaussian"))
          throw std::invalid_argument("noise needs N MM [uniform|gaussian]");
        ChangeActivity(tank, [&](vr::sim::Activity& a) {
          a.noise_mm = value;
          a.noise =
              shape == "gaussian" ? vr::sim::NoiseShape::kGaussian : vr::sim::NoiseShape::kUniform;
        });
        Out("noise tank " + tank + " " + (value == 0 ? "off" : mm + " mm " + shape) + " at " +
            SimTime());
      } else if (cmd == "clock") {
        char speed[32];
        std::snprintf(speed, sizeof speed, "%g", sim_.Speed());
        Out("clock " + SimTime() + " speed " + speed);
      } else if (cmd == "remove") {
        unsigned n = 0;
        if (!ParseUnsigned(arg, n)) throw std::invalid_argument("remove needs a tank number");
        Out(sim_.RemoveTank(static_cast<int>(n)) ? "removed tank " + arg : "no tank " + arg);
      } else if (cmd == "tanks") {
        sim_.Advance();
        for (int n : sim_.TankNumbers()) Out(vr::sim::FormatTank(n, *sim_.GetTank(n)));
        Out("end");
      } else if (cmd == "vanish") {
        tcp_ ? tcp_->Close() : pty_.Close();
        RemoveLink();
        Out("vanished");
      } else if (cmd == "start") {
        Out(StartPty());
      } else {
        Out("unknown command '" + cmd + "' (try help)");
      }
    } catch (const std::exception& e) {
      Out(std::string("error: ") + e.what());
    }
    return true;
  }

 private:
  void Fault(const std::string& arg) {
    if (arg.empty()) throw std::invalid_argument("fault needs a name");
    vr::sim::Faults f = sim_.GetFaults();
    if (arg[0] == '+' || arg[0] == '-') {
      if (!vr::sim::SetFaultByName(f, arg.substr(1), arg[0] == '+'))
        throw std::invalid_argument("unknown fault '" + arg.substr(1) + "'");
    } else {
      vr::sim::SetFaultByName(f, "none");
      for (const std::string& name : Split(arg, ','))
        if (!vr::sim::SetFaultByName(f, name))
          throw std::invalid_argument("unknown fault '" + name + "'");
    }
    sim_.SetFaults(f);
    Out("faults " + vr::sim::DescribeFaults(f));
  }

  // "N NAME on|off"
  void Alarm(const std::string& arg) {
    std::istringstream in(arg);
    std::string tank, name, state, extra;
    in >> tank >> name >> state >> extra;
    unsigned n = 0;
    const int type = vr::sim::ParseAlarmType(name);
    if (!ParseUnsigned(tank, n) || type == 0 || !extra.empty() || (state != "on" && state != "off"))
      throw std::invalid_argument("alarm needs N NAME on|off, NAME a tank alarm or 1..99");
    if (!sim_.SetAlarm(static_cast<int>(n), type, state == "on"))
      throw std::invalid_argument("no tank " + tank);
    Out("alarms tank " + tank + " " +
        vr::sim::FormatAlarms(sim_.GetTank(static_cast<int>(n))->alarms));
  }

  // "AA NN TT on|off"
  void Status(const std::string& arg) {
    std::istringstream in(arg);
    std::string parts[3], state, extra;
    in >> parts[0] >> parts[1] >> parts[2] >> state >> extra;
    unsigned v[3] = {};
    for (int k = 0; k < 3; ++k)
      if (parts[k].size() != 2 || !ParseUnsigned(parts[k], v[k]))
        throw std::invalid_argument("status needs AA NN TT on|off, two digits each");
    if (!extra.empty() || (state != "on" && state != "off"))
      throw std::invalid_argument("status needs AA NN TT on|off, two digits each");
    if (!sim_.SetStatusGroup(static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]),
                             state == "on"))
      throw std::invalid_argument("category 02 comes from the tanks: use alarm");
    std::string groups;
    char group[8];
    for (const vr::sim::StatusGroup& g : sim_.StatusGroups()) {
      std::snprintf(group, sizeof group, " %02d%02d%02d", g.category, g.type, g.device);
      groups += group;
    }
    Out("status" + (groups.empty() ? std::string(" none") : groups));
  }

  // "N LITRES [MINUTES]"
  void Delivery(const std::string& arg) {
    std::istringstream in(arg);
    std::string tank, litres_text, minutes_text = "0", extra;
    in >> tank >> litres_text >> minutes_text >> extra;
    unsigned n = 0;
    double litres = 0, minutes = 0;
    if (!ParseUnsigned(tank, n) || !ParseDecimal(litres_text, litres) ||
        !ParseDecimal(minutes_text, minutes) || !extra.empty() || litres <= 0 || minutes < 0 ||
        minutes > 1e6)
      throw std::invalid_argument("delivery needs N LITRES [MINUTES], LITRES above 0");
    const auto duration = std::chrono::duration_cast<vr::sim::Clock::duration>(
        std::chrono::duration<double, std::ratio<60>>(minutes));
    if (!sim_.GetTank(static_cast<int>(n))) throw std::invalid_argument("no tank " + tank);
    if (!sim_.Deliver(static_cast<int>(n), static_cast<float>(litres), duration))
      throw std::invalid_argument("tank " + tank + " has a delivery running");
    Out("delivery tank " + tank + " " + litres_text + " l " +
        (minutes > 0 ? "over " + minutes_text + " min" : std::string("done")) + " at " + SimTime());
  }

  // "N LITRES_PER_DAY [profile=forecourt|flat] [weekdays=a,b,c,d,e,f,g]"
  void Dispense(const std::string& arg) {
    static const char kUsageText[] =
        "dispense needs N LITRES_PER_DAY [profile=forecourt|flat] [weekdays=a,b,c,d,e,f,g]";
    std::istringstream in(arg);
    std::string tank, rate, item;
    in >> tank >> rate;
    double per_day = 0;
    if (!ParseDecimal(rate, per_day) || per_day < 0) throw std::invalid_argument(kUsageText);
    vr::sim::SalesProfile profile = vr::sim::SalesProfile::kForecourt;
    std::array<double, 7> weekdays{1, 1, 1, 1, 1, 1, 1};
    std::string weekdays_text = "1,1,1,1,1,1,1";
    while (in >> item) {
      if (item == "profile=forecourt" || item == "profile=flat") {
        profile = item == "profile=flat" ? vr::sim::SalesProfile::kFlat
                                         : vr::sim::SalesProfile::kForecourt;
      } else if (item.rfind("weekdays=", 0) == 0) {
        weekdays_text = item.substr(9);
        const std::vector<std::string> factors = Split(weekdays_text, ',');
        if (factors.size() != 7) throw std::invalid_argument(kUsageText);
        for (size_t d = 0; d < 7; ++d)
          if (!ParseDecimal(factors[d], weekdays[d]) || weekdays[d] < 0)
            throw std::invalid_argument(kUsageText);
      } else {
        throw std::invalid_argument(kUsageText);
      }
    }
    ChangeActivity(tank, [&](vr::sim::Activity& a) {
      a.sales_per_day = per_day;
      a.profile = profile;
      a.weekdays = weekdays;
    });
    const char* name = profile == vr::sim::SalesProfile::kFlat ? "flat" : "forecourt";
    Out("dispense tank " + tank + " " +
        (per_day == 0 ? std::string("off")
                      : rate + " l/day " + name + " weekdays=" + weekdays_text) +
        " at " + SimTime());
  }

  void ChangeActivity(const std::string& tank,
                      const std::function<void(vr::sim::Activity&)>& change) {
    unsigned n = 0;
    if (!ParseUnsigned(tank, n)) throw std::invalid_argument("expected a tank number");
    std::optional<vr::sim::Activity> activity = sim_.GetActivity(static_cast<int>(n));
    if (!activity) throw std::invalid_argument("no tank " + tank);
    change(*activity);
    if (!sim_.SetActivity(static_cast<int>(n), *activity))
      throw std::invalid_argument("no tank " + tank);
  }

  // The simulated time now, the model moved on to it.
  std::string SimTime() {
    sim_.Advance();
    return FormatWall(sim_.ModelTime());
  }

  void RemoveLink() {
    struct stat st {};
    if (!link_.empty() && ::lstat(link_.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
      ::unlink(link_.c_str());
  }

  GaugeSim& sim_;
  PtyGauge& pty_;
  std::string link_;
  vr::sim::TcpGauge* tcp_;
};

enum LongOption {
  kTanks = vr::tools::kLongOption,
  kTank,
  kDemo,
  kFault,
  kModel,
  kLatency,
  kDelay,
  kPace,
  kLink,
  kQuiet,
  kTcp,
  kRfc2217,
  kBind,
  kScript,
  kSpeed,
  kStart,
};

const option kLongOptions[] = {
    {"tanks", required_argument, nullptr, kTanks},
    {"tank", required_argument, nullptr, kTank},
    {"demo", no_argument, nullptr, kDemo},
    {"fault", required_argument, nullptr, kFault},
    {"model", required_argument, nullptr, kModel},
    {"latency", required_argument, nullptr, kLatency},
    {"delay", required_argument, nullptr, kDelay},
    {"pace", required_argument, nullptr, kPace},
    {"link", required_argument, nullptr, kLink},
    {"quiet", no_argument, nullptr, kQuiet},
    {"tcp", required_argument, nullptr, kTcp},
    {"rfc2217", required_argument, nullptr, kRfc2217},
    {"bind", required_argument, nullptr, kBind},
    {"script", required_argument, nullptr, kScript},
    {"speed", required_argument, nullptr, kSpeed},
    {"start", required_argument, nullptr, kStart},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

int Usage(const std::string& error) {
  std::cerr << "vr-gauge-sim: " << error << "\nTry 'vr-gauge-sim --help'.\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  GaugeSim sim;
  vr::sim::Faults faults;
  std::map<int, TankState> tanks;
  bool have_tanks = false, quiet = false;
  std::string link;
  std::optional<vr::sim::TcpGauge::Mode> tcp_mode;
  uint16_t tcp_port = 0;
  std::string bind = "127.0.0.1";
  Lines script, input;
  double speed = 1;
  WallClock::time_point start = WallClock::now();

  try {
    const bool run = vr::tools::ForEachOption(argc, argv, kLongOptions, [&](int c) {
      switch (c) {
        case 'h':
          std::cout << kUsage;
          return false;
        case kTanks:
          for (auto& [n, t] : vr::sim::LoadTankFile(optarg)) tanks[n] = t;
          have_tanks = true;
          break;
        case kTank:
          ApplyTank(tanks, optarg);
          have_tanks = true;
          break;
        case kDemo:
          for (auto& [n, t] : vr::sim::DemoTanks()) tanks[n] = t;
          have_tanks = true;
          break;
        case kFault:
          for (const std::string& name : Split(optarg, ','))
            if (!vr::sim::SetFaultByName(faults, name))
              throw std::invalid_argument("unknown fault '" + name + "'");
          break;
        case kModel:
          if (auto model = vr::sim::ParseModel(optarg))
            sim.SetModel(*model);
          else
            throw std::invalid_argument(std::string("--model: '") + optarg +
                                        "' is not tls350 or tls4");
          break;
        case kLatency:
          sim.SetLatency(static_cast<unsigned>(OptionNumber("--latency", optarg, 0, UINT_MAX)));
          break;
        case kDelay:
          faults.delay_ms = static_cast<unsigned>(OptionNumber("--delay", optarg, 0, UINT_MAX));
          break;
        case kPace:
          faults.pace_baud = static_cast<unsigned>(OptionNumber("--pace", optarg, 0, UINT_MAX));
          break;
        case kLink:
          link = optarg;
          break;
        case kQuiet:
          quiet = true;
          break;
        case kTcp:
        case kRfc2217:
          tcp_mode = c == kTcp ? vr::sim::TcpGauge::Mode::kRaw : vr::sim::TcpGauge::Mode::kRfc2217;
          tcp_port = static_cast<uint16_t>(
              OptionNumber(c == kTcp ? "--tcp" : "--rfc2217", optarg, 0, 65535));
          break;
        case kBind:
          bind = optarg;
          break;
        case kScript: {
          std::ifstream file(optarg);
          if (!file) throw std::invalid_argument(std::string("--script: cannot read ") + optarg);
          for (std::string line; std::getline(file, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            script.queue.push_back(line);
          }
          break;
        }
        case kSpeed:
          if (!ParseDecimal(optarg, speed) || speed < 1 || speed > 1e6)
            throw std::invalid_argument(std::string("--speed: '") + optarg +
                                        "' is not a number from 1 to 1000000");
          break;
        case kStart:
          start = ParseStart(optarg);
          break;
      }
      return true;
    });
    if (!run) return 0;
  } catch (const std::exception& e) {
    return Usage(e.what());
  }
  if (!have_tanks) tanks = vr::sim::DemoTanks();
  sim.SetTanks(tanks);
  sim.SetFaults(faults);
  sim.SetClock(start, speed);

  // SIGINT/SIGTERM arrive through a signalfd; block them before any thread starts.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  int sigfd = ::signalfd(-1, &signals, SFD_CLOEXEC);
  if (sigfd < 0) {
    Err(std::string("signalfd: ") + std::strerror(errno));
    return 1;
  }

  PtyGauge pty(sim);
  if (!quiet) pty.SetLog([](const std::string& line) { Err(line); });
  std::optional<vr::sim::TcpGauge> tcp;
  if (tcp_mode) {
    tcp.emplace(sim, *tcp_mode, bind, tcp_port);
    if (!quiet) tcp->SetLog([](const std::string& line) { Err(line); });
  }
  Program program(sim, pty, link, tcp ? &*tcp : nullptr);
  try {
    Out(program.StartPty());
  } catch (const std::exception& e) {
    Err(e.what());
    return 1;
  }
  if (!quiet) {
    std::string numbers;
    for (int n : sim.TankNumbers()) numbers += (numbers.empty() ? "" : ",") + std::to_string(n);
    Err("serving tanks " + (numbers.empty() ? std::string("none") : numbers) + ", faults " +
        vr::sim::DescribeFaults(faults) + ", model " +
        std::string(vr::sim::ModelName(sim.GetModel())) + ", latency " +
        std::to_string(sim.GetLatency()) + "ms");
  }

  bool stdin_open = true, run = program.Run(script);
  std::string pending;
  while (run) {
    // Sleep until a signal, a line on stdin or the end of a wait.
    int timeout = -1;
    for (const Lines* lines : {&script, &input}) {
      if (!lines->until) continue;
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(*lines->until - vr::sim::Clock::now());
      const int ms = static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
      timeout = timeout < 0 ? ms : std::min(timeout, ms);
    }
    pollfd fds[2] = {{sigfd, POLLIN, 0}, {stdin_open ? 0 : -1, POLLIN, 0}};
    if (::poll(fds, 2, timeout) < 0) {
      if (errno == EINTR) continue;
      Err(std::string("poll: ") + std::strerror(errno));
      break;
    }
    if (fds[0].revents) {
      signalfd_siginfo info{};
      ssize_t ignored = ::read(sigfd, &info, sizeof info);
      (void)ignored;
      if (!quiet) Err(std::string("stopping on ") + strsignal(static_cast<int>(info.ssi_signo)));
      break;
    }
    if (fds[1].revents) {
      char buf[1024];
      ssize_t n = ::read(0, buf, sizeof buf);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        stdin_open = false;  // EOF: keep serving until a signal
      } else {
        pending.append(buf, static_cast<size_t>(n));
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1))
          input.queue.push_back(pending.substr(0, nl));
      }
    }
    run = program.Run(script) && program.Run(input);
  }
  if (tcp) tcp->Close();
  pty.Close();
  ::close(sigfd);
  return 0;
}
