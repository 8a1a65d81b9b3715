// The vr-gauge-sim and vr-host programs, run as child processes. Skipped when
// a program is not found next to this test (build its target first, or set
// VR_GAUGE_SIM or VR_HOST to its path).
#ifndef _WIN32

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "protocol/console_reports.h"
#include "protocol/frame.h"
#include "tank_file.h"
#include "test_support.h"

namespace vr::sim {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string FindProgram(const std::string& name = "vr-gauge-sim") {
  const std::string folder = name == "vr-host" ? "vr-host" : "gauge-sim";
  if (const char* env = std::getenv(name == "vr-host" ? "VR_HOST" : "VR_GAUGE_SIM")) return env;
  char exe[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return {};
  fs::path dir = fs::path(std::string(exe, static_cast<size_t>(n))).parent_path();
  for (const fs::path& candidate : {dir / ".." / "tools" / folder / name, dir / folder / name}) {
    std::error_code ec;
    if (fs::exists(candidate, ec)) return fs::canonical(candidate, ec).string();
  }
  return {};
}

class Child {
 public:
  // stderr goes to /dev/null, or with the rest of the output when wanted.
  bool Spawn(const std::string& program, std::vector<std::string> args, bool stderr_too = false) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return false;
    // Everything the child needs is prepared before fork(): only
    // async-signal-safe calls between fork() and exec().
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::dup2(stderr_too ? out[1] : null, 2);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(null);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    return pid_ > 0;
  }

  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (stdin_ >= 0) ::close(stdin_);
    if (stdout_ >= 0) ::close(stdout_);
  }

  // One line of the child's stdout, or "" after the timeout.
  std::string Line(std::chrono::milliseconds timeout = 3000ms) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
      if (size_t nl = buffer_.find('\n'); nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{stdout_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
      char buf[512];
      ssize_t n = ::read(stdout_, buf, sizeof buf);
      if (n <= 0) return {};
      buffer_.append(buf, static_cast<size_t>(n));
    }
  }

  // Everything up to the end of the child's stdout.
  std::string Rest(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{stdout_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[512];
      ssize_t n = ::read(stdout_, buf, sizeof buf);
      if (n <= 0) break;
      buffer_.append(buf, static_cast<size_t>(n));
    }
    return std::exchange(buffer_, std::string());
  }

