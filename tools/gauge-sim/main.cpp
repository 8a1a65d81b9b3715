// vr-gauge-sim: a Veeder-Root gauge on a pseudo-terminal. Prints the slave
// path on the first line of stdout and serves until SIGINT/SIGTERM.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "pty_gauge.h"
#include "tank_file.h"
#include "tcp_gauge.h"

namespace {

using vr::sim::GaugeSim;
using vr::sim::PtyGauge;
using vr::sim::TankState;
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
  tanks               list the tanks in the file format
  vanish              close the pty (or the TCP server): the gauge disappears
  start               open a new pty after vanish (or listen again); prints it
  help                this list
  quit                stop and exit

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
        (minutes > 0 ? "over " + minutes_text + " min" : std::string("done")));
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

  bool stdin_open = true;
  std::string pending;
  for (;;) {
    pollfd fds[2] = {{sigfd, POLLIN, 0}, {stdin_open ? 0 : -1, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
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
        continue;
      }
      pending.append(buf, static_cast<size_t>(n));
      size_t nl;
      bool quit = false;
      while (!quit && (nl = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        quit = !program.Command(line);
      }
      if (quit) break;
    }
  }
  if (tcp) tcp->Close();
  pty.Close();
  ::close(sigfd);
  return 0;
}
