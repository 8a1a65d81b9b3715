// End to end: the built library, loaded with dlopen and used through its slot
// table only, reading the gauge simulator over a pseudo-terminal.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "protocol/extended.h"
#include "pty_gauge.h"
#include "test_support.h"
#include "vrsilo.h"

namespace vr::test {
namespace {

using sim::GaugeSim;
using sim::PtyGauge;
using sim::TankState;
using Clock = std::chrono::steady_clock;

TankState Tank(float level) {
  TankState t;
  t.level = level;
  t.volume = level * 10.0f;
  t.water = 7.0f;
  t.temperature = 12.5f;
  t.density = 750.0f;
  t.height = 2500.0f;
  for (int k = 0; k < 20; ++k) t.cal[k] = 1000.0f * (k + 1);
  return t;
}

class GaugePtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int n = 1; n <= 4; ++n) gauge_.SetTank(n, Tank(100.0f * n));
    path_ = pty_.Start();
    lib_ = dlopen(VRSILO_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << dlerror();
    ex2_ = reinterpret_cast<VrGetSiloEx2Fn>(dlsym(lib_, "GetSiloEx2"));
    ex3_ = reinterpret_cast<VrGetSiloEx3Fn>(dlsym(lib_, "GetSiloEx3"));
    ASSERT_TRUE(ex2_ && ex3_);
  }
  void TearDown() override {
    if (silo_) VRSILO_DESTROY(silo_);
    if (lib_) dlclose(lib_);
  }

  // COM2 (connection type 4) mapped to the simulator.
  VrSilo* Connect(int seconds = 30, const std::string& more = "") {
    windir_.WriteSettings(
        "[VeederRoot]\r\nConnectionType=4\r\nCriticalUpdateTime=" + std::to_string(seconds) +
        "\r\n" + more + "[Ports]\r\nCOM2=" + path_ + "\r\n");
    silo_ = ex2_(nullptr, 0, 0);
    return silo_;
  }
  double Level(int i) { return VRSILO_SLOT(silo_, VrGetDoubleFn, VRSILO_SLOT_GET_LEVEL)(silo_, i); }
  double Density(int i) {
    return VRSILO_SLOT(silo_, VrGetDoubleFn, VRSILO_SLOT_GET_DENSITY)(silo_, i);
  }
  double Volume(int i) {
    return VRSILO_SLOT(silo_, VrGetDoubleFn, VRSILO_SLOT_GET_VOLUME)(silo_, i);
  }
  uint32_t Water(int i) {
    return VRSILO_SLOT(silo_, VrGetWaterFn, VRSILO_SLOT_GET_WATER)(silo_, i);
  }
  // Every value of the four tanks of SetUp, through the slots.
  void ExpectTheFourTanks() {
    for (int i = 0; i < 4; ++i) {
      EXPECT_DOUBLE_EQ(Level(i), 100.0 * (i + 1));
      EXPECT_DOUBLE_EQ(Volume(i), 1000.0 * (i + 1));
      EXPECT_EQ(Water(i), 7u);
      EXPECT_DOUBLE_EQ(Density(i), 0.75);
      double t[4];
      VRSILO_SLOT(silo_, VrGetTemperaturesFn, VRSILO_SLOT_GET_TEMPERATURES)(silo_, i, t);
      EXPECT_DOUBLE_EQ(t[0], 12.5);
      EXPECT_DOUBLE_EQ(t[3], 12.5);
      EXPECT_EQ(State(), 1u);
    }
  }
  uint32_t State() {
    return VRSILO_SLOT(silo_, VrGetLinkStateFn, VRSILO_SLOT_GET_LINK_STATE)(silo_);
  }

  TempWindowsDir windir_;
  GaugeSim gauge_;
  PtyGauge pty_{gauge_};
  std::string path_;
  void* lib_ = nullptr;
  VrGetSiloEx2Fn ex2_ = nullptr;
  VrGetSiloEx3Fn ex3_ = nullptr;
  VrSilo* silo_ = nullptr;
};

TEST_F(GaugePtyTest, InventoryOfSeveralTanks) {
  ASSERT_NE(Connect(), nullptr);
  ExpectTheFourTanks();
  sim::Stats stats = gauge_.GetStats();
  EXPECT_EQ(stats.Count("i214"), 4u) << "one density report per tank served every kind";
  EXPECT_EQ(stats.Count("i201"), 0u);
}

// The newer console family: ten fields in the density report, read per tank
// by default and, with RefreshAllTanks, every tank from one request.
TEST_F(GaugePtyTest, NewerConsolePerTankAndInOneRequest) {
  gauge_.SetModel(GaugeSim::Model::kTls4);
  for (const bool allTanks : {false, true}) {
    SCOPED_TRACE(allTanks ? "one request" : "per tank");
    gauge_.ResetStats();
    ASSERT_NE(Connect(30, allTanks ? "RefreshAllTanks=1\r\n" : ""), nullptr);
    ExpectTheFourTanks();
    const sim::Stats stats = gauge_.GetStats();
    EXPECT_EQ(stats.requests, allTanks ? 1u : 4u);
    EXPECT_EQ(stats.Count("i21400"), allTanks ? 1u : 0u);
    VRSILO_DESTROY(silo_);
    silo_ = nullptr;
  }
}

