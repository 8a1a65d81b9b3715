// Scenario activities of the gauge simulator in simulated time: sales, a
// leak, a temperature drift, noise, the TC volume; stepped without transports.
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <tuple>
#include <vector>

#include "simulator.h"

namespace vr::sim {
namespace {

using namespace std::chrono_literals;

// Local time, as the console's clock and the daily pattern read it.
WallClock::time_point Local(int day, int hour = 0) {
  std::tm tm{};
  tm.tm_year = 2026 - 1900, tm.tm_mon = 11, tm.tm_mday = day, tm.tm_hour = hour, tm.tm_isdst = -1;
  return WallClock::from_time_t(std::mktime(&tm));
}

// 20000 l, 2000 mm: 500 l a 100 mm up to 1000 mm (5000 l), 1500 l a 100 mm above.
double KneeLevel(double volume) {
  return volume <= 5000 ? volume / 5 : 1000 + (volume - 5000) / 15;
}
TankState KneeTank(float volume) {
  TankState t;
  t.height = 2000;
  for (size_t k = 1; k <= kCalibrationPoints; ++k)
    t.cal[k - 1] = k <= 10 ? 500.0f * k : 5000.0f + 1500.0f * (k - 10);
  t.volume = t.tc_volume = volume;
  t.level = static_cast<float>(KneeLevel(volume));
  t.ullage = 20000 - volume;
  t.temperature = 15;
  return t;
}

TEST(GaugeSimScenario, ForecourtSalesFollowTheLocalHourAndTheWeekday) {
  // Monday 7, Friday 11 and Sunday 13 December 2026; factors Monday first.
  const std::tuple<int, double> days[] = {{7, 10000}, {11, 13000}, {13, 5000}};
  for (const auto& [day, litres] : days) {
    GaugeSim sim;
    sim.SetTank(1, KneeTank(19000));
    const auto t0 = Clock::now();
    sim.SetClock(Local(day), 1, t0);
    ASSERT_TRUE(sim.SetActivity(
        1, Activity{.sales_per_day = 10000, .weekdays = {1, 1, 1, 1, 1.3, 0.7, 0.5}}, t0));
    std::vector<TankState> minute;
    std::vector<WallClock::time_point> wall;
    EXPECT_EQ(StepMinutes(sim, t0, t0 + 24h,
                          [&](WallClock::time_point w, int, const TankState& t) {
                            wall.push_back(w);
                            minute.push_back(t);
                          }),
              1441u);
    ASSERT_EQ(minute.size(), 1441u);
    EXPECT_EQ(wall[300], Local(day, 5));
    EXPECT_NEAR(minute[0].volume - minute[1440].volume, litres, litres * 0.001) << day;
    EXPECT_LT(minute[0].volume - minute[300].volume, litres * 0.01) << "00-05, day " << day;
    EXPECT_GT(minute[420].volume - minute[540].volume, litres * 0.15) << "07-09, day " << day;
    EXPECT_NEAR(minute[1440].level, KneeLevel(minute[1440].volume), 0.01);
    EXPECT_NEAR(minute[1440].ullage, 20000 - minute[1440].volume, 0.01);
  }
}

TEST(GaugeSimScenario, LeaksSalesAndDriftMoveTheTankThroughItsTable) {
  const std::tuple<const char*, Activity, double, Clock::duration, float, float> cases[] = {
      {"leak", {.loss_per_minute = 50}, 1, 10min, 7500, 15},
      {"leak at 600x", {.loss_per_minute = 50}, 600, 1s, 7500, 15},
      {"empty", {.loss_per_minute = 50}, 1, 200min, 0, 15},
      {"flat sales", {.sales_per_day = 14400, .profile = SalesProfile::kFlat}, 1, 1h, 7400, 15},
      {"drift", {.drift_per_hour = 0.5}, 1, 2h, 8000, 16},
  };
  for (const auto& [what, activity, speed, elapsed, volume, temperature] : cases) {
    GaugeSim sim;
    sim.SetTank(1, KneeTank(8000));
    const auto t0 = Clock::now();
    sim.SetClock(Local(8, 10), speed, t0);
    ASSERT_TRUE(sim.SetActivity(1, activity, t0));
    sim.Advance(t0 + elapsed);
    const TankState t = *sim.GetTank(1);
    EXPECT_NEAR(t.volume, volume, 0.01) << what;
    EXPECT_NEAR(t.level, KneeLevel(volume), 0.01) << what;
    EXPECT_NEAR(t.ullage, 20000 - volume, 0.01) << what;
    EXPECT_NEAR(t.temperature, temperature, 1e-4) << what;
  }
}

TEST(GaugeSimScenario, TcVolumeOfADieselTankByThePetroleumTables) {
  // Table 53B by iteration (840 kg/m3 observed at t to the density at 15 C),
  // then table 54B's factor for that density.
  auto factor = [](double t) {
    double d15 = 840, vcf = 1;
    for (int i = 0; i < 50; ++i) {
      const double alpha = 186.9696 / (d15 * d15) + 0.4862 / d15, dt = t - 15;
      vcf = std::exp(-alpha * dt * (1 + 0.8 * alpha * dt));
      d15 = 840 / vcf;
    }
    return vcf;
  };
  GaugeSim sim;
  TankState diesel = KneeTank(8000);
  diesel.density = 840;
  diesel.temperature = 25;
  sim.SetTank(1, diesel);
  EXPECT_EQ(sim.Reading(1)->tc_volume, 8000) << "a tank that does not move keeps its value";
  const auto t0 = Clock::now();
  sim.SetClock(Local(8, 10), 1, t0);
  ASSERT_TRUE(sim.Deliver(1, 1000, 0min, t0));
  EXPECT_NEAR(sim.GetTank(1)->tc_volume, factor(25) * 9000, 0.01);
  ASSERT_TRUE(sim.SetActivity(1, Activity{.drift_per_hour = 2}, t0));
  sim.Advance(t0 + 30min);
  EXPECT_NEAR(sim.GetTank(1)->tc_volume, factor(26) * 9000, 0.01);
  EXPECT_LT(factor(26), factor(25));
}

TEST(GaugeSimScenario, NoiseSpreadsTheLevelReadButNeverMovesTheTank) {
  const std::tuple<NoiseShape, double> cases[] = {{NoiseShape::kUniform, std::sqrt(3.0)},
                                                  {NoiseShape::kGaussian, 1.0}};
  for (const auto& [shape, sigma] : cases) {
    GaugeSim sim;
    sim.SetTank(1, KneeTank(8000));
    const auto t0 = Clock::now();
    sim.SetClock(Local(8), 1, t0);
    ASSERT_TRUE(sim.SetActivity(1, Activity{.noise_mm = 3, .noise = shape}, t0));
    double sum = 0, squares = 0, low = 0, high = 0;
    StepMinutes(sim, t0, t0 + 2000min, [&](WallClock::time_point, int, const TankState& t) {
      const double off = t.level - 1200;
      sum += off, squares += off * off, low = std::min(low, off), high = std::max(high, off);
      EXPECT_NEAR(t.volume - 8000, 15 * off, 0.02) << "the volume read follows by the table";
    });
    EXPECT_NEAR(sum / 2001, 0, 0.15);
    EXPECT_NEAR(std::sqrt(squares / 2001), sigma, sigma * 0.1);
    EXPECT_TRUE(low >= -3 && low < -2 && high > 2 && high <= 3) << low << " " << high;
    EXPECT_EQ(std::make_pair(sim.GetTank(1)->volume, sim.GetTank(1)->level),
              std::make_pair(8000.0f, 1200.0f));
    sim.SetNoiseSeed(5);
    const float first = sim.Reading(1)->level;
    sim.SetNoiseSeed(5);
    EXPECT_EQ(sim.Reading(1)->level, first) << "reproducible";
  }
}

}  // namespace
}  // namespace vr::sim
