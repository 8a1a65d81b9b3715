// COM1 mapped in [Ports] to a network link on loopback, through the driver
// object: the gauge simulator over TCP and RFC 2217, and servers that are
// down, go down in the middle of a frame, never answer, hang up or flood.
// Each test also checks that no descriptor and no thread is left behind.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver/silo.h"
#include "link/link_test_helpers.h"
#include "link/urovn.h"
#include "protocol/extended.h"
#include "protocol/telnet.h"
#include "silo_test_access.h"
#include "tank_file.h"
#include "tcp_gauge.h"
#include "test_support.h"

namespace vr {
namespace test {
namespace {

using Mode = sim::TcpGauge::Mode;
using linktest::ElapsedMs;
using linktest::Eventually;
using linktest::OpenDescriptors;
using linktest::ProcessCpuMicros;
using linktest::ThreadCount;
using Clock = std::chrono::steady_clock;

// A loopback peer that is no gauge. kMute never accepts (the kernel completes
// the handshake); kHangUp closes each client at once; kFlood sends its client
// garbage until it goes.
class Peer {
 public:
  enum class Kind { kMute, kHangUp, kFlood };
  explicit Peer(Kind kind) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), n), 0);
    EXPECT_EQ(listen(fd_, 4), 0);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    if (kind != Kind::kMute) thread_ = std::thread([this, kind] { Serve(kind); });
  }
  ~Peer() {
    shutdown(fd_, SHUT_RDWR);  // ends a pending accept()
    if (thread_.joinable()) thread_.join();
    close(fd_);
  }
  int Fd() const { return fd_; }
  std::string Address(const char* scheme) const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
  }
  int Accepted() const { return accepted_; }

 private:
  void Serve(Kind kind) {
    uint32_t seed = 1;
    for (int c; (c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; close(c)) {
      ++accepted_;
      uint8_t junk[4096];
      while (kind == Kind::kFlood) {
        for (uint8_t& b : junk)
          b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
        if (send(c, junk, sizeof junk, MSG_NOSIGNAL) < 0) break;
      }
    }
  }

  const int fd_;
  uint16_t port_ = 0;
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

class NetLinkTest : public linktest::LinkTest {
 protected:
  void SetUp() override {
    std::thread([] {}).join();  // a sanitizer's helper thread starts with the first thread
    LinkTest::SetUp();
    sim_.SetTanks(sim::DemoTanks());
  }
  void TearDown() override {
    silo_.reset();
    gauge_.reset();
    LinkTest::TearDown();
  }

  std::string StartGauge(Mode mode) {
    gauge_.emplace(sim_, mode);
    return gauge_->Start();
  }
  // COM1 (connection type 3) at `address`; every read asks the gauge.
  TSilo& Open(const std::string& address) {
    windir_.WriteSettings("[VeederRoot]\r\nCriticalUpdateTime=0\r\n[Ports]\r\nCOM1=" + address +
                          "\r\n");
    silo_ = std::make_unique<TSilo>(nullptr, 3);
    SiloTestAccess::SetReplyTimeoutMs(*silo_, 150);
    return *silo_;
  }
  double Level(int tank) { return sim_.GetTank(tank)->level; }

  RecordingApp app_;
  TempWindowsDir windir_;
  sim::GaugeSim sim_;
  std::optional<sim::TcpGauge> gauge_;
  std::unique_ptr<TSilo> silo_;
};

class NetGaugeTest : public NetLinkTest, public ::testing::WithParamInterface<Mode> {};

TEST_P(NetGaugeTest, InventoryAndCalibrationRoundTrip) {
  std::string address = StartGauge(GetParam());
  if (GetParam() == Mode::kRaw) address.replace(address.find("127.0.0.1"), 9, "localhost");
  TSilo& s = Open(address);
  for (int tank = 1; tank <= 4; ++tank) EXPECT_DOUBLE_EQ(s.GetLevel(tank - 1), Level(tank));
  EXPECT_EQ(s.GetLinkState(), 1);

  VrCalibrationPoints p{};
  for (int k = 0; k < 20; ++k) DoubleToExtended(321.0 * (k + 1), p.bytes + 10 * k);
  ASSERT_EQ(s.WriteCalibrationTable(3, 2750, p.bytes), 0);
  VrCalibrationPoints back{};
  int32_t height = 0;
  ASSERT_EQ(s.ReadCalibrationTable(3, &height, back.bytes), 0);
  EXPECT_EQ(height, 2750);
  EXPECT_EQ(0, memcmp(&back, &p, sizeof p));

  const sim::LineSettings line = sim_.GetStats().line;
  if (GetParam() == Mode::kRfc2217) {
    EXPECT_EQ(sim::DescribeLine(line), "9600,8N1,flow=none,purges=1");
  } else {
    EXPECT_EQ(line, sim::LineSettings{});
  }
  // COM1's link is held: a second object cannot have it, as with a serial port.
  TSilo second(nullptr, 3);
  EXPECT_FALSE(second.Gauge().HasLink());
  EXPECT_EQ(app_.Shown_().size(), 1u);
  EXPECT_EQ(gauge_->Clients(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, NetGaugeTest, ::testing::Values(Mode::kRaw, Mode::kRfc2217),
                         [](const auto& info) {
                           return info.param == Mode::kRaw ? "Tcp" : "Rfc2217";
                         });

TEST_F(NetLinkTest, ServerDownOrMalformedAddressFailsAtOnceWithOneMessage) {
  const std::string down = StartGauge(Mode::kRfc2217);
  gauge_->Close();
  for (const std::string& address : {down, std::string("tcp://127.0.0.1:70000")}) {
    SCOPED_TRACE(address);
    const size_t shown = app_.Shown_().size();
    TSilo& s = Open(address);
    const auto start = Clock::now();
    EXPECT_DOUBLE_EQ(s.GetLevel(0), 0.0);
    EXPECT_DOUBLE_EQ(s.GetDensity(1), kDefaultDensity);
    EXPECT_LT(ElapsedMs(start), 100);
    ASSERT_EQ(app_.Shown_().size(), shown + 1);
    EXPECT_EQ(app_.Shown_().back().text, "Невозможно открыть порт COM1 для уровнемера!");
  }
}

TEST_F(NetLinkTest, ServerGoesDownMidFrameAndComesBack) {
  TSilo& s = Open(StartGauge(Mode::kRfc2217));
  ASSERT_DOUBLE_EQ(s.GetLevel(0), Level(1));
  const int fds = OpenDescriptors();
  const int threads = ThreadCount();

  gauge_->VanishOnNextRequest(40);  // half of the 81-byte reply
  EXPECT_DOUBLE_EQ(s.GetLevel(0), 0.0);
  EXPECT_NE(s.GetLinkState(), 1);
  EXPECT_TRUE(Eventually([&] { return !gauge_->Running(); }, 1000));
  // Down: nothing spins while no request comes.
  const int64_t cpu = ProcessCpuMicros();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LT(ProcessCpuMicros() - cpu, 50000);

  gauge_->Start();  // the same port
  EXPECT_TRUE(Eventually([&] { return s.GetLevel(1) == Level(2); }, 5000));
  EXPECT_EQ(s.GetLinkState(), 1);
  EXPECT_EQ(gauge_->Clients(), 2u);
  EXPECT_EQ(OpenDescriptors(), fds);
  EXPECT_EQ(ThreadCount(), threads);
}

TEST_F(NetLinkTest, PeerThatNeverAnswersIsASilentGauge) {
  Peer peer(Peer::Kind::kMute);
  TSilo& s = Open(peer.Address("rfc2217"));
  ASSERT_TRUE(s.Gauge().HasLink());
  const auto start = Clock::now();
  EXPECT_DOUBLE_EQ(s.GetLevel(0), 0.0);
  EXPECT_EQ(s.GetLinkState(), 2);
  EXPECT_LT(ElapsedMs(start), 2500) << "six attempts of 150 ms, the negotiation wait once";
  silo_.reset();
  EXPECT_LT(ElapsedMs(start), 3000) << "closes promptly";
}

TEST_F(NetLinkTest, PeerThatHangsUpIsAskedAgainAtMostOnceASecond) {
  Peer peer(Peer::Kind::kHangUp);
  TSilo& s = Open(peer.Address("tcp"));
  const auto start = Clock::now();
  const int64_t cpu = ProcessCpuMicros();
  for (int read = 0; read < 3; ++read) EXPECT_DOUBLE_EQ(s.GetLevel(0), 0.0);
  const int64_t seconds = (ElapsedMs(start) + 999) / 1000;
  EXPECT_GE(peer.Accepted(), 2) << "a dropped connection is made again";
  EXPECT_LE(peer.Accepted(), 1 + seconds);
  EXPECT_LT(ProcessCpuMicros() - cpu, 50000 * seconds);
}

TEST_F(NetLinkTest, PeerThatFloodsGarbage) {
  Peer peer(Peer::Kind::kFlood);
  TSilo& s = Open(peer.Address("rfc2217"));
  const auto start = Clock::now();
  EXPECT_DOUBLE_EQ(s.GetVolume(1), 0.0);
  EXPECT_EQ(s.GetLinkState(), 3);
  EXPECT_LT(ElapsedMs(start), 2500);
  silo_.reset();
  EXPECT_LT(ElapsedMs(start), 3000) << "closes promptly";
}

// IAC in the data both ways, and the options the link asks for.
TEST_F(NetLinkTest, Rfc2217CarriesEveryByteValue) {
  Peer peer(Peer::Kind::kMute);
  windir_.WriteSettings("[Ports]\r\nCOM1=" + peer.Address("rfc2217") + "\r\n");
  linktest::RecordingPort port(1, true);
  const int c = accept4(peer.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(c, 0);
  const timeval limit{3, 0};  // a missing byte fails the test instead of hanging it
  setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  // Reads until `wanted` is among all the bytes received so far.
  std::vector<uint8_t> got;
  auto receive = [&](const std::vector<uint8_t>& wanted) {
    auto found = [&] { return std::search(got.begin(), got.end(), wanted.begin(), wanted.end()); };
    uint8_t buf[256];
    for (ssize_t n; found() == got.end() && (n = recv(c, buf, sizeof buf, 0)) > 0;)
      got.insert(got.end(), buf, buf + n);
    return found() != got.end();
  };
  using namespace telnet;
  EXPECT_TRUE(receive({kIac, kWill, kOptionComPort}));
  const uint8_t answer[] = {kIac, kDo, kOptionComPort, kIac, kDo, 1, 'a', kIac, kIac, 'b'};
  ASSERT_EQ(send(c, answer, sizeof answer, 0), static_cast<ssize_t>(sizeof answer));
  EXPECT_TRUE(receive({kIac, kSb, kOptionComPort, comport::kSetDataSize, 8, kIac, kSe}));
  EXPECT_TRUE(receive({kIac, kWont, 1}));
  const uint8_t data[] = {0x01, 0xFF, 0x02};
  port.PutBlock(data, sizeof data);
  EXPECT_TRUE(receive({0x01, kIac, kIac, 0x02}));
  ASSERT_TRUE(port.WaitConsumed(3));
  EXPECT_EQ(port.Consumed(), (std::vector<uint8_t>{'a', 0xFF, 'b'}));
  close(c);
}

}  // namespace
}  // namespace test
}  // namespace vr
