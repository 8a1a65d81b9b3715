// The pseudo-terminal transport of the gauge simulator, with real threads.
#ifndef _WIN32

#include "pty_gauge.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "protocol/hex_float.h"
#include "tank_file.h"

namespace vr::sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

int CountOpenFds() {
  int n = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return -1;
  while (dirent* e = ::readdir(dir))
    if (e->d_name[0] != '.') ++n;
  ::closedir(dir);
  return n - 1;  // the directory's own descriptor
}

int OpenPort(const std::string& path) {
  return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
}

void Send(int fd, std::string_view bytes) {
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Reads until `want` bytes have come or `timeout` passes without them.
Bytes ReadFor(int fd, size_t want, std::chrono::milliseconds timeout, int* reads = nullptr) {
  Bytes out;
  auto deadline = Clock::now() + timeout;
  while (out.size() < want) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    uint8_t buf[256];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    if (reads) ++*reads;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

bool Valid(const Bytes& b) {
  return VerifyReply(b.data(), b.size()).valid;
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

class PtyGaugeTest : public ::testing::Test {
 protected:
  void SetUp() override { sim.SetTanks(DemoTanks()); }
  GaugeSim sim;
};

TEST_F(PtyGaugeTest, AnswersARequestWrittenToTheSlave) {
  PtyGauge gauge(sim);
  std::string path = gauge.Start();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(gauge.SlavePath(), path);
  EXPECT_TRUE(gauge.Running());
  int fd = OpenPort(path);
  ASSERT_GE(fd, 0) << path;
  Send(fd, "\x01i21401");
  Bytes r = ReadFor(fd, kI214Length, 2000ms);
  ASSERT_EQ(r.size(), kI214Length);
  EXPECT_TRUE(Valid(r));
  FrameBuffer buf{};
  std::copy(r.begin(), r.end(), buf.begin());
  EXPECT_FLOAT_EQ(HexToSingle(buf.data(), 50), DemoTanks().at(1).level);
  EXPECT_EQ(sim.GetStats().Count("i214"), 1u);

  // Calibration exchange split into pieces with a pause in between.
  std::string payload(160, '0');
  Send(fd, "\x01s606");
  std::this_thread::sleep_for(20ms);
  Send(fd, "01" + payload);
  r = ReadFor(fd, kVolumesReplyLength, 2000ms);
  EXPECT_EQ(r.size(), kVolumesReplyLength);
  EXPECT_TRUE(Valid(r));
  ::close(fd);
  gauge.Stop();  // the counters are complete once the thread has ended
  EXPECT_EQ(gauge.BytesRead(), 7u + 167u);
  EXPECT_EQ(gauge.BytesWritten(), kI214Length + kVolumesReplyLength);
}

TEST_F(PtyGaugeTest, TheDriverCanCloseAndReopenThePort) {
  PtyGauge gauge(sim);
  std::string path = gauge.Start();
  for (int round = 0; round < 3; ++round) {
    int fd = OpenPort(path);
    ASSERT_GE(fd, 0);
    Send(fd, "\x01i20102");
    Bytes r = ReadFor(fd, kI201Length, 2000ms);
    EXPECT_EQ(r.size(), kI201Length) << "round " << round;
    EXPECT_TRUE(Valid(r));
    ::close(fd);
  }
  EXPECT_TRUE(gauge.Running());
  EXPECT_EQ(sim.GetStats().requests, 3u);
}

TEST_F(PtyGaugeTest, UnknownCommandGetsTheErrorReply) {
  PtyGauge gauge(sim);
  int fd = OpenPort(gauge.Start());
  ASSERT_GE(fd, 0);
  Send(fd, "\x01i20109");
  Bytes r = ReadFor(fd, kErrorReply.size(), 2000ms);
  EXPECT_EQ(std::string(r.begin(), r.end()), kErrorReply);
  ::close(fd);
}

TEST_F(PtyGaugeTest, PacingAt9600TakesAtLeastTheWireTime) {
  sim.SetPace(9600);
  PtyGauge gauge(sim);
  int fd = OpenPort(gauge.Start());
  ASSERT_GE(fd, 0);
  auto t0 = Clock::now();
  Send(fd, "\x01i20101");
  int reads = 0;
  Bytes first = ReadFor(fd, 1, 2000ms);
  auto t_first = Clock::now();
  Bytes rest = ReadFor(fd, kI201Length - first.size(), 2000ms, &reads);
  auto t_end = Clock::now();
  first.insert(first.end(), rest.begin(), rest.end());
  ASSERT_EQ(first.size(), kI201Length);
  EXPECT_TRUE(Valid(first));
  // 7 request bytes, then the first reply byte: 8 byte times before it arrives.
  EXPECT_GE(Ms(t_first - t0), 8 * 1.0417 - 0.05);
  // Request and reply together: 96 bytes at 1.0417 ms.
  EXPECT_GE(Ms(t_end - t0), 96 * 1.0417 - 0.05);
  EXPECT_LT(Ms(t_end - t0), 1000.0);
  ::close(fd);
  gauge.Stop();
  EXPECT_GT(gauge.WriteCalls(), 1u);  // written in pieces as the bytes fall due
  EXPECT_GE(reads, 1);
}

TEST_F(PtyGaugeTest, DelayHoldsTheReplyBack) {
  sim.SetDelay(250);
  PtyGauge gauge(sim);
  int fd = OpenPort(gauge.Start());
  ASSERT_GE(fd, 0);
  auto t0 = Clock::now();
  Send(fd, "\x01i60703");
  Bytes r = ReadFor(fd, kHeightReplyLength, 2000ms);
  EXPECT_GE(Ms(Clock::now() - t0), 250.0);
  EXPECT_EQ(r.size(), kHeightReplyLength);
  EXPECT_TRUE(Valid(r));
  ::close(fd);
}

TEST_F(PtyGaugeTest, ByteByByteStillDeliversTheWholeReply) {
  sim.SetFault("byte-by-byte");
  PtyGauge gauge(sim);
  int fd = OpenPort(gauge.Start());
  ASSERT_GE(fd, 0);
  auto t0 = Clock::now();
  Send(fd, "\x01i20104");
  int reads = 0;
  Bytes r = ReadFor(fd, kI201Length, 2000ms, &reads);
  EXPECT_EQ(r.size(), kI201Length);
  EXPECT_TRUE(Valid(r));
  EXPECT_GE(Ms(Clock::now() - t0), 88 * 0.2);  // 0.2 ms between single-byte writes
  ::close(fd);
  gauge.Stop();
  EXPECT_EQ(gauge.WriteCalls(), kI201Length);  // one write() per byte
  // (How many read() calls the reader needs depends on its scheduling: `reads`
  // is usually well above 1 but is not asserted.)
  EXPECT_GE(reads, 1);
}

TEST_F(PtyGaugeTest, SilentGaugeSendsNothing) {
  sim.SetFault("silent");
  PtyGauge gauge(sim);
  int fd = OpenPort(gauge.Start());
  ASSERT_GE(fd, 0);
  Send(fd, "\x01i20101");
  EXPECT_TRUE(ReadFor(fd, 1, 300ms).empty());
  EXPECT_EQ(sim.GetStats().requests, 1u);
  sim.SetFault("silent", false);  // switched at run time
  Send(fd, "\x01i20101");
  EXPECT_EQ(ReadFor(fd, kI201Length, 2000ms).size(), kI201Length);
  ::close(fd);
}

TEST_F(PtyGaugeTest, StartAndStopArePromptEvenDuringADelayedReply) {
  sim.SetDelay(5000);
  PtyGauge gauge(sim);
  auto t0 = Clock::now();
  std::string path = gauge.Start();
  EXPECT_LT(Ms(Clock::now() - t0), 200.0);
  int fd = OpenPort(path);
  ASSERT_GE(fd, 0);
  Send(fd, "\x01i20101");
  std::this_thread::sleep_for(50ms);  // the thread now waits out the delay
  t0 = Clock::now();
  gauge.Stop();
  EXPECT_LT(Ms(Clock::now() - t0), 200.0);
  EXPECT_FALSE(gauge.Running());
  EXPECT_TRUE(gauge.IsOpen());  // Stop keeps the pty
  EXPECT_EQ(gauge.SlavePath(), path);
  EXPECT_TRUE(ReadFor(fd, 1, 100ms).empty());

  // Serving again on the same path.
  sim.SetDelay(0);
  EXPECT_EQ(gauge.Start(), path);
  Send(fd, "\x01i20101");
  EXPECT_EQ(ReadFor(fd, kI201Length, 2000ms).size(), kI201Length);
  ::close(fd);
}

TEST_F(PtyGaugeTest, StopDuringAPacedReplyIsPrompt) {
  sim.SetPace(300);  // an 186-byte reply takes over 6 s at 300 baud
  PtyGauge gauge(sim);
  int fd = OpenPort(gauge.Start());
  ASSERT_GE(fd, 0);
  Send(fd, "\x01i60601");
  Bytes some = ReadFor(fd, 2, 2000ms);
  EXPECT_FALSE(some.empty());
  auto t0 = Clock::now();
  gauge.Stop();
  EXPECT_LT(Ms(Clock::now() - t0), 200.0);
  ::close(fd);
}

TEST_F(PtyGaugeTest, StopAndCloseLeaveNoDescriptorBehind) {
  int before = CountOpenFds();
  ASSERT_GT(before, 0);
  {
    PtyGauge gauge(sim);
    std::string path = gauge.Start();
    int fd = OpenPort(path);
    ASSERT_GE(fd, 0);
    Send(fd, "\x01i20101");
    EXPECT_EQ(ReadFor(fd, kI201Length, 2000ms).size(), kI201Length);
    ::close(fd);
    EXPECT_EQ(CountOpenFds(), before + 3);  // master, our slave, the wake-up eventfd
    gauge.Stop();
    EXPECT_EQ(CountOpenFds(), before + 2);  // the pty stays
    gauge.Close();
    EXPECT_EQ(CountOpenFds(), before);
    EXPECT_FALSE(gauge.IsOpen());
    EXPECT_TRUE(gauge.SlavePath().empty());
    struct stat st {};
    EXPECT_NE(::stat(path.c_str(), &st), 0) << path << " still exists";
    gauge.Start();
    EXPECT_EQ(CountOpenFds(), before + 3);
  }  // the destructor closes everything
  EXPECT_EQ(CountOpenFds(), before);
}

TEST_F(PtyGaugeTest, VanishLeavesTheDriverWithADeadPortAndStartMakesANewOne) {
  PtyGauge gauge(sim);
  std::string path = gauge.Start();
  int fd = OpenPort(path);
  ASSERT_GE(fd, 0);
  gauge.Vanish();
  EXPECT_FALSE(gauge.IsOpen());
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 500), 1);
  EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));
  uint8_t b;
  ssize_t n = ::read(fd, &b, 1);
  EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n << " " << errno;
  ::close(fd);
  struct stat st {};
  EXPECT_NE(::stat(path.c_str(), &st), 0);

  std::string again = gauge.Start();  // a new pty (the kernel may reuse the number)
  ASSERT_FALSE(again.empty());
  fd = OpenPort(again);
  ASSERT_GE(fd, 0);
  Send(fd, "\x01i20101");
  EXPECT_EQ(ReadFor(fd, kI201Length, 2000ms).size(), kI201Length);
  ::close(fd);
}

