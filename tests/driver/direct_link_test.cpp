// The driver object over its direct serial link, with an in-memory serial
// device answered by the gauge simulator: exchange attempts, result codes,
// link states, and the switching of connection types.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "common/clock.h"
#include "driver/silo.h"
#include "fake_comm_block.h"
#include "fake_serial_device.h"
#include "link/urovn.h"
#include "protocol/extended.h"
#include "silo_test_access.h"
#include "simulator.h"
#include "test_support.h"

namespace vr {
namespace test {
namespace {

using sim::GaugeSim;
using sim::TankState;

class DirectLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetClock(&clock_);
    port_ = std::make_shared<FakeSerialPort>();
    // Every port number opens the same fake device while the port is free.
    factory_ = std::make_unique<ScopedSerialDeviceFactory>([this](uint16_t n) {
      opened_.push_back(n);
      return refuse_open_ ? nullptr : port_->MakeDevice();
    });
    port_->SetOnWrite([this](const uint8_t* data, size_t n) {
      for (const sim::Answer& a : gauge_.Feed(data, n))
        if (!a.silent) port_->InjectInput(a.bytes);
    });
    TankState t;
    t.level = 1500.0f;
    t.volume = 30000.0f;
    t.water = 12.0f;
    t.temperature = 14.5f;
    t.density = 830.0f;
    t.height = 2500.0f;
    for (int k = 0; k < 20; ++k) t.cal[k] = 150.0f * (k + 1);
    gauge_.SetTank(1, t);
    gauge_.SetTank(2, t);
  }
  void TearDown() override {
    silo_.reset();
    SetClock(nullptr);
  }

  TSilo& Open(uint8_t type = 3) {
    silo_ = std::make_unique<TSilo>(block_.Host(), type);
    if (TUrovn* link = SiloTestAccess::Link(*silo_)) link->SetReplyTimeoutMs(150);
    return *silo_;
  }

