// The gauge vanishes in the middle of an exchange (the simulator closes its
// pseudo-terminal after part of a reply): the read gives its default within
// the time-outs, nothing spins while the port is dead, and once the gauge is
// back on a new path the readings come back without restarting the host.
#include <gtest/gtest.h>

#include <cstdio>

#include "common/application.h"
#include "fault_support.h"
#include "silo_test_access.h"

namespace vr::faults {
namespace {

using sim::GaugeSim;
using sim::PtyGauge;
using Host = HostLibrary;

// A dead port may cost the process this share of one core at most.
constexpr double kMaxIdleCpuShare = 0.05;

// CPU share of the process over `seconds` of idling.
double IdleCpuShare(int seconds) {
  const int64_t cpu0 = ProcessCpuMicros();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double wall = static_cast<double>(ElapsedMs(start)) * 1000.0;
  return static_cast<double>(ProcessCpuMicros() - cpu0) / wall;
}

class GaugeVanishTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int n = 1; n <= 2; ++n) gauge_.SetTank(n, TankValues(n));
    path_ = pty_.Start();
  }

  test::TempWindowsDir windir_;
  GaugeSim gauge_;
  PtyGauge pty_{gauge_};
  std::string path_;
};

TEST_F(GaugeVanishTest, ThroughTheHostInterface) {
  HostLibrary lib;
  ASSERT_TRUE(lib.Loaded()) << dlerror();
  windir_.WriteSettings(SettingsText(4, 0, {{2, path_}}));
  VrSilo* silo = lib.Ex2();
  ASSERT_NE(silo, nullptr);
  EXPECT_DOUBLE_EQ(Host::Level(silo, 0), LevelOf(1));

  // The gauge sends 20 bytes of its reply and disappears.
  pty_.VanishOnNextRequest(20);
  auto start = Clock::now();
  EXPECT_DOUBLE_EQ(Host::Level(silo, 0), 0.0);
  const int64_t took = ElapsedMs(start);
  EXPECT_LT(took, 6 * 1500 + 1500) << "within the six time-outs";
  EXPECT_EQ(Host::State(silo), 3u) << "a reply began and never ended";
  EXPECT_TRUE(Eventually([&] { return !pty_.IsOpen(); }, 2000));

  const double share = IdleCpuShare(5);
  std::printf("[ figures  ] dead port, host interface: read took %lld ms, CPU %.2f%% over 5 s\n",
              static_cast<long long>(took), share * 100.0);
  EXPECT_LT(share, kMaxIdleCpuShare) << "a thread spins on the dead port";

  // Back on a new path; the settings map COM2 there and the host, still
  // running, makes a new driver object.
  const std::string again = pty_.Start();
  windir_.WriteSettings(SettingsText(4, 0, {{2, again}}));
  VrSilo* fresh = lib.Ex2();
  ASSERT_NE(fresh, nullptr);
  EXPECT_DOUBLE_EQ(Host::Level(fresh, 1), LevelOf(2));
  EXPECT_EQ(Host::State(fresh), 1u);

  start = Clock::now();
  VRSILO_DESTROY(silo);
  EXPECT_LT(ElapsedMs(start), 1000) << "the dead port closes promptly";
  VRSILO_DESTROY(fresh);
}

TEST_F(GaugeVanishTest, ChangingTheConnectionTypeBringsReadingsBack) {
  test::RecordingApp app;
  windir_.WriteSettings(SettingsText(4, 0, {{2, path_}}));
  const int threads = ThreadCount();
  {
    TSilo silo(nullptr, 4);
    ASSERT_TRUE(SiloTestAccess::SetReplyTimeoutMs(silo, 200));
    EXPECT_DOUBLE_EQ(silo.GetLevel(0), LevelOf(1));

    pty_.VanishOnNextRequest(20);
    auto start = Clock::now();
    EXPECT_DOUBLE_EQ(silo.GetLevel(0), 0.0);
    const int64_t took = ElapsedMs(start);
    EXPECT_LT(took, 6 * 200 + 1000);
    EXPECT_EQ(silo.GetLinkState(), 3);
    EXPECT_TRUE(Eventually([&] { return !pty_.IsOpen(); }, 2000));
    // A read on the dead port fails again, at once, and is still a default.
    EXPECT_DOUBLE_EQ(silo.GetDensity(1), 0.77);
    EXPECT_NE(silo.GetLinkState(), 1);

    const double share = IdleCpuShare(5);
    std::printf("[ figures  ] dead port, in process: read took %lld ms, CPU %.2f%% over 5 s\n",
                static_cast<long long>(took), share * 100.0);
    EXPECT_LT(share, kMaxIdleCpuShare) << "a thread spins on the dead port";

    // The gauge comes back on a new path, mapped to COM3: switching to it
    // brings the readings back.
    const std::string again = pty_.Start();
    windir_.WriteSettings(SettingsText(4, 0, {{2, path_}, {3, again}}));
    SiloTestAccess::ChangeConnectionType(silo, 5, 200);
    EXPECT_EQ(silo.GetConnectionType(), 5);
    EXPECT_DOUBLE_EQ(silo.GetLevel(1), LevelOf(2));
    EXPECT_EQ(silo.GetLinkState(), 1);

    // And back to COM2, now mapped to the new path as well.
    windir_.WriteSettings(SettingsText(4, 0, {{2, again}, {3, again}}));
    SiloTestAccess::ChangeConnectionType(silo, 4, 200);
    EXPECT_DOUBLE_EQ(silo.GetVolume(0), VolumeOf(1));
    EXPECT_EQ(silo.GetLinkState(), 1);
    EXPECT_TRUE(app.Shown_().empty()) << app.Shown_().front().text;
  }
  EXPECT_TRUE(Eventually([&] { return ThreadCount() <= threads; }, 1000))
      << "the port threads are gone with the object";
}

// The gauge is gone for good and its path with it: switching to the port
// shows the open failure once and leaves a driver that answers defaults.
TEST_F(GaugeVanishTest, SwitchingToAVanishedPortShowsTheFailure) {
  test::RecordingApp app;
  windir_.WriteSettings(SettingsText(4, 0, {{2, path_}, {3, path_}}));
  TSilo silo(nullptr, 4);
  ASSERT_TRUE(SiloTestAccess::SetReplyTimeoutMs(silo, 200));
  EXPECT_DOUBLE_EQ(silo.GetLevel(0), LevelOf(1));
  pty_.Close();
  SiloTestAccess::ChangeConnectionType(silo, 5, 200);
  ASSERT_EQ(app.Shown_().size(), 1u);
  EXPECT_EQ(app.Shown_()[0].text, "Невозможно открыть порт COM3 для уровнемера!");
  auto start = Clock::now();
  EXPECT_DOUBLE_EQ(silo.GetLevel(0), 0.0);
  EXPECT_LT(ElapsedMs(start), 500) << "without a link every attempt fails at once";
  EXPECT_EQ(silo.GetLinkState(), 2);
}

}  // namespace
}  // namespace vr::faults
