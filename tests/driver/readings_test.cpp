// The read slots, the refresh policy and the inventory decode, driven through
// a host communication block so that every request and reply is in view.
#include <gtest/gtest.h>

#include <memory>

#include "common/clock.h"
#include "driver/silo.h"
#include "fake_comm_block.h"
#include "test_support.h"

namespace vr::test {
namespace {

class ReadingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetClock(&clock_);
    silo_ = std::make_unique<TSilo>(block_.Host(), 1);  // block No. 2
    block_.SetResponder([this](const std::string& req) { return Answer(req); });
  }
  void TearDown() override {
    silo_.reset();
    SetClock(nullptr);
  }

  // A gauge with tank 1..16; i214 is answered unless density_report_ is off.
  std::vector<uint8_t> Answer(const std::string& req) {
    if (silent_) return {};
    std::string code = req.substr(0, 4);
    if (code == "i214" && !density_report_) return {};
    Inventory v = values_;
    v.level += static_cast<float>(std::stoi(req.substr(4, 2)));  // tell the tanks apart
    auto reply = InventoryReply(req.substr(0, 6), v);
    if (override_echo_.size() == 2) {
      reply[5] = override_echo_[0];
      reply[6] = override_echo_[1];
      auto cs = ReplyChecksum(reply.data(), reply.size());
      std::copy(cs.begin(), cs.end(), reply.end() - 5);
    }
    return reply;
  }

  size_t Requests(const std::string& code) const {
    size_t n = 0;
    for (auto& r : block_.requests) n += r.compare(0, 4, code) == 0;
    return n;
  }

  RecordingApp app_;
  TempWindowsDir windir_;
  ManualClock clock_;
  FakeCommBlock block_;
  std::unique_ptr<TSilo> silo_;
  Inventory values_{20000.0f, 500.0f, 745.5f, 1000.0f, 3.5f, 15.25f};
  bool silent_ = false;
  bool density_report_ = true;
  std::string override_echo_;
};

TEST_F(ReadingsTest, FreshReadingsComeFromOneDensityReport) {
  EXPECT_DOUBLE_EQ(silo_->GetLevel(0), 1001.0);
  ASSERT_EQ(block_.requests.size(), 1u);
  EXPECT_EQ(block_.requests[0], "i21401");
  EXPECT_EQ(block_.transact_blocks[0], 1u);

  double t[4];
  silo_->GetTemperatures(0, t);
  for (double x : t) EXPECT_DOUBLE_EQ(x, 15.25);
  EXPECT_EQ(silo_->GetWater(0), 4);  // 3.5 rounds to the even 4
  EXPECT_DOUBLE_EQ(silo_->GetDensity(0), static_cast<double>(745.5f) / 1000.0);
  EXPECT_DOUBLE_EQ(silo_->GetVolume(0), 20000.0);
  EXPECT_EQ(block_.requests.size(), 1u) << "all kinds were stamped by one reply";
  EXPECT_EQ(silo_->GetLinkState(), 1);
  // The block was told that the reply was valid (tag 17, status 0).
  ASSERT_FALSE(block_.statuses.empty());
  EXPECT_EQ(block_.statuses.back(), std::make_pair(17u, 0u));
}

TEST_F(ReadingsTest, IndexAddressesTankIndexPlusOne) {
  silo_->GetLevel(15);
  EXPECT_EQ(block_.requests.back(), "i21416");
  silo_->GetLevel(6);
  EXPECT_EQ(block_.requests.back(), "i21407");
}

TEST_F(ReadingsTest, PeriodDecidesBetweenCacheAndGauge) {
  silo_->GetLevel(0);
  clock_.AdvanceMs(29000);
  silo_->GetLevel(0);
  EXPECT_EQ(block_.requests.size(), 1u) << "29 s old is fresh";
  clock_.AdvanceMs(1000);
  silo_->GetLevel(0);
  EXPECT_EQ(block_.requests.size(), 2u) << "an age equal to the period is stale";
  clock_.AdvanceMs(31000);
  silo_->GetLevel(0);
  EXPECT_EQ(block_.requests.size(), 3u);

  silo_->SetUpdatePeriodMs(0);
  silo_->GetLevel(0);
  silo_->GetLevel(0);
  EXPECT_EQ(block_.requests.size(), 5u) << "period 0 always refreshes";
  silo_->SetUpdatePeriodMs(-5);
  silo_->GetVolume(0);
  EXPECT_EQ(block_.requests.size(), 6u);
}

