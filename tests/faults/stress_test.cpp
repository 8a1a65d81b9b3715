// Stress: eight host threads reading random tanks and slots, one thread
// writing and reading calibration tables, and the connection type switched
// between COM2 and COM3 (both on the simulator) 100 times, all at once on one
// driver object. Every value must be the gauge's or the default, every table
// read back the one written; nothing may deadlock or stay behind.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "common/application.h"
#include "fault_support.h"
#include "protocol/extended.h"
#include "silo_test_access.h"

namespace vr::faults {
namespace {

using sim::GaugeSim;
using sim::PtyGauge;

constexpr int kReaders = 8;
constexpr int kSwitches = 100;
constexpr uint32_t kReplyTimeoutMs = 300;
// The whole run must end well within this; a deadlock is reported, not waited out.
constexpr auto kDeadline = 90s;

struct Tally {
  std::atomic<uint64_t> reads{0}, fresh{0}, defaults{0}, wrong{0};
  std::atomic<uint64_t> tables_written{0}, tables_read{0}, table_failures{0}, tables_wrong{0};
  std::atomic<int> switches{0};
};

// One read of a random slot of tank index i; true when the value was the
// gauge's, false when it was the default; anything else counts as wrong.
void ReadOnce(TSilo& silo, int i, int slot, Tally& tally) {
  const int n = i + 1;
  bool fresh = false, dflt = false;
  switch (slot) {
    case 0: {
      double v = silo.GetLevel(i);
      fresh = v == LevelOf(n);
      dflt = v == 0.0;
      break;
    }
    case 1: {
      double t[4] = {-1, -1, -1, -1};
      silo.GetTemperatures(i, t);
      fresh = t[0] == TemperatureOf(n) && t[1] == t[0] && t[2] == t[0] && t[3] == t[0];
      dflt = t[0] == 0.0 && t[1] == 0.0 && t[2] == 0.0 && t[3] == 0.0;
      break;
    }
    case 2: {
      uint8_t v = silo.GetWater(i);
      fresh = v == static_cast<uint8_t>(WaterOf(n));
      dflt = v == 0;
      break;
    }
    case 3: {
      double v = silo.GetDensity(i);
      fresh = v == DensityRead(n);
      dflt = v == 0.77;
      break;
    }
    default: {
      double v = silo.GetVolume(i);
      fresh = v == VolumeOf(n);
      dflt = v == 0.0;
      break;
    }
  }
  ++tally.reads;
  if (fresh)
    ++tally.fresh;
  else if (dflt)
    ++tally.defaults;
  else
    ++tally.wrong;
}

void TableRound(TSilo& silo, std::mt19937& rng, uint32_t round, Tally& tally) {
  const uint32_t n = 1 + rng() % 16;
  const int32_t height = 1000 + static_cast<int32_t>(round % 2000);
  std::array<uint8_t, 200> points{};
  for (int k = 0; k < 20; ++k)
    DoubleToExtended(static_cast<double>(round) + 10.0 * (k + 1), points.data() + 10 * k);
  if (silo.WriteCalibrationTable(n, height, points.data()) != 0) {
    ++tally.table_failures;
    return;
  }
  ++tally.tables_written;
  std::array<uint8_t, 200> back{};
  int32_t h = 0;
  if (silo.ReadCalibrationTable(n, &h, back.data()) != 0) {
    ++tally.table_failures;
    return;
  }
  ++tally.tables_read;
  if (h != height || back != points) ++tally.tables_wrong;
}

TEST(StressTest, ReadersTablesAndConnectionSwitches) {
  test::RecordingApp app;
  test::TempWindowsDir windir;
  std::thread([] {}).join();  // a sanitizer's own helper thread starts with the first thread
  const int threads_before = ThreadCount();
  const int fds_before = OpenDescriptors();

  GaugeSim gauge;
  for (int n = 1; n <= 16; ++n) gauge.SetTank(n, TankValues(n));
  PtyGauge pty(gauge);
  const std::string path = pty.Start();
  windir.WriteSettings(SettingsText(4, 0, {{2, path}, {3, path}}));
  Tally tally;
  const auto start = Clock::now();
  {
    TSilo silo(nullptr, 4);
    ASSERT_TRUE(SiloTestAccess::SetReplyTimeoutMs(silo, kReplyTimeoutMs));
    silo.SetUpdatePeriodMs(0);

    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int r = 0; r < kReaders; ++r) {
      workers.emplace_back([&, r] {
        std::mt19937 rng(1234u + static_cast<unsigned>(r));
        while (!stop)
          ReadOnce(silo, static_cast<int>(rng() % 16), static_cast<int>(rng() % 5), tally);
      });
    }
    workers.emplace_back([&] {
      std::mt19937 rng(99);
      for (uint32_t round = 1; !stop; ++round) TableRound(silo, rng, round, tally);
    });
    // The refresh period changes under the readers: every read goes to the
    // gauge for a while, then most come from the cache.
    workers.emplace_back([&] {
      for (int k = 0; !stop; ++k) {
        silo.SetUpdatePeriodMs(k % 4 == 3 ? 30 : 0);
        std::this_thread::sleep_for(50ms);
      }
    });
    workers.emplace_back([&] {
      for (int k = 0; k < kSwitches && !stop; ++k) {
        std::this_thread::sleep_for(15ms);
        SiloTestAccess::ChangeConnectionType(silo, k % 2 == 0 ? 5 : 4, kReplyTimeoutMs);
        ++tally.switches;
      }
    });

    // Runs until the switches are done (and at least three seconds); a
    // deadlock shows as a run that does not end by the deadline.
    std::mutex mu;
    std::condition_variable cv;
    bool joined = false;
    std::thread watchdog([&] {
      std::unique_lock<std::mutex> lock(mu);
      if (!cv.wait_for(lock, kDeadline, [&] { return joined; })) {
        std::fprintf(stderr, "stress: no end after %lld s (reads %llu, switches %d): deadlock\n",
                     static_cast<long long>(kDeadline.count()),
                     static_cast<unsigned long long>(tally.reads.load()), tally.switches.load());
        std::abort();
      }
    });
    while (tally.switches < kSwitches || Clock::now() - start < 3s) {
      if (Clock::now() - start > kDeadline - 10s) break;
      std::this_thread::sleep_for(20ms);
    }
    stop = true;
    for (auto& w : workers) w.join();
    {
      std::lock_guard<std::mutex> lock(mu);
      joined = true;
    }
    cv.notify_all();
    watchdog.join();
    EXPECT_EQ(silo.GetConnectionType(), 4) << "an even number of switches ends on COM2";
  }
  const int64_t ms = ElapsedMs(start);
  pty.Close();