  RecordingApp app_;
  TempWindowsDir windir_;
  ManualClock clock_;
  GaugeSim gauge_;
  FakeCommBlock block_;
  std::shared_ptr<FakeSerialPort> port_;
  std::unique_ptr<ScopedSerialDeviceFactory> factory_;
  std::vector<uint16_t> opened_;
  bool refuse_open_ = false;
  std::unique_ptr<TSilo> silo_;
};

TEST_F(DirectLinkTest, ReadsThroughThePort) {
  TSilo& s = Open(5);  // COM3
  ASSERT_EQ(opened_, std::vector<uint16_t>{3});
  EXPECT_DOUBLE_EQ(s.GetLevel(0), 1500.0);
  EXPECT_DOUBLE_EQ(s.GetDensity(0), static_cast<double>(830.0f) / 1000.0);
  EXPECT_EQ(s.GetWater(0), 12);
  EXPECT_EQ(gauge_.GetStats().Count("i21401"), 1u);
  EXPECT_EQ(s.GetLinkState(), 1);
  // The port runs 9600 8N1.
  EXPECT_EQ(port_->State().BaudRate, 9600u);
  EXPECT_EQ(port_->State().ByteSize, 8);
  EXPECT_EQ(port_->State().Parity, 0);
}

TEST_F(DirectLinkTest, BadRepliesThreeTimesGiveResultFiveAndState3) {
  TSilo& s = Open();
  gauge_.SetFault("bad-checksum");
  FrameBuffer reply{};
  uint8_t length = 89;
  ExchangeReply out = s.Gauge().Exchange("i20101", nullptr, 0, length, reply.data());
  EXPECT_EQ(out.outcome, ExchangeOutcome::kBadChecksum);
  EXPECT_FALSE(out.Ok());
  EXPECT_EQ(s.GetLinkState(), 3);
  EXPECT_EQ(gauge_.GetStats().requests, 3u);
  EXPECT_EQ(out.length, 0);
}

TEST_F(DirectLinkTest, GoodReplyAtSecondAttemptMakesTwoRequests) {
  TSilo& s = Open();
  std::atomic<int> writes{0};
  port_->SetOnWrite([&](const uint8_t* data, size_t n) {
    // The first request is answered with garbage that fails the check.
    bool spoil = writes++ == 0;
    for (const sim::Answer& a : gauge_.Feed(data, n)) {
      std::vector<uint8_t> bytes = a.bytes;
      if (spoil) bytes[bytes.size() - 3] ^= 1;
      port_->InjectInput(bytes);
    }
  });
  FrameBuffer reply{};
  uint8_t length = 81;
  ExchangeReply out = s.Gauge().Exchange("i21402", nullptr, 0, length, reply.data());
  EXPECT_EQ(out.outcome, ExchangeOutcome::kOk);
  EXPECT_TRUE(out.Ok());
  EXPECT_EQ(out.length, 81);
  EXPECT_EQ(s.GetLinkState(), 1);
  EXPECT_EQ(gauge_.GetStats().requests, 2u);
}

TEST_F(DirectLinkTest, SilentGaugeAndHalfFrames) {
  TSilo& s = Open();
  gauge_.SetFault("silent");
  EXPECT_DOUBLE_EQ(s.GetLevel(0), 0.0);
  EXPECT_EQ(s.GetLinkState(), 2);
  EXPECT_EQ(gauge_.GetStats().Count("i214"), 3u);
  EXPECT_EQ(gauge_.GetStats().Count("i201"), 3u);

  gauge_.ClearFaults();
  gauge_.SetFault("cut");
  EXPECT_DOUBLE_EQ(s.GetVolume(0), 0.0);
  EXPECT_EQ(s.GetLinkState(), 3) << "a reply that began but never completed";

  gauge_.ClearFaults();
  EXPECT_DOUBLE_EQ(s.GetVolume(0), 30000.0);
  EXPECT_EQ(s.GetLinkState(), 1);
}

TEST_F(DirectLinkTest, NoLinkFailsAtOnceWithStateTwo) {
  refuse_open_ = true;
  TSilo& s = Open(3);
  ASSERT_EQ(app_.Shown_().size(), 1u);
  EXPECT_EQ(app_.Shown_()[0].text, "Невозможно открыть порт COM1 для уровнемера!");
  FrameBuffer reply{};
  uint8_t length = 81;
  ExchangeReply out = s.Gauge().Exchange("i21401", nullptr, 0, length, reply.data());
  EXPECT_EQ(out.outcome, ExchangeOutcome::kNoLink);
  EXPECT_EQ(s.GetLinkState(), 2);
  EXPECT_EQ(gauge_.GetStats().requests, 0u);
}

TEST_F(DirectLinkTest, FailedSendKeepsStateAndDecodesNothing) {
  TSilo& s = Open();
  EXPECT_DOUBLE_EQ(s.GetLevel(0), 1500.0);
  clock_.AdvanceMs(60000);
  gauge_.UpdateTank(1, [](TankState& t) { t.level = 99.0f; });
  // Requests that cannot be queued: the transmit ring refuses a block longer
  // than its room, which the exchange reports as result 3.
  port_->BlockWrites(true);
  // Fill the transmit ring completely, whatever the transmit thread has taken
  // out of it so far.
  std::vector<uint8_t> filler(4096, 'x');
  for (uint16_t n = 4096; n >= 1; n /= 2) {
    try {
      for (;;) SiloTestAccess::Link(s)->PutBlock(filler.data(), n);
    } catch (const EOutputBufferTooSmall&) {
    }
  }
  FrameBuffer reply{};
  reply.fill(0xEE);
  uint8_t length = 81;
  ExchangeReply out = s.Gauge().Exchange("i21401", nullptr, 0, length, reply.data());
  EXPECT_EQ(out.outcome, ExchangeOutcome::kSendRefused);
  EXPECT_FALSE(out.Ok());
  EXPECT_EQ(s.GetLinkState(), 1) << "a refused send leaves the state as it was";
  EXPECT_EQ(reply[0], 0) << "the reply buffer was cleared, not left with old bytes";
  EXPECT_DOUBLE_EQ(s.GetLevel(0), 0.0)
      << "no reply of this exchange: the default, not the old value";
  port_->BlockWrites(false);
}

TEST_F(DirectLinkTest, CalibrationRoundTripAndFailedVolumes) {
  TSilo& s = Open();
  VrCalibrationPoints p{};
  for (int k = 0; k < 20; ++k) DoubleToExtended(111.0 * (k + 1), p.bytes + 10 * k);
  ASSERT_EQ(s.WriteCalibrationTable(2, 3000, p.bytes), 0);
  EXPECT_FLOAT_EQ(gauge_.GetTank(2)->height, 3000.0f);
  EXPECT_FLOAT_EQ(gauge_.GetTank(2)->cal[19], 2220.0f);

  VrCalibrationPoints back{};
  int32_t height = 0;
  ASSERT_EQ(s.ReadCalibrationTable(2, &height, back.bytes), 0);
  EXPECT_EQ(height, 3000);
  EXPECT_EQ(0, memcmp(&back, &p, sizeof p));

  // "i606" fails while "i607" works: the height is stored, the points kept.
  port_->SetOnWrite([this](const uint8_t* data, size_t n) {
    for (const sim::Answer& a : gauge_.Feed(data, n))
      if (a.command.compare(0, 4, "i606") != 0) port_->InjectInput(a.bytes);
  });
  gauge_.UpdateTank(2, [](TankState& t) { t.height = 2000.0f; });
  VrCalibrationPoints untouched = back;
  EXPECT_EQ(s.ReadCalibrationTable(2, &height, back.bytes), -1);
  EXPECT_EQ(height, 2000);
  EXPECT_EQ(0, memcmp(&back, &untouched, sizeof p));
}

TEST_F(DirectLinkTest, ChangeConnectionType) {
  TSilo& s = Open(3);  // COM1
  ASSERT_NE(SiloTestAccess::Link(s), nullptr);
  EXPECT_EQ(port_->OpenDevices(), 1);

  s.ChangeConnectionType(3);
  EXPECT_EQ(opened_.size(), 1u) << "the same type keeps the open link";
  EXPECT_EQ(port_->OpenDevices(), 1);

  s.ChangeConnectionType(1);  // block No. 2
  EXPECT_EQ(port_->OpenDevices(), 0) << "the port was closed";
  EXPECT_EQ(SiloTestAccess::Link(s), nullptr);
  EXPECT_EQ(block_.setups, std::vector<uint32_t>{33}) << "slot 5 was called once";

  s.ChangeConnectionType(8);  // COM6
  EXPECT_EQ(opened_.back(), 6);
  EXPECT_EQ(port_->OpenDevices(), 1);
  if (TUrovn* link = SiloTestAccess::Link(s)) link->SetReplyTimeoutMs(150);
  EXPECT_DOUBLE_EQ(s.GetLevel(1), 1500.0);
  EXPECT_TRUE(app_.Shown_().empty());
}

// Replies that pass the checksum but do not answer "i21401", over both links:
// refused by the same check, never decoded, and over the direct link at once.
TEST_F(DirectLinkTest, OnlyTheAnswerToTheRequestIsValid) {
  const std::string unknown(kUnknownCommandReply);
  const struct {
    const char* name;
    std::vector<uint8_t> reply;
    bool valid;
  } cases[] = {{"unknown command", {unknown.begin(), unknown.end()}, false},
               {"other tank", gauge_.Execute("i21402", ""), false},
               {"other command", gauge_.Execute("i20101", ""), false},
               {"the answer", gauge_.Execute("i21401", ""), true}};
  for (const auto& c : cases) {
    for (uint8_t type : {uint8_t{0}, uint8_t{3}}) {
      SCOPED_TRACE(std::string(c.name) + (type == 0 ? " over the block" : " over the port"));
      TSilo& s = Open(type);
      int sent = 0;
      block_.requests.clear();
      block_.statuses.clear();
      block_.SetResponder([&](const std::string&) { return c.reply; });
      port_->SetOnWrite([&](const uint8_t*, size_t) {
        ++sent;
        port_->InjectInput(c.reply);
      });
      if (TUrovn* link = SiloTestAccess::Link(s)) link->SetReplyTimeoutMs(1500);
      FrameBuffer reply{};
      uint8_t length = 81;
      auto start = std::chrono::steady_clock::now();
      ExchangeReply out = s.Gauge().Exchange("i21401", nullptr, 0, length, reply.data());
      auto took = std::chrono::steady_clock::now() - start;
      EXPECT_EQ(out.Ok(), c.valid);
      EXPECT_EQ(s.GetLinkState(), c.valid ? 1 : 3);
      EXPECT_EQ(out.length, c.valid ? c.reply.size() : 0u);
      if (type == 0) {
        EXPECT_EQ(block_.requests.size(), c.valid ? 1u : 3u);
        ASSERT_FALSE(block_.statuses.empty());
        EXPECT_EQ(block_.statuses.back().second, c.valid ? 0u : 1u) << "status: the first byte";
        EXPECT_EQ(block_.channel_state[17], c.valid ? 1u : 3u);
      } else {
        EXPECT_EQ(out.outcome, c.valid ? ExchangeOutcome::kOk : ExchangeOutcome::kOtherRequest);
        EXPECT_EQ(sent, c.valid ? 1 : 3);
        EXPECT_LT(took, std::chrono::milliseconds(750)) << "no attempt waited for its time-out";
      }
      silo_.reset();
    }
  }
}

TEST_F(DirectLinkTest, ConsoleWithoutDensityReportOverTheBlock) {
  TSilo& s = Open(0);
  block_.SetResponder([this](const std::string& request) {
    std::vector<sim::Answer> answers = gauge_.Feed("\x01" + request);
    return answers.empty() ? std::vector<uint8_t>{} : answers.front().bytes;
  });
  gauge_.SetFault("no-i214");
  EXPECT_DOUBLE_EQ(s.GetLevel(1), 1500.0);
  EXPECT_DOUBLE_EQ(s.GetVolume(1), 30000.0);
  EXPECT_EQ(s.GetLinkState(), 1);
  EXPECT_EQ(gauge_.GetStats().Count("i21402"), 3u);
  EXPECT_EQ(gauge_.GetStats().Count("i20102"), 1u);

  gauge_.SetFault("unknown-command");
  EXPECT_DOUBLE_EQ(s.GetLevel(0), 0.0);
  EXPECT_EQ(s.GetLinkState(), 3);
  EXPECT_EQ(s.Tanks().Stamp(1, kStampLevel), 0.0) << "nothing was decoded";
}

TEST_F(DirectLinkTest, AGaugeThatDoesNotAnswerEveryTankIsAskedPerTankForTheLinksLife) {
  windir_.WriteSettings("[VeederRoot]\nRefreshAllTanks=1\n");
  TSilo& s = Open();
  ASSERT_TRUE(s.Tanks().RefreshesAllTanks());
  // An older console answers tank 00 with the unknown-command reply.
  gauge_.SetFault("no-all-tanks");
  EXPECT_DOUBLE_EQ(s.GetLevel(0), 1500.0);
  EXPECT_EQ(s.GetLinkState(), 1);
  EXPECT_DOUBLE_EQ(s.GetVolume(1), 30000.0);
  sim::Stats st = gauge_.GetStats();
  EXPECT_EQ(st.Count("i21400"), 1u);
  EXPECT_EQ(st.Count("i20100"), 1u);
  EXPECT_EQ(st.Count("i21401"), 1u);
  EXPECT_EQ(st.Count("i21402"), 1u);
  // A new link may lead to another gauge: it is asked again, once.
  s.ChangeConnectionType(4);
  if (TUrovn* link = SiloTestAccess::Link(s)) link->SetReplyTimeoutMs(150);
  clock_.AdvanceMs(60000);
  EXPECT_DOUBLE_EQ(s.GetLevel(0), 1500.0);
  EXPECT_DOUBLE_EQ(s.GetLevel(1), 1500.0);
  st = gauge_.GetStats();
  EXPECT_EQ(st.Count("i21400"), 2u);
  EXPECT_EQ(st.Count("i21401"), 2u);
}

TEST_F(DirectLinkTest, DestructionClosesThePort) {
  Open(4);
  EXPECT_EQ(port_->OpenDevices(), 1);
  silo_.reset();
  EXPECT_EQ(port_->OpenDevices(), 0);
}

}  // namespace
}  // namespace test
}  // namespace vr
