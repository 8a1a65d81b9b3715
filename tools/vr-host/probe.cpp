// vr-host --probe. It uses the library's link layer directly rather than a
// driver object: a driver read makes up to three attempts per request, so a
// silent port would cost several 1.5 s waits; here each port gets one.
#include "probe.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/ini_file.h"
#include "config/settings.h"
#include "link/urovn.h"
#include "protocol/frame.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kFirstPort = 1;
constexpr uint16_t kLastPort = 6;
constexpr unsigned kTanks = 16;

// One "i201NN" request and one wait: kOk when the tank answered (the reply
// echoes the request), kNoReply or kHalfFrame when no frame came back, the
// check's verdict otherwise.
vr::ExchangeOutcome AskTank(vr::TUrovn& link, unsigned tank) {
  vr::FrameBuffer frame{};
  const uint8_t length = vr::BuildRequest("i201" + vr::TankDigits(tank), nullptr, 0, frame.data());
  const vr::ExchangeOutcome sent = link.SendRequest(frame.data(), length);
  if (sent != vr::ExchangeOutcome::kOk) return sent;
  vr::FrameBuffer reply{};
  const vr::ExchangeReply r = link.AwaitReply(reply.data(), reply.size());
  if (!r.Ok()) return r.outcome;
  return vr::VerifyReply(reply.data(), r.length, frame.data() + 1).fault;
}

// Whether a whole frame came back, whatever it said.
bool Framed(vr::ExchangeOutcome outcome) {
  return outcome != vr::ExchangeOutcome::kNoReply && outcome != vr::ExchangeOutcome::kHalfFrame &&
         outcome != vr::ExchangeOutcome::kSendRefused;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Probes COM<port>: a progress line, then one verdict line. True when a gauge
// answered.
bool ProbePort(uint16_t port) {
  std::printf("COM%u %s …\n", port, vr::SerialDevicePath(port).c_str());
  std::fflush(stdout);
  const Clock::time_point start = Clock::now();
  std::string verdict;
  bool found = false;
  try {
    vr::TUrovn link(port);
    const vr::ExchangeOutcome first = AskTank(link, 1);
    if (!Framed(first)) {
      verdict = first == vr::ExchangeOutcome::kHalfFrame
                    ? "opens but silent (bytes, but no complete frame)"
                    : "opens but silent";
    } else {
      // Any frame, even the unknown-command reply, is a console; the first
      // reply already tells about tank 1.
      found = true;
      std::string tanks, stop;
      for (unsigned tank = 1; tank <= kTanks; ++tank) {
        const vr::ExchangeOutcome result = tank == 1 ? first : AskTank(link, tank);
        if (!Framed(result)) {  // a wait ran out: no second one on this port
          stop = ", stopped answering at tank " + std::to_string(tank);
          break;
        }
        if (result == vr::ExchangeOutcome::kOk)
          tanks += (tanks.empty() ? " " : ", ") + std::to_string(tank);
      }
      verdict = "gauge found, " + (tanks.empty() ? "no tank answered" : "tanks" + tanks) + stop;
    }
  } catch (const std::exception&) {
    // The port does not open (the link throws; nothing is shown).
    verdict = "absent";
  }
  std::printf("COM%u: %s (%.3f s)\n", port, verdict.c_str(), SecondsSince(start));
  std::fflush(stdout);
  return found;
}

// A temporary settings directory: the user's cnf.INI with [Ports] COM7.. for
// the extra addresses. WINDIR points at it while the object lives.
class ProbeSettings {
 public:
  explicit ProbeSettings(const std::vector<std::string>& addresses) {
    if (addresses.empty()) return;
    std::error_code ec;
    std::string pattern = (std::filesystem::temp_directory_path(ec) / "vr-probe-XXXXXX").string();
    if (ec || ::mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("cannot make a temporary directory");
    try {
      vr::IniFile settings(vr::SettingsFilePath());
      uint16_t port = kLastPort;
      for (const std::string& address : addresses)
        settings.WriteString(vr::kSectionPorts, "COM" + std::to_string(++port), address);
      vr::WriteFileAtomically(pattern + "/" + vr::kSettingsFileName, settings.Text());
    } catch (...) {
      std::filesystem::remove_all(pattern, ec);
      throw;
    }
    dir_ = pattern;
    if (const char* old = std::getenv("WINDIR")) old_windir_ = old, had_windir_ = true;
    ::setenv("WINDIR", dir_.c_str(), 1);
  }
  ~ProbeSettings() {
    if (dir_.empty()) return;
    if (had_windir_)
      ::setenv("WINDIR", old_windir_.c_str(), 1);
    else
      ::unsetenv("WINDIR");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  ProbeSettings(const ProbeSettings&) = delete;
  ProbeSettings& operator=(const ProbeSettings&) = delete;

 private:
  std::string dir_;
  std::string old_windir_;
  bool had_windir_ = false;
};

}  // namespace

int RunProbe(const std::vector<std::string>& addresses) {
  try {
    // WINDIR changes before any port's threads start.
    ProbeSettings settings(addresses);
    const uint16_t last = static_cast<uint16_t>(kLastPort + addresses.size());
    std::vector<uint16_t> found;
    for (uint16_t port = kFirstPort; port <= last; ++port)
      if (ProbePort(port)) found.push_back(port);
    if (found.empty()) {
      std::printf("no gauge found\n");
      return 1;
    }
    std::string ports;
    for (uint16_t port : found) ports += (ports.empty() ? "COM" : ", COM") + std::to_string(port);
    std::printf("gauge found on %s\n", ports.c_str());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vr-host: probe: %s\n", e.what());
    return 1;
  }
}