TEST_F(GaugePtyTest, FallsBackToThePlainReport) {
  gauge_.SetFault("i201-only");
  ASSERT_NE(Connect(), nullptr);
  auto start = Clock::now();
  EXPECT_DOUBLE_EQ(Level(1), 200.0);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(4400)) << "three silent i214 attempts";
  EXPECT_DOUBLE_EQ(Volume(1), 2000.0);
  EXPECT_EQ(gauge_.GetStats().Count("i21402"), 3u);
  EXPECT_EQ(gauge_.GetStats().Count("i20102"), 1u);
  EXPECT_EQ(State(), 1u);
}

TEST_F(GaugePtyTest, ConsoleWithoutDensityReportAnswersAtOnce) {
  // An older console refuses "i214" with its unknown-command reply, which
  // ends each attempt at its ETX instead of after the 1500 ms wait.
  gauge_.SetFault("no-i214");
  ASSERT_NE(Connect(), nullptr);
  auto start = Clock::now();
  EXPECT_DOUBLE_EQ(Level(2), 300.0);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(750));
  EXPECT_EQ(State(), 1u);
  EXPECT_EQ(gauge_.GetStats().Count("i21403"), 3u);
  EXPECT_EQ(gauge_.GetStats().Count("i20103"), 1u);
}

TEST_F(GaugePtyTest, SilentGaugeGivesDefaults) {
  gauge_.SetFault("silent");
  ASSERT_NE(Connect(), nullptr);
  auto start = Clock::now();
  EXPECT_DOUBLE_EQ(Density(0), 0.77);
  auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(8900)) << "six waits of 1500 ms";
  EXPECT_LT(took, std::chrono::milliseconds(10500));
  EXPECT_EQ(State(), 2u);
  EXPECT_EQ(gauge_.GetStats().requests, 6u);
}

TEST_F(GaugePtyTest, CalibrationTableWrittenAndReadBack) {
  ASSERT_NE(Connect(), nullptr);
  VrCalibrationPoints p{};
  for (int k = 0; k < 20; ++k) DoubleToExtended(123.5 * (k + 1), p.bytes + 10 * k);
  auto write = VRSILO_SLOT(silo_, VrWriteCalibrationFn, VRSILO_SLOT_WRITE_CALIBRATION);
  auto read = VRSILO_SLOT(silo_, VrReadCalibrationFn, VRSILO_SLOT_READ_CALIBRATION);
  ASSERT_EQ(write(silo_, 3, 2750, &p), 0);
  VrCalibrationPoints back{};
  int32_t height = 0;
  ASSERT_EQ(read(silo_, 3, &height, &back), 0);
  EXPECT_EQ(height, 2750);
  EXPECT_EQ(0, memcmp(&back, &p, sizeof p));
  EXPECT_EQ(gauge_.GetStats().Count("s606"), 1u);
}

TEST_F(GaugePtyTest, FailedTableReadKeepsPointsButStoresHeight) {
  ASSERT_NE(Connect(), nullptr);
  gauge_.SetFault("no-i606");
  gauge_.UpdateTank(2, [](TankState& t) { t.height = 1800.0f; });
  VrCalibrationPoints p{};
  memset(&p, 0x3C, sizeof p);
  const VrCalibrationPoints before = p;
  int32_t height = 0;
  auto read = VRSILO_SLOT(silo_, VrReadCalibrationFn, VRSILO_SLOT_READ_CALIBRATION);
  EXPECT_EQ(read(silo_, 2, &height, &p), -1);
  EXPECT_EQ(height, 1800);
  EXPECT_EQ(0, memcmp(&p, &before, sizeof p));
  EXPECT_EQ(gauge_.GetStats().Count("i60602"), 3u);
  EXPECT_EQ(State(), 2u);
}

TEST_F(GaugePtyTest, HostThreadsAndCalibrationThreadTogether) {
  ASSERT_NE(Connect(0), nullptr);  // period 0: every read goes to the gauge
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0}, wrong{0}, tables{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int n = 0; !stop; ++n) {
        int i = (t + n) % 4;
        double level = Level(i);
        if (level != 0.0 && level != 100.0 * (i + 1)) ++wrong;
        double density = Density(i);
        if (density != 0.77 && density != 0.75) ++wrong;
        ++reads;
      }
    });
  }
  threads.emplace_back([&] {
    VrCalibrationPoints p{};
    for (int k = 0; k < 20; ++k) DoubleToExtended(10.0 * (k + 1), p.bytes + 10 * k);
    while (!stop) {
      VrCalibrationPoints back{};
      int32_t height = 0;
      if (VRSILO_SLOT(silo_, VrWriteCalibrationFn, VRSILO_SLOT_WRITE_CALIBRATION)(silo_, 4, 2600,
                                                                                  &p) == 0 &&
          VRSILO_SLOT(silo_, VrReadCalibrationFn, VRSILO_SLOT_READ_CALIBRATION)(silo_, 4, &height,
                                                                                &back) == 0) {
        if (height != 2600 || memcmp(&back, &p, sizeof p) != 0) ++wrong;
        ++tables;
      }
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  stop = true;
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(reads.load(), 20);
  EXPECT_GT(tables.load(), 2);
}

}  // namespace
}  // namespace vr::test
