// Replies that pass the check but answer another request (a late reply of a
// gauge slower than the time-out): over the direct link, with an in-memory
// serial device, they must never be taken for the waiting request's reply.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>

#include "common/application.h"
#include "driver/silo.h"
#include "fake_serial_device.h"
#include "fault_support.h"
#include "protocol/extended.h"
#include "silo_test_access.h"

namespace vr::faults {
namespace {

class LateReplyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = std::make_shared<FakeSerialPort>();
    factory_ = std::make_unique<ScopedSerialDeviceFactory>(
        [this](uint16_t) { return port_->MakeDevice(); });
    for (int n = 1; n <= 2; ++n) gauge_.SetTank(n, TankValues(n));
    // Every request is counted by the gauge; the reply that goes back is the
    // one to `answer_` (a fixed command) when it is set.
    port_->SetOnWrite([this](const uint8_t* data, size_t n) {
      for (const sim::Answer& a : gauge_.Feed(data, n)) {
        if (answer_.empty())
          port_->InjectInput(a.bytes);
        else
          port_->InjectInput(gauge_.Execute(answer_, ""));
      }
    });
    silo_ = std::make_unique<TSilo>(nullptr, 3);
    ASSERT_TRUE(SiloTestAccess::SetReplyTimeoutMs(*silo_, 100));
  }
  void TearDown() override { silo_.reset(); }

  test::RecordingApp app_;
  test::TempWindowsDir windir_;
  sim::GaugeSim gauge_;
  std::shared_ptr<FakeSerialPort> port_;
  std::unique_ptr<ScopedSerialDeviceFactory> factory_;
  std::string answer_;
  std::unique_ptr<TSilo> silo_;
};

TEST_F(LateReplyTest, ReplyForAnotherTankIsNotTheAnswer) {
  answer_ = "i21401";
  EXPECT_DOUBLE_EQ(silo_->GetLevel(0), LevelOf(1)) << "the right reply for tank 1";
  const double stamp = silo_->Tanks().Stamp(1, kStampLevel);

  EXPECT_DOUBLE_EQ(silo_->GetLevel(1), 0.0);
  EXPECT_EQ(silo_->GetLinkState(), 3) << "the gauge answers, but not this request";
  EXPECT_EQ(gauge_.GetStats().Count("i21402"), 3u);
  EXPECT_EQ(gauge_.GetStats().Count("i20102"), 3u) << "the plain report is tried too";
  EXPECT_EQ(silo_->Tanks().Stamp(1, kStampLevel), stamp) << "the stray replies were not decoded";

  answer_.clear();
  EXPECT_DOUBLE_EQ(silo_->GetLevel(1), LevelOf(2));
  EXPECT_EQ(silo_->GetLinkState(), 1);
}

TEST_F(LateReplyTest, ReplyForAnotherCommandIsNotTheAnswer) {
  // The density report of the same tank answers the plain report request.
  answer_ = "i21401";
  FrameBuffer reply{};
  uint8_t length = 89;
  ExchangeReply out = silo_->Gauge().Exchange("i20101", nullptr, 0, length, reply.data());
  EXPECT_EQ(out.outcome, ExchangeOutcome::kOtherRequest);
  EXPECT_FALSE(out.Ok());
  EXPECT_EQ(out.length, 0);
  EXPECT_EQ(silo_->GetLinkState(), 3);
}

TEST_F(LateReplyTest, HeightReplyIsNotTakenForTheVolumes) {
  std::array<uint8_t, 200> points;
  points.fill(0xA5);
  const auto untouched = points;
  int32_t height = 0;
  // "i607" is answered right; "i606" gets the late "i607" reply.
  port_->SetOnWrite([this](const uint8_t* data, size_t n) {
    for (size_t k = gauge_.Feed(data, n).size(); k > 0; --k)
      port_->InjectInput(gauge_.Execute("i60702", ""));
  });
  EXPECT_EQ(silo_->ReadCalibrationTable(2, &height, points.data()), -1);
  EXPECT_EQ(height, 2020) << "the height came from its own reply";
  EXPECT_EQ(points, untouched) << "no table made of a height reply";
  EXPECT_EQ(gauge_.GetStats().Count("i60602"), 3u);
  EXPECT_EQ(silo_->GetLinkState(), 3);
}

}  // namespace
}  // namespace vr::faults
