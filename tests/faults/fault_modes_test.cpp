// Every fault mode of the gauge simulator, met through the built library's C
// interface over a pseudo-terminal: the values or defaults the read slots
// return, the link state, and how many requests reached the gauge.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "fault_support.h"
#include "protocol/extended.h"

namespace vr::faults {
namespace {

using sim::GaugeSim;
using sim::PtyGauge;
using Host = HostLibrary;

// Three attempts of 1500 ms for "i214" and three for "i201".
constexpr int64_t kSixWaitsMs = 6 * 1500;
// Head room for a loaded machine or a sanitizer build.
constexpr int64_t kSlackMs = 1500;

class FaultModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.Loaded()) << dlerror();
    for (int n = 1; n <= 4; ++n) gauge_.SetTank(n, TankValues(n));
    path_ = pty_.Start();
  }
  void TearDown() override {
    if (silo_) VRSILO_DESTROY(silo_);
    pty_.Close();
  }

  // COM2 (connection type 4) mapped to the simulator.
  VrSilo* Connect(int seconds) {
    windir_.WriteSettings(SettingsText(4, seconds, {{2, path_}}));
    silo_ = lib_.Ex2();
    return silo_;
  }

  uint64_t Count(std::string_view code) const { return gauge_.GetStats().Count(code); }
  uint64_t Requests() const { return gauge_.GetStats().requests; }

  // All five read slots of tank index i give the gauge's values.
  void ExpectValues(int i) {
    const int n = i + 1;
    EXPECT_DOUBLE_EQ(Host::Level(silo_, i), LevelOf(n));
    EXPECT_EQ(Host::State(silo_), 1u);
    EXPECT_DOUBLE_EQ(Host::Volume(silo_, i), VolumeOf(n));
    EXPECT_EQ(Host::Water(silo_, i), static_cast<uint32_t>(WaterOf(n)));
    EXPECT_DOUBLE_EQ(Host::Density(silo_, i), DensityRead(n));
    double t[4] = {-1, -1, -1, -1};
    Host::Temperatures(silo_, i, t);
    for (double v : t) EXPECT_DOUBLE_EQ(v, TemperatureOf(n));
    EXPECT_EQ(Host::State(silo_), 1u);
  }

  // All five read slots of tank index i give their defaults, each leaving
  // `state`, each after six requests (the "i214" and "i201" attempts).
  void ExpectDefaults(int i, uint32_t state) {
    uint64_t before = Requests();
    EXPECT_DOUBLE_EQ(Host::Level(silo_, i), 0.0);
    EXPECT_EQ(Host::State(silo_), state);
    EXPECT_DOUBLE_EQ(Host::Volume(silo_, i), 0.0);
    EXPECT_EQ(Host::State(silo_), state);
    EXPECT_EQ(Host::Water(silo_, i), 0u);
    EXPECT_EQ(Host::State(silo_), state);
    EXPECT_DOUBLE_EQ(Host::Density(silo_, i), 0.77);
    EXPECT_EQ(Host::State(silo_), state);
    double t[4] = {5, 5, 5, 5};
    Host::Temperatures(silo_, i, t);
    for (double v : t) EXPECT_EQ(v, 0.0);
    EXPECT_EQ(Host::State(silo_), state);
    EXPECT_EQ(Requests() - before, 5u * 6u);
  }

  test::TempWindowsDir windir_;
  HostLibrary lib_;
  GaugeSim gauge_;
  PtyGauge pty_{gauge_};
  std::string path_;
  VrSilo* silo_ = nullptr;
};

TEST_F(FaultModeTest, HealthyGaugeOneRequestPerRead) {
  ASSERT_NE(Connect(0), nullptr);
  for (int i = 0; i < 4; ++i) ExpectValues(i);
  EXPECT_EQ(Count("i214"), 4u * 5u) << "period 0: every read asks the gauge";
  EXPECT_EQ(Count("i201"), 0u);
}