TEST_F(ReadingsTest, ClockGoingBackwardsStillAgesByDistance) {
  silo_->GetLevel(0);
  clock_.AdvanceMs(-40000);
  silo_->GetLevel(0);
  EXPECT_EQ(block_.requests.size(), 2u);
}

TEST_F(ReadingsTest, GaugeWithoutDensityReport) {
  density_report_ = false;
  EXPECT_DOUBLE_EQ(silo_->GetLevel(2), 1003.0);
  EXPECT_DOUBLE_EQ(silo_->GetVolume(2), 20000.0);
  EXPECT_EQ(silo_->GetWater(2), 4);
  double t[4];
  silo_->GetTemperatures(2, t);
  EXPECT_EQ(Requests("i214"), 3u) << "one density report request, three attempts";
  EXPECT_EQ(Requests("i201"), 1u) << "one refresh served all four kinds";
  // Density is only stamped by a density report: every read refreshes and,
  // the link being good, answers the never-filled 0.0.
  EXPECT_DOUBLE_EQ(silo_->GetDensity(2), 0.0);
  EXPECT_DOUBLE_EQ(silo_->GetDensity(2), 0.0);
  EXPECT_EQ(Requests("i201"), 3u);
}

TEST_F(ReadingsTest, FailedLinkAnswersDefaultsAndKeepsCache) {
  silo_->GetLevel(0);
  silent_ = true;
  clock_.AdvanceMs(60000);
  double t[4] = {1, 1, 1, 1};
  EXPECT_DOUBLE_EQ(silo_->GetLevel(0), 0.0);
  silo_->GetTemperatures(0, t);
  for (double x : t) EXPECT_EQ(x, 0.0);
  EXPECT_EQ(silo_->GetWater(0), 0);
  EXPECT_DOUBLE_EQ(silo_->GetDensity(0), 0.77);
  EXPECT_DOUBLE_EQ(silo_->GetVolume(0), 0.0);
  EXPECT_EQ(silo_->GetLinkState(), 2) << "the block's channel state becomes the link state";
  // The old reading is still cached but stale; the gauge is asked again.
  EXPECT_DOUBLE_EQ(silo_->Tanks().Reading(1).Level.load(), 1001.0);
  silent_ = false;
  EXPECT_DOUBLE_EQ(silo_->GetLevel(0), 1001.0);
}

TEST_F(ReadingsTest, FreshReadAfterFailureRestoresLinkState) {
  silo_->GetLevel(1);  // tank 2 fresh
  silent_ = true;
  EXPECT_DOUBLE_EQ(silo_->GetLevel(0), 0.0);  // tank 1 fails
  EXPECT_NE(silo_->GetLinkState(), 1);
  EXPECT_DOUBLE_EQ(silo_->GetLevel(1), 1002.0);
  EXPECT_EQ(silo_->GetLinkState(), 1);
}

TEST_F(ReadingsTest, TankIndexBeyondCacheMakesNoExchange) {
  for (uint32_t i : {16u, 17u, 100u, 255u}) {
    EXPECT_DOUBLE_EQ(silo_->GetLevel(i), 0.0);
    EXPECT_DOUBLE_EQ(silo_->GetDensity(i), 0.77);
    EXPECT_EQ(silo_->GetWater(i), 0);
  }
  EXPECT_TRUE(block_.requests.empty());
}

TEST_F(ReadingsTest, ReplyForAnotherTankDoesNotPassForTheRequestedOne) {
  override_echo_ = "05";
  EXPECT_DOUBLE_EQ(silo_->GetLevel(0), 0.0);
  EXPECT_EQ(silo_->Tanks().Stamp(1, kStampLevel), 0.0);
  EXPECT_EQ(silo_->Tanks().Stamp(5, kStampLevel), 0.0)
      << "an answer to another request is not decoded";
  EXPECT_EQ(silo_->GetLinkState(), 3);
}

TEST_F(ReadingsTest, EchoOutsideCacheLeavesCacheUntouched) {
  for (const char* echo : {"17", "00", "9x", " 1", "99"}) {
    override_echo_ = echo;
    silo_->GetLevel(0);
  }
  for (int n = 1; n <= kTankCount; ++n) EXPECT_EQ(silo_->Tanks().Stamp(n, kStampLevel), 0.0) << n;
}