  void Command(const std::string& line) {
    std::string text = line + "\n";
    ASSERT_EQ(::write(stdin_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  // Exit status after SIGTERM, or -1 if it did not end within the timeout.
  int Terminate(std::chrono::milliseconds timeout) {
    ::kill(pid_, SIGTERM);
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(5ms);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string buffer_;
};

std::string Exchange(int fd, std::string_view request, size_t want,
                     std::chrono::milliseconds timeout) {
  EXPECT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  std::string out;
  auto deadline = Clock::now() + timeout;
  while (out.size() < want) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[256];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

TEST(Program, ServesTanksTakesStdinCommandsAndStopsOnSigterm) {
  std::string program = FindProgram();
  if (program.empty()) GTEST_SKIP() << "vr-gauge-sim not built";
  Child child;
  ASSERT_TRUE(child.Spawn(program, {"--quiet", "--tank", "5:level=42,volume=1000", "--model",
                                    "tls4", "--latency", "50"}));
  std::string path = child.Line();
  ASSERT_EQ(path.rfind("/dev/", 0), 0u) << "first line: " << path;
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  ASSERT_GE(fd, 0);

  std::string r = Exchange(fd, "\x01i20105", kI201Length, 2000ms);
  ASSERT_EQ(r.size(), kI201Length);
  EXPECT_TRUE(VerifyReply(reinterpret_cast<const uint8_t*>(r.data()), r.size()).valid);
  // With a --tank option the demo tanks are not loaded.
  EXPECT_EQ(Exchange(fd, "\x01i20101", kErrorReply.size(), 2000ms), kErrorReply);

  child.Command("fault silent");
  EXPECT_EQ(child.Line(), "faults silent");
  EXPECT_TRUE(Exchange(fd, "\x01i20105", 1, 300ms).empty());
  child.Command("fault none");
  EXPECT_EQ(child.Line(), "faults none");
  child.Command("stats");
  std::string stats = child.Line();
  EXPECT_EQ(stats.rfind("requests=3 replies=2 silenced=1 errors=1 i201=3 last=i20105", 0), 0u)
      << stats;

  auto t0 = Clock::now();
  EXPECT_EQ(Exchange(fd, "\x01i21405", kI214Tls4Length, 2000ms).size(), kI214Tls4Length);
  EXPECT_GE(Clock::now() - t0, 50ms);
  child.Command("model tls350");
  EXPECT_EQ(child.Line(), "model tls350");
  r = Exchange(fd, "\x01i21400", 17 + 57 + 7, 2000ms);  // tank 5 alone, 6 fields
  EXPECT_TRUE(r.size() == 81 && VerifyReply(reinterpret_cast<const uint8_t*>(r.data()), 81).valid);

  child.Command("alarm 5 high_water on");
  EXPECT_EQ(child.Line(), "alarms tank 5 high_water");
  child.Command("status 03 06 05 on");
  EXPECT_EQ(child.Line(), "status 020305 030605");
  EXPECT_EQ(Exchange(fd, "\x01i10100", 36, 2000ms).substr(17, 12), "020305030605");
  child.Command("delivery 5 250");
  EXPECT_EQ(child.Line().rfind("delivery tank 5 250 l done at 20", 0), 0u);
  r = Exchange(fd, "\x01i20C05", 17 + 5 + 22 + 80 + 7, 2000ms);
  vrsilo_delivery d{};
  ASSERT_EQ(DecodeDeliveries(reinterpret_cast<const uint8_t*>(r.data()), r.size(), &d, 1), 1u);
  EXPECT_EQ(std::make_pair(d.start_volume, d.end_volume), std::make_pair(1000.0, 1250.0));

  ::close(fd);
  EXPECT_EQ(child.Terminate(1000ms), 0);
}

TEST(Program, WithoutTankOptionsServesTheDemoTanks) {
  std::string program = FindProgram();
  if (program.empty()) GTEST_SKIP() << "vr-gauge-sim not built";
  Child child;
  ASSERT_TRUE(child.Spawn(program, {"--quiet"}));
  std::string path = child.Line();
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  ASSERT_GE(fd, 0) << path;
  for (std::string_view request : {"\x01i21401", "\x01i21402", "\x01i21403", "\x01i21404"})
    EXPECT_EQ(Exchange(fd, request, kI214Length, 2000ms).size(), kI214Length);
  EXPECT_EQ(Exchange(fd, "\x01i60604", kVolumesReplyLength, 2000ms).size(), kVolumesReplyLength);
  ::close(fd);
  EXPECT_EQ(child.Terminate(1000ms), 0);
}

TEST(Program, HelpDescribesOptionsAndCommands) {
  std::string program = FindProgram();
  if (program.empty()) GTEST_SKIP() << "vr-gauge-sim not built";
  Child child;
  ASSERT_TRUE(child.Spawn(program, {"--help"}));
  std::string all = child.Rest(3000ms);
  EXPECT_EQ(child.Terminate(1000ms), 0);  // it has exited by itself already
  for (const char* word :
       {"--tanks", "--tank", "--fault", "--delay", "--pace", "--quiet", "lower-checksum",
        "i201-only", "byte-by-byte", "fault none", "delay MS", "pace BAUD", "stats", "cal="})
    EXPECT_NE(all.find(word), std::string::npos) << word;
  for (const char* word :
       {"--model", "--latency", "no-all-tanks", "latency MS", "no-reports", "alarm N NAME",
        "status AA NN TT", "delivery N LITRES", "alarms=", "label=", "i10100", "i20CTT"})
    EXPECT_NE(all.find(word), std::string::npos) << word;
  for (const char* word : {"--script FILE", "--speed K", "--start YYYY", "dispense N", "loss N",
                           "drift N", "noise N MM", "wait DURATION", "clock"})
    EXPECT_NE(all.find(word), std::string::npos) << word;
}

TEST(Program, AScriptAt600TimesDeliversHalfAnHourInThreeSeconds) {
  std::string program = FindProgram();
  if (program.empty()) GTEST_SKIP() << "vr-gauge-sim not built";
  test::TempWindowsDir dir;
  const std::string script = dir.Dir() + "/delivery.txt";
  std::ofstream(script) << "# half an hour\ndelivery 1 8000 30\nwait 30m\nclock\n";
  Child child;
  const auto start = Clock::now();
  ASSERT_TRUE(child.Spawn(program, {"--quiet", "--tank", "1:volume=5000", "--speed", "600",
                                    "--start", "2026-12-08T10:00", "--script", script}));
  const std::string path = child.Line();
  EXPECT_EQ(child.Line().rfind("delivery tank 1 8000 l over 30 min at 2026-12-08T10:0", 0), 0u);
  EXPECT_EQ(child.Line().rfind("wait 30m until 2026-12-08T10:3", 0), 0u);
  EXPECT_EQ(child.Line(5000ms).rfind("clock 2026-12-08T10:3", 0), 0u);
  EXPECT_GE(Clock::now() - start, 3000ms);
  EXPECT_LT(Clock::now() - start, 4000ms);
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  ASSERT_GE(fd, 0) << path;
  const std::string r = Exchange(fd, "\x01i20C01", 17 + 5 + 22 + 80 + 7, 2000ms);
  vrsilo_delivery d{};
  ASSERT_EQ(DecodeDeliveries(reinterpret_cast<const uint8_t*>(r.data()), r.size(), &d, 1), 1u);
  EXPECT_EQ(std::make_pair(d.start_volume, d.end_volume), std::make_pair(5000.0, 13000.0));
  std::string end = d.start;
  end[14] = '3';  // 10:0M -> 10:3M
  EXPECT_EQ(std::string(d.end), end);
  ::close(fd);
  EXPECT_EQ(child.Terminate(1000ms), 0);
}

// A connected loopback socket to the address the simulator printed; -1 when refused.
int ConnectTo(const std::string& address) {
  const size_t colon = address.rfind(':');
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(colon + 1))));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  ::close(fd);
  return -1;
}

TEST(Program, ServesAnRfc2217ClientAndShowsItsLineSettings) {
  std::string program = FindProgram();
  if (program.empty()) GTEST_SKIP() << "vr-gauge-sim not built";
  Child child;
  ASSERT_TRUE(child.Spawn(program, {"--quiet", "--rfc2217", "0", "--bind", "127.0.0.1"}));
  const std::string address = child.Line();
  ASSERT_EQ(address.rfind("rfc2217://127.0.0.1:", 0), 0u) << address;
  int fd = ConnectTo(address);
  ASSERT_GE(fd, 0);
  // WILL COM-PORT-OPTION, SET-BAUDRATE 9600: DO, then the confirmation (101).
  using namespace std::string_literals;
  const std::string baud = "\xFF\xFB\x2C\xFF\xFA\x2C\x01\x00\x00\x25\x80\xFF\xF0"s;
  EXPECT_EQ(Exchange(fd, baud, 13, 2000ms),
            "\xFF\xFD\x2C\xFF\xFA\x2C\x65\x00\x00\x25\x80\xFF\xF0"s);
  EXPECT_EQ(Exchange(fd, "\x01i21401", kI214Length, 2000ms).size(), kI214Length);
  child.Command("stats");
  EXPECT_NE(child.Line().find(" line=9600,"), std::string::npos);
  child.Command("vanish");
  EXPECT_EQ(child.Line(), "vanished");
  EXPECT_EQ(ConnectTo(address), -1) << "down";
  child.Command("start");
  EXPECT_EQ(child.Line(), address) << "up again on the same port";
  ::close(fd);
  EXPECT_EQ(child.Terminate(1000ms), 0);
}

TEST(Program, BadOptionValuesAreNamedAndEndWithStatus2) {
  const std::tuple<const char*, std::vector<std::string>, const char*> cases[] = {
      {"vr-host", {"--port", "x"}, "--port: 'x' is not a number from 1 to 6"},
      {"vr-host", {"--port", "99999"}, "--port: '99999'"},
      {"vr-host", {"--port=3x"}, "--port: '3x'"},
      {"vr-host", {"--block", "0"}, "--block: '0'"},
      {"vr-host", {"--count", "-1"}, "--count: '-1'"},
      {"vr-host", {"--tanks", "4-2"}, "--tanks: '4-2'"},
      {"vr-host", {"--tanks", "1-17"}, "--tanks: '1-17'"},
      {"vr-host", {"--calibration", "100"}, "--calibration: '100'"},
      {"vr-host", {"--write-calibration", "1"}, "--write-calibration needs a file"},
      {"vr-host", {"--watch", "--port"}, "--port needs a value"},
      {"vr-host", {"--gui=yes"}, "--gui takes no value"},
      {"vr-host", {"--probe", "--port", "2"}, "--probe takes no other options"},
      {"vr-gauge-sim", {"--delay", "-1"}, "--delay: '-1'"},
      {"vr-gauge-sim", {"--pace", "4294967296"}, "--pace: '4294967296'"},
      {"vr-gauge-sim", {"--model", "tls5"}, "--model: 'tls5'"},
      {"vr-gauge-sim", {"--quiet", "9600"}, "unexpected argument 9600"},
      {"vr-gauge-sim", {"--tcp", "65536"}, "--tcp: '65536'"},
      {"vr-gauge-sim", {"--speed", "0.5"}, "--speed: '0.5'"},
      {"vr-gauge-sim", {"--start", "2026-02-30T10:00"}, "--start: '2026-02-30T10:00'"},
  };
  for (const auto& [name, args, message] : cases) {
    std::string program = FindProgram(name);
    if (program.empty()) GTEST_SKIP() << name << " not built";
    Child child;
    ASSERT_TRUE(child.Spawn(program, args, /*stderr_too=*/true));
    std::string out = child.Rest(3000ms);
    EXPECT_NE(out.find(message), std::string::npos) << name << " " << args[0] << ": " << out;
    EXPECT_EQ(child.Terminate(1000ms), 2) << name << " " << args[0];
  }
}

// [Ports] with COM1..COM6 on paths that do not exist, but COM<good> on `path`.
std::string PortsWith(int good, const std::string& path) {
  std::string text = "[VeederRoot]\r\nConnectionType=3\r\n[Ports]\r\n";
  for (int n = 1; n <= 6; ++n)
    text += "COM" + std::to_string(n) + "=" + (n == good ? path : "/nonexistent/vr-probe") + "\r\n";
  return text;
}

TEST(Program, ProbeTellsEachPortsVerdictWithOneWaitForASilentGauge) {
  std::string sim = FindProgram(), host = FindProgram("vr-host");
  if (sim.empty() || host.empty()) GTEST_SKIP() << "vr-gauge-sim or vr-host not built";
  Child good, silent;
  ASSERT_TRUE(good.Spawn(sim, {"--quiet", "--tank", "2:level=100", "--tank", "5:level=200"}));
  ASSERT_TRUE(silent.Spawn(sim, {"--quiet", "--fault", "silent"}));
  const std::string goodPath = good.Line(), silentPath = silent.Line();
  ASSERT_FALSE(goodPath.empty() || silentPath.empty());
  test::TempWindowsDir windir;
  windir.WriteSettings(PortsWith(2, goodPath));

  Child probe;
  ASSERT_TRUE(probe.Spawn(host, {"--probe", "--probe-address", silentPath}, /*stderr_too=*/true));
  for (int n = 1; n <= 7; ++n) {
    const std::string com = "COM" + std::to_string(n);
    const std::string path = n == 2 ? goodPath : n == 7 ? silentPath : "/nonexistent/vr-probe";
    EXPECT_EQ(probe.Line(), com + " " + path + " …");
    const auto start = Clock::now();
    const std::string result = probe.Line(5000ms);
    const auto took = Clock::now() - start;
    const std::string verdict = n == 2   ? "gauge found, tanks 2, 5 ("
                                : n == 7 ? "opens but silent ("
                                         : "absent (";
    EXPECT_EQ(result.rfind(com + ": " + verdict, 0), 0u) << result;
    if (n == 7) {
      EXPECT_GE(took, 1400ms);
      EXPECT_LT(took, 3000ms);
    }
  }
  // Nothing else: no message-box text for the ports that do not open.
  EXPECT_EQ(probe.Rest(3000ms), "gauge found on COM2\n");
  EXPECT_EQ(probe.Terminate(1000ms), 0);
}

TEST(Program, ProbeEndsWithStatus1WhenNoGaugeAnswers) {
  std::string host = FindProgram("vr-host");
  if (host.empty()) GTEST_SKIP() << "vr-host not built";
  test::TempWindowsDir windir;
  windir.WriteSettings(PortsWith(0, ""));
  Child probe;
  ASSERT_TRUE(probe.Spawn(host, {"--probe"}));
  const std::string out = probe.Rest(5000ms);
  EXPECT_NE(out.find("COM6: absent ("), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with("\nno gauge found\n")) << out;
  EXPECT_EQ(probe.Terminate(1000ms), 1);
}

}  // namespace
}  // namespace vr::sim

#endif  // _WIN32