TEST_F(FaultModeTest, SilentGaugeDefaultAfterSixWaitsThenRecovers) {
  ASSERT_NE(Connect(0), nullptr);
  EXPECT_DOUBLE_EQ(Host::Level(silo_, 0), LevelOf(1));
  gauge_.ResetStats();
  gauge_.SetFault("silent");
  auto start = Clock::now();
  EXPECT_DOUBLE_EQ(Host::Level(silo_, 0), 0.0) << "the cached value is not served";
  const int64_t took = ElapsedMs(start);
  EXPECT_GE(took, kSixWaitsMs - 100);
  EXPECT_LT(took, kSixWaitsMs + kSlackMs);
  EXPECT_EQ(Host::State(silo_), 2u);
  EXPECT_EQ(Count("i21401"), 3u);
  EXPECT_EQ(Count("i20101"), 3u);
  EXPECT_EQ(Requests(), 6u);

  gauge_.ClearFaults();
  start = Clock::now();
  EXPECT_DOUBLE_EQ(Host::Level(silo_, 0), LevelOf(1));
  EXPECT_LT(ElapsedMs(start), 1000) << "no wait once the gauge answers again";
  EXPECT_EQ(Host::State(silo_), 1u);
  EXPECT_EQ(Requests(), 7u);
}

TEST_F(FaultModeTest, BadChecksumDefaultsStateThreeWithoutWaiting) {
  ASSERT_NE(Connect(30), nullptr);
  ExpectValues(0);  // tank 1 is now cached for 30 s
  gauge_.ResetStats();
  gauge_.SetFault("bad-checksum");
  auto start = Clock::now();
  ExpectDefaults(1, 3);
  EXPECT_LT(ElapsedMs(start), 5 * 1500) << "rejected replies end the attempts at once";
  EXPECT_EQ(Count("i21402"), 15u);
  EXPECT_EQ(Count("i20102"), 15u);

  // A fresh cached value of another tank is served and resets the state.
  uint64_t before = Requests();
  EXPECT_DOUBLE_EQ(Host::Level(silo_, 0), LevelOf(1));
  EXPECT_EQ(Host::State(silo_), 1u);
  EXPECT_EQ(Requests(), before);
}

TEST_F(FaultModeTest, LowerCaseChecksumIsRejected) {
  ASSERT_NE(Connect(0), nullptr);
  gauge_.SetFault("lower-checksum");
  ExpectDefaults(2, 3);
  EXPECT_EQ(Count("i21403"), 15u);
  EXPECT_EQ(Count("i20103"), 15u);
  gauge_.ClearFaults();
  ExpectValues(2);
}

TEST_F(FaultModeTest, CutFrameTimesOutAsBadReply) {
  ASSERT_NE(Connect(0), nullptr);
  gauge_.SetFault("cut");
  auto start = Clock::now();
  EXPECT_DOUBLE_EQ(Host::Volume(silo_, 3), 0.0);
  const int64_t took = ElapsedMs(start);
  EXPECT_GE(took, kSixWaitsMs - 100) << "half a frame never completes";
  EXPECT_LT(took, kSixWaitsMs + kSlackMs);
  EXPECT_EQ(Host::State(silo_), 3u) << "a reply began but did not end";
  EXPECT_EQ(Count("i21404"), 3u);
  EXPECT_EQ(Count("i20104"), 3u);
  gauge_.ClearFaults();
  ExpectValues(3);  // the half frame left in the framer is discarded
}

TEST_F(FaultModeTest, GarbageBeforeSohFailsTheCheck) {
  ASSERT_NE(Connect(0), nullptr);
  gauge_.SetFault("garbage");
  auto start = Clock::now();
  ExpectDefaults(0, 3);
  EXPECT_LT(ElapsedMs(start), 5 * 1500);
  EXPECT_EQ(Count("i214"), 15u);
  EXPECT_EQ(Count("i201"), 15u);
  gauge_.ClearFaults();
  ExpectValues(0);
}

