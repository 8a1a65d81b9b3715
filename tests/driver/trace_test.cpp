// The exchange trace: its lines for every outcome, the summary, rotation at
// the size limit, and what it never costs.
#include "driver/trace.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/clock.h"
#include "driver/silo.h"
#include "fake_comm_block.h"
#include "fake_serial_device.h"
#include "link/urovn.h"
#include "silo_test_access.h"
#include "simulator.h"
#include "test_support.h"

namespace vr {
namespace test {
namespace {

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetClock(&clock_);
    port_ = std::make_shared<FakeSerialPort>();
    factory_ = std::make_unique<ScopedSerialDeviceFactory>(
        [this](uint16_t) { return port_->MakeDevice(); });
    port_->SetOnWrite([this](const uint8_t* data, size_t n) {
      for (const sim::Answer& a : gauge_.Feed(data, n))
        if (!a.silent) port_->InjectInput(a.bytes);
    });
    gauge_.SetHeaderTime("2612081015");
    sim::TankState t;
    t.level = 1500.0f;
    gauge_.SetTank(1, t);
    windir_.WriteSettings("[VeederRoot]\nCriticalUpdateTime=30\nTraceFile=" + path_ + "\n");
  }
  void TearDown() override { SetClock(nullptr); }

  std::unique_ptr<TSilo> Open(uint8_t type = 3) {
    auto silo = std::make_unique<TSilo>(block_.Host(), type);
    if (TUrovn* link = SiloTestAccess::Link(*silo)) link->SetReplyTimeoutMs(100);
    return silo;
  }

  RecordingApp app_;
  TempWindowsDir windir_;
  const std::string path_ = windir_.Dir() + "/trace.txt";
  ManualClock clock_{46364.4270833333};  // 2026-12-08 10:15:00
  sim::GaugeSim gauge_;
  FakeCommBlock block_;
  std::shared_ptr<FakeSerialPort> port_;
  std::unique_ptr<ScopedSerialDeviceFactory> factory_;
};

TEST_F(TraceTest, EveryOutcomeInWords) {
  const struct {
    const char* fault;
    const char* words;
    const char* got;  // part of the bytes the line shows as received
  } cases[] = {
      {"none", " COM1 ok ", "< <SOH>i2140126120810150110000"},
      {"silent", " COM1 no reply within 1.5 s ", nullptr},
      {"cut", " COM1 half frame ", "< <SOH>i21401"},
      {"bad-checksum", " COM1 bad checksum ", "<ETX>"},
      {"no-i214", " COM1 reply to another request ", "< <SOH>9999FF1B<ETX>"},
      {"garbage", " COM1 bad frame ", nullptr},
  };
  auto silo = Open();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    gauge_.ClearFaults();
    if (std::string(c.fault) != "none") {
      ASSERT_TRUE(gauge_.SetFault(c.fault));
    }
    const size_t before = Lines(path_).size();
    FrameBuffer reply{};
    uint8_t length = 81;
    silo->Gauge().Exchange("i21401", nullptr, 0, length, reply.data());
    auto lines = Lines(path_);
    lines.erase(lines.begin(), lines.begin() + static_cast<long>(before));
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines) {
      EXPECT_EQ(line.rfind("2026-12-08 10:15:00.000 COM1 ", 0), 0u) << line;
      EXPECT_NE(line.find(c.words), std::string::npos) << line;
      EXPECT_NE(line.find(" ms > <SOH>i21401"), std::string::npos) << line;
      if (c.got) {
        EXPECT_NE(line.find(c.got), std::string::npos) << line;
      }
    }
    EXPECT_EQ(lines.size(), std::string(c.fault) == "none" ? 1u : 3u) << "one line per attempt";
  }
  silo.reset();
  const auto lines = Lines(path_);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("summary: 6 exchanges, 16 attempts, ok 1, no reply within 1.5 s 3, "
                              "half frame 3, bad checksum 3, reply to another request 3, "
                              "bad frame 3;"),
            std::string::npos)
      << lines.back();
  EXPECT_NE(lines.back().find("ms, 99th percentile "), std::string::npos);
}

TEST_F(TraceTest, BlockErrorsAndConnectionChanges) {
  auto silo = Open(0);
  block_.refuse_transact = true;
  FrameBuffer reply{};
  uint8_t length = 81;
  EXPECT_THROW(silo->Gauge().Exchange("i21401", nullptr, 0, length, reply.data()), ECommBlock);
  silo->ChangeConnectionType(3);
  const auto lines = Lines(path_);
  ASSERT_GE(lines.size(), 3u) << ::testing::PrintToString(lines);
  EXPECT_NE(lines[0].find(" block 1 connection"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(" block 1 block error "), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find(" COM1 connection"), std::string::npos) << lines[2];
}

TEST_F(TraceTest, CachedReadsWriteNothingAndAnUnwritableTraceCostsNothing) {
  auto silo = Open();
  EXPECT_DOUBLE_EQ(silo->GetLevel(0), 1500.0);
  const auto size = std::filesystem::file_size(path_);
  for (int i = 0; i < 100; ++i) EXPECT_DOUBLE_EQ(silo->GetLevel(0), 1500.0);
  EXPECT_EQ(std::filesystem::file_size(path_), size);
  silo.reset();

  windir_.WriteSettings("[VeederRoot]\nTraceFile=" + windir_.Dir() + "/missing/dir/trace.txt\n");
  silo = Open();
  EXPECT_DOUBLE_EQ(silo->GetLevel(0), 1500.0);
  EXPECT_EQ(silo->GetLinkState(), 1);
  silo.reset();
  EXPECT_TRUE(app_.Shown_().empty());
}

TEST(ExchangeTraceFile, StartsAfreshAtTheLimitKeepingTheLastFileAsDotOne) {
  TempWindowsDir dir;
  const std::string path = dir.Dir() + "/t.txt";
  const uint8_t request[] = {1, 'i', '2', '0', '1', '0', '1'};
  {
    ExchangeTrace trace(path, 1000);
    for (int i = 0; i < 40; ++i) {
      trace.Attempt("COM1", ExchangeOutcome::kNoReply, std::chrono::milliseconds(1500), request,
                    sizeof request, nullptr, 0);
      trace.Flush();
      EXPECT_LE(std::filesystem::file_size(path), 1000u);
    }
  }
  ASSERT_TRUE(std::filesystem::exists(path + ".1"));
  EXPECT_GT(std::filesystem::file_size(path + ".1"), 900u);
  EXPECT_NE(Lines(path).back().find("summary: 0 exchanges, 40 attempts"), std::string::npos);
}

}  // namespace
}  // namespace test
}  // namespace vr