TEST_F(PtyGaugeTest, VanishMidExchange) {
  int before = CountOpenFds();
  PtyGauge gauge(sim);
  std::string path = gauge.Start();
  int fd = OpenPort(path);
  ASSERT_GE(fd, 0);
  gauge.VanishOnNextRequest(20);
  Send(fd, "\x01i21401");
  Bytes r = ReadFor(fd, kI214Length, 1000ms);
  EXPECT_EQ(r.size(), 20u);
  EXPECT_EQ(std::string(r.begin(), r.begin() + 7), "\x01i21401");
  for (int i = 0; i < 100 && gauge.Running(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_FALSE(gauge.Running());
  EXPECT_FALSE(gauge.IsOpen());
  ::close(fd);
  gauge.Close();  // reaps the thread
  EXPECT_EQ(CountOpenFds(), before);
  // Serving again.
  fd = OpenPort(gauge.Start());
  ASSERT_GE(fd, 0);
  Send(fd, "\x01i21401");
  EXPECT_EQ(ReadFor(fd, kI214Length, 2000ms).size(), kI214Length);
  ::close(fd);
}

TEST_F(PtyGaugeTest, FaultsAppliedOnTheLine) {
  PtyGauge gauge(sim);
  int fd = OpenPort(gauge.Start());
  ASSERT_GE(fd, 0);
  sim.SetFault("cut");
  Send(fd, "\x01i20101");
  Bytes r = ReadFor(fd, kI201Length, 300ms);
  EXPECT_EQ(r.size(), kI201Length / 2);
  sim.ClearFaults();
  sim.SetFault("lower-checksum");
  Send(fd, "\x01i20101");
  r = ReadFor(fd, kI201Length, 2000ms);
  ASSERT_EQ(r.size(), kI201Length);
  EXPECT_EQ(VerifyReply(r.data(), r.size()).status, 222);
  ::close(fd);
}

TEST_F(PtyGaugeTest, LogReceivesALinePerRequest) {
  PtyGauge gauge(sim);
  std::mutex mu;
  std::vector<std::string> lines;
  gauge.SetLog([&](const std::string& line) {
    std::lock_guard lock(mu);
    lines.push_back(line);
  });
  int fd = OpenPort(gauge.Start());
  ASSERT_GE(fd, 0);
  Send(fd, "\x01i20101");
  ReadFor(fd, kI201Length, 2000ms);
  ::close(fd);
  gauge.Stop();
  std::lock_guard lock(mu);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("<SOH>i20101 -> <SOH>i20101", 0), 0u) << lines[0];
}

}  // namespace
}  // namespace vr::sim

#endif  // _WIN32