TEST_F(FaultModeTest, ReplyAfter1400MsIsInTime) {
  gauge_.SetDelay(1400);
  ASSERT_NE(Connect(0), nullptr);
  auto start = Clock::now();
  EXPECT_DOUBLE_EQ(Host::Level(silo_, 1), LevelOf(2));
  const int64_t took = ElapsedMs(start);
  EXPECT_GE(took, 1400);
  EXPECT_LT(took, 1400 + kSlackMs);
  EXPECT_EQ(Host::State(silo_), 1u);
  EXPECT_DOUBLE_EQ(Host::Density(silo_, 1), DensityRead(2));
  EXPECT_EQ(Count("i21402"), 2u);
  EXPECT_EQ(Requests(), 2u);
}

TEST_F(FaultModeTest, ReplyAfter1600MsIsTakenByTheSecondAttempt) {
  gauge_.SetDelay(1600);
  ASSERT_NE(Connect(0), nullptr);
  auto start = Clock::now();
  EXPECT_DOUBLE_EQ(Host::Level(silo_, 1), LevelOf(2));
  const int64_t took = ElapsedMs(start);
  EXPECT_GE(took, 1600);
  EXPECT_LT(took, 3000) << "the late reply completes during the second attempt";
  EXPECT_EQ(Host::State(silo_), 1u);
  EXPECT_TRUE(Eventually([&] { return Count("i21402") == 2; }, 1000));
  EXPECT_EQ(Count("i201"), 0u);
}

// A gauge slower than the time-out answers every request late, so a reply
// can arrive while a later request of another command or tank is waiting. It
// must never be taken for that request's reply: every read gives the right
// value or the default, every table read the right table or a failure.
TEST_F(FaultModeTest, LateRepliesNeverAnswerAnotherRequest) {
  gauge_.SetDelay(1600);
  ASSERT_NE(Connect(0), nullptr);
  for (int i = 0; i < 2; ++i) {
    const double level = Host::Level(silo_, i);
    if (level != 0.0) {
      EXPECT_DOUBLE_EQ(level, LevelOf(i + 1));
      EXPECT_EQ(Host::State(silo_), 1u);
    } else {
      EXPECT_NE(Host::State(silo_), 1u) << "a default must not come with link state 1";
    }
  }
  VrCalibrationPoints p;
  std::memset(&p, 0x5A, sizeof p);
  int32_t height = -7;
  const int32_t result = Host::ReadTable(silo_, 2, &height, &p);
  if (result == 0) {
    EXPECT_EQ(height, 2020);
    for (int k = 0; k < 20; ++k)
      EXPECT_DOUBLE_EQ(ExtendedToDouble(p.bytes + 10 * k), 200.0 + 50.0 * (k + 1)) << k;
  } else {
    EXPECT_EQ(result, -1);
    EXPECT_NE(Host::State(silo_), 1u);
  }
}

TEST_F(FaultModeTest, I201OnlyGaugeServesEverythingButDensity) {
  gauge_.SetFault("i201-only");
  ASSERT_NE(Connect(30), nullptr);
  auto start = Clock::now();
  EXPECT_DOUBLE_EQ(Host::Level(silo_, 1), LevelOf(2));
  EXPECT_GE(ElapsedMs(start), 3 * 1500 - 100) << "three silent i214 attempts first";
  EXPECT_EQ(Host::State(silo_), 1u);
  EXPECT_EQ(Count("i21402"), 3u);
  EXPECT_EQ(Count("i20102"), 1u);

  // One refresh stamped level, temperatures, volume and water.
  EXPECT_DOUBLE_EQ(Host::Volume(silo_, 1), VolumeOf(2));
  EXPECT_EQ(Host::Water(silo_, 1), 2u);
  double t[4] = {};
  Host::Temperatures(silo_, 1, t);
  EXPECT_DOUBLE_EQ(t[0], TemperatureOf(2));
  EXPECT_EQ(Requests(), 4u);

  // Density is stamped only by a density report: every read refreshes, and
  // with the link good after "i201" the never-read density 0.0 comes back.
  EXPECT_DOUBLE_EQ(Host::Density(silo_, 1), 0.0);
  EXPECT_EQ(Host::State(silo_), 1u);
  EXPECT_EQ(Count("i21402"), 6u);
  EXPECT_EQ(Count("i20102"), 2u);
}