TEST_F(ReadingsTest, RefusedTransactReportsOnceAndKeepsState) {
  silo_->SetLinkState(7);
  block_.refuse_transact = true;
  EXPECT_THROW(silo_->GetLevel(0), ECommBlock);
  EXPECT_EQ(block_.requests.size(), 1u) << "no further attempt";
  EXPECT_EQ(silo_->GetLinkState(), 7);
  EXPECT_EQ(silo_->Tanks().Stamp(1, kStampLevel), 0.0);

  // Through the host interface the error becomes a report and the default.
  auto level = reinterpret_cast<VrGetDoubleFn>(silo_->table_[VRSILO_SLOT_GET_LEVEL]);
  EXPECT_DOUBLE_EQ(level(silo_->ToHost(), 0), 0.0);
  ASSERT_EQ(app_.Errors().size(), 1u);
  EXPECT_EQ(app_.Errors()[0], "Ошибка связи с БС");
}

TEST_F(ReadingsTest, ValidReplyIsNotRequestedThreeTimes) {
  silo_->GetLevel(0);
  EXPECT_EQ(block_.requests.size(), 1u);
}

// Decode edge cases, each through one refresh.
struct DecodeCase {
  float water;
  uint8_t expected;
};
class WaterDecodeTest : public ReadingsTest, public ::testing::WithParamInterface<DecodeCase> {};

TEST_P(WaterDecodeTest, RoundsAndLimits) {
  values_.water = GetParam().water;
  EXPECT_EQ(silo_->GetWater(0), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Water, WaterDecodeTest,
                         ::testing::Values(DecodeCase{254.6f, 255}, DecodeCase{255.5f, 255},
                                           DecodeCase{300.0f, 255}, DecodeCase{2.5f, 2},
                                           DecodeCase{3.5f, 4}, DecodeCase{-0.4f, 0},
                                           DecodeCase{-3.0f, 0}, DecodeCase{0.5f, 0}));

TEST_F(ReadingsTest, DecodeByLength) {
  // 81 bytes set density and its stamp; 89 leave them; any other length is a
  // reading without data.
  uint8_t buf[255] = {};
  auto r81 = InventoryReply("i21404", values_);
  std::copy(r81.begin(), r81.end(), buf);
  EXPECT_EQ(silo_->Tanks().DecodeInventory(buf, 81), 4);
  EXPECT_DOUBLE_EQ(silo_->Tanks().Reading(4).Density.load(), static_cast<double>(745.5f) / 1000.0);
  double densityStamp = silo_->Tanks().Stamp(4, kStampDensity);
  EXPECT_NE(densityStamp, 0.0);

  clock_.AdvanceMs(1000);
  Inventory other = values_;
  other.density = 999.0f;
  auto r89 = InventoryReply("i20104", other);
  std::fill(std::begin(buf), std::end(buf), 0);
  std::copy(r89.begin(), r89.end(), buf);
  EXPECT_EQ(silo_->Tanks().DecodeInventory(buf, 89), 4);
  EXPECT_DOUBLE_EQ(silo_->Tanks().Reading(4).Density.load(), static_cast<double>(745.5f) / 1000.0);
  EXPECT_EQ(silo_->Tanks().Stamp(4, kStampDensity), densityStamp);

  EXPECT_EQ(silo_->Tanks().DecodeInventory(buf, 40), 4);
  EXPECT_EQ(silo_->Tanks().Reading(4).Level.load(), 0.0);
  EXPECT_EQ(silo_->Tanks().Reading(4).Water.load(), 0);
  EXPECT_DOUBLE_EQ(silo_->Tanks().Reading(4).Density.load(), static_cast<double>(745.5f) / 1000.0);
  EXPECT_GT(silo_->Tanks().Stamp(4, kStampLevel), densityStamp);

  // A field with a blank in it decodes as 0.0; the others still decode.
  std::copy(r81.begin(), r81.end(), buf);
  buf[52] = ' ';
  silo_->Tanks().DecodeInventory(buf, 81);
  EXPECT_EQ(silo_->Tanks().Reading(4).Level.load(), 0.0);
  EXPECT_DOUBLE_EQ(silo_->Tanks().Reading(4).Volume.load(), 20000.0);
}

TEST_F(ReadingsTest, UnknownConnectionTypeSendsNothing) {
  TSilo silo(block_.Host(), 9);
  silo.SetLinkState(1);
  EXPECT_DOUBLE_EQ(silo.GetLevel(0), 0.0) << "no reply was received, so nothing is decoded";
  EXPECT_EQ(silo.GetLinkState(), 1);
  EXPECT_TRUE(block_.requests.empty());
  uint8_t reply[255];
  uint8_t length = 81;
  ExchangeReply out = silo.Gauge().Exchange("i20101", nullptr, 0, length, reply);
  EXPECT_EQ(out.outcome, ExchangeOutcome::kNoLink);
  EXPECT_FALSE(out.Ok());
}

}  // namespace
}  // namespace vr::test