  const sim::Stats stats = gauge.GetStats();
  std::printf(
      "[ figures  ] stress: %llu reads (%llu fresh, %llu default), %llu requests to the gauge, "
      "%llu tables written, %llu read back, %llu table failures, %d switches, %lld ms\n",
      static_cast<unsigned long long>(tally.reads.load()),
      static_cast<unsigned long long>(tally.fresh.load()),
      static_cast<unsigned long long>(tally.defaults.load()),
      static_cast<unsigned long long>(stats.requests),
      static_cast<unsigned long long>(tally.tables_written.load()),
      static_cast<unsigned long long>(tally.tables_read.load()),
      static_cast<unsigned long long>(tally.table_failures.load()), tally.switches.load(),
      static_cast<long long>(ms));
  EXPECT_EQ(tally.switches.load(), kSwitches);
  EXPECT_EQ(tally.wrong.load(), 0u) << "a value that is neither the gauge's nor the default";
  EXPECT_EQ(tally.tables_wrong.load(), 0u) << "a table read back other than written";
  EXPECT_GT(tally.fresh.load(), 100u);
  EXPECT_GT(tally.tables_read.load(), 5u);
  EXPECT_LT(ms, std::chrono::duration_cast<std::chrono::milliseconds>(kDeadline).count());
  EXPECT_TRUE(app.Shown_().empty()) << app.Shown_().front().text;
  EXPECT_TRUE(Eventually([&] { return ThreadCount() <= threads_before; }, 2000))
      << "threads left: " << ThreadCount() << " > " << threads_before;
  EXPECT_EQ(OpenDescriptors(), fds_before) << "descriptors left behind";
}

}  // namespace
}  // namespace vr::faults