// The gauge answers a tank it does not know with its error reply, which
// carries no "&&" and so never completes a frame.
TEST_F(FaultModeTest, UnknownTankGetsTheErrorReplyAndADefault) {
  ASSERT_NE(Connect(0), nullptr);
  auto start = Clock::now();
  EXPECT_DOUBLE_EQ(Host::Density(silo_, 5), 0.77);
  // The error reply ends each attempt at its ETX: no attempt waits 1500 ms.
  EXPECT_LT(ElapsedMs(start), 1500);
  EXPECT_EQ(Host::State(silo_), 3u);
  sim::Stats stats = gauge_.GetStats();
  EXPECT_EQ(stats.Count("i21406"), 3u);
  EXPECT_EQ(stats.Count("i20106"), 3u);
  EXPECT_EQ(stats.errors, 6u);
  ExpectValues(0);  // a known tank right after
}

TEST_F(FaultModeTest, ByteByByteRepliesAreFramed) {
  gauge_.SetFault("byte-by-byte");
  ASSERT_NE(Connect(0), nullptr);
  ExpectValues(0);
  ExpectValues(3);
  EXPECT_EQ(Count("i214"), 10u);
  VrCalibrationPoints p{};
  int32_t height = 0;
  ASSERT_EQ(Host::ReadTable(silo_, 4, &height, &p), 0);
  EXPECT_EQ(height, 2040);
  EXPECT_DOUBLE_EQ(ExtendedToDouble(p.bytes + 10 * 19), 400.0 + 50.0 * 20);
}

TEST_F(FaultModeTest, RepliesPacedAt9600Baud) {
  gauge_.SetPace(9600);
  ASSERT_NE(Connect(0), nullptr);
  auto start = Clock::now();
  EXPECT_DOUBLE_EQ(Host::Level(silo_, 0), LevelOf(1));
  // 7 request bytes and 81 reply bytes at 1.04 ms each.
  EXPECT_GE(ElapsedMs(start), 88);
  EXPECT_EQ(Host::State(silo_), 1u);
  EXPECT_EQ(Requests(), 1u);
  ExpectValues(1);
  VrCalibrationPoints p{};
  int32_t height = 0;
  ASSERT_EQ(Host::ReadTable(silo_, 3, &height, &p), 0);
  EXPECT_EQ(height, 2030);
  EXPECT_DOUBLE_EQ(ExtendedToDouble(p.bytes), 350.0);
}

// With every tank in one request and no refresh period, one sweep of the
// host's reads over sixteen tanks costs one all-tank request, not sixteen: a
// reading from that reply stays fresh for as long as the exchange took.
TEST_F(FaultModeTest, SixteenReadsAt9600BaudCostOneAllTankRequest) {
  for (int n = 5; n <= 16; ++n) gauge_.SetTank(n, TankValues(n));
  gauge_.SetPace(9600);
  windir_.WriteSettings("[VeederRoot]\r\nRefreshAllTanks=1\r\n" +
                        SettingsText(4, 0, {{2, path_}}).substr(std::strlen("[VeederRoot]\r\n")));
  silo_ = lib_.Ex2();
  ASSERT_NE(silo_, nullptr);
  const auto start = Clock::now();
  for (int i = 0; i < 16; ++i) EXPECT_DOUBLE_EQ(Host::Level(silo_, i), LevelOf(i + 1));
  const int64_t ms = ElapsedMs(start);
  EXPECT_EQ(Count("i21400"), 1u);
  EXPECT_EQ(Requests(), 1u);
  EXPECT_LT(ms, 3000) << "16 tanks, one all-tank reply of about 1.4 kB";
  std::printf(
      "16 reads, RefreshAllTanks=1, CriticalUpdateTime=0, 9600 baud: %lld ms, %llu requests\n",
      static_cast<long long>(ms), static_cast<unsigned long long>(Requests()));
}

}  // namespace
}  // namespace vr::faults
