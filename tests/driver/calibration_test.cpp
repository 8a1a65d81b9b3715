// Calibration table commands over a host communication block.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "driver/silo.h"
#include "fake_comm_block.h"
#include "protocol/extended.h"
#include "test_support.h"

namespace vr::test {
namespace {

class CalibrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    silo_ = std::make_unique<TSilo>(block_.Host(), 0);
    for (int k = 0; k < 20; ++k) volumes_[k] = 100.0f * (k + 1);
    block_.SetResponder([this](const std::string& req) { return Answer(req); });
  }

  std::vector<uint8_t> Answer(const std::string& req) {
    std::string code = req.substr(0, 4), echo = req.substr(0, 6);
    std::string header = "261207120000";
    if (code == "i607")
      return fail_height_ ? std::vector<uint8_t>{} : MakeReply(echo, header + Hex(height_));
    if (code == "i606") {
      if (fail_table_) return {};
      std::string body = header;
      for (int j = 1; j <= 20; ++j) body += Hex(volumes_[20 - j]);
      return MakeReply(echo, body);
    }
    if (code == "s607") {
      height_ = HexToSingleIn(reinterpret_cast<const uint8_t*>(req.data()), req.size(), 6);
      return fail_write_height_ ? std::vector<uint8_t>{}
                                : MakeReply(echo, header + req.substr(6, 8));
    }
    if (code == "s606") {
      for (int j = 1; j <= 20; ++j)
        volumes_[20 - j] = HexToSingleIn(reinterpret_cast<const uint8_t*>(req.data()), req.size(),
                                         6 + 8 * (j - 1));
      return MakeReply(echo, header + req.substr(6, 160));
    }
    return {};
  }

  static VrCalibrationPoints Points(double first, double step) {
    VrCalibrationPoints p{};
    for (int k = 0; k < 20; ++k) DoubleToExtended(first + step * k, p.bytes + 10 * k);
    return p;
  }

  RecordingApp app_;
  TempWindowsDir windir_;
  FakeCommBlock block_;
  std::unique_ptr<TSilo> silo_;
  float height_ = 2500.0f;
  float volumes_[20];
  bool fail_height_ = false, fail_table_ = false, fail_write_height_ = false;
};

TEST_F(CalibrationTest, ReadSendsBothCommandsAndReversesTheWireOrder) {
  VrCalibrationPoints p{};
  int32_t height = 0;
  ASSERT_EQ(silo_->ReadCalibrationTable(3, &height, p.bytes), 0);
  ASSERT_EQ(block_.requests.size(), 2u);
  EXPECT_EQ(block_.requests[0], "i60703");
  EXPECT_EQ(block_.requests[1], "i60603");
  EXPECT_EQ(height, 2500);
  for (int k = 0; k < 20; ++k)
    EXPECT_DOUBLE_EQ(ExtendedToDouble(p.bytes + 10 * k), 100.0 * (k + 1));
}

TEST_F(CalibrationTest, HeightRoundsHalvesToEven) {
  VrCalibrationPoints p{};
  int32_t height = 0;
  height_ = 2500.5f;
  silo_->ReadCalibrationTable(1, &height, p.bytes);
  EXPECT_EQ(height, 2500);
  height_ = 2501.5f;
  silo_->ReadCalibrationTable(1, &height, p.bytes);
  EXPECT_EQ(height, 2502);
}

TEST_F(CalibrationTest, FailuresStopAtTheFailedCommand) {
  VrCalibrationPoints p = Points(7, 0);
  const VrCalibrationPoints before = p;
  int32_t height = -7;

  fail_table_ = true;
  EXPECT_EQ(silo_->ReadCalibrationTable(2, &height, p.bytes), -1);
  EXPECT_EQ(height, 2500) << "the height is stored although the volumes failed";
  EXPECT_EQ(0, memcmp(&p, &before, sizeof p)) << "the points are untouched";

  fail_table_ = false;
  height_ = 0.0f;
  block_.requests.clear();
  EXPECT_EQ(silo_->ReadCalibrationTable(2, &height, p.bytes), -1);
  EXPECT_EQ(height, 0);
  EXPECT_EQ(block_.requests.size(), 1u) << "no i606 after a height of 0";

  fail_height_ = true;
  height = 42;
  EXPECT_EQ(silo_->ReadCalibrationTable(2, &height, p.bytes), -1);
  EXPECT_EQ(height, 42);

  block_.requests.clear();
  fail_write_height_ = true;
  EXPECT_EQ(silo_->WriteCalibrationTable(2, 1000, p.bytes), -1);
  for (auto& r : block_.requests)
    EXPECT_NE(r.substr(0, 4), "s606") << "no s606 after a failed s607";
}

TEST_F(CalibrationTest, WriteCarriesHexFloatsFullHeightFirst) {
  VrCalibrationPoints p = Points(10.0, 10.0);  // element k = 10 (k + 1)
  ASSERT_EQ(silo_->WriteCalibrationTable(12, 2500, p.bytes), 0);
  ASSERT_EQ(block_.requests.size(), 2u);
  EXPECT_EQ(block_.requests[0], "s60712451C4000");
  const std::string& s606 = block_.requests[1];
  ASSERT_EQ(s606.size(), 6u + 160u);
  EXPECT_EQ(s606.substr(0, 6), "s60612");
  EXPECT_EQ(s606.substr(6, 8), Hex(200.0f)) << "element 19 first";
  EXPECT_EQ(s606.substr(6 + 152, 8), Hex(10.0f)) << "element 0 last";

  // What was written reads back identical.
  VrCalibrationPoints back{};
  int32_t height = 0;
  ASSERT_EQ(silo_->ReadCalibrationTable(12, &height, back.bytes), 0);
  EXPECT_EQ(height, 2500);
  EXPECT_EQ(0, memcmp(&back, &p, sizeof p));
}

TEST_F(CalibrationTest, TankNumbersThatDoNotFitTwoDigitsAreRefused) {
  VrCalibrationPoints p{};
  int32_t height = 0;
  for (uint32_t n : {0u, 100u, 255u}) {
    EXPECT_EQ(silo_->ReadCalibrationTable(n, &height, p.bytes), -1);
    EXPECT_EQ(silo_->WriteCalibrationTable(n, 1000, p.bytes), -1);
  }
  EXPECT_TRUE(block_.requests.empty());
}

}  // namespace
}  // namespace vr::test
