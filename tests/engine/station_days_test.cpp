// The engine over days of a simulated forecourt tank, stepped in simulated
// time: no false delivery or loss in a noisy week, and the run-out date after
// four weeks against what the same tank then does.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "engine.h"
#include "simulator.h"
#include "tank_file.h"

namespace vr::agent {
namespace {

using namespace std::chrono;
using sim::GaugeSim;

constexpr int64_t kDayMs = 86400000;

vrsilo_tank_record Record(sim::WallClock::time_point wall, const sim::TankState& t) {
  vrsilo_tank_record r{};
  r.tank = 1;
  r.link_state = 1;
  r.received_at_ms = duration_cast<milliseconds>(wall.time_since_epoch()).count();
  r.fields = VRSILO_FIELD_VOLUME | VRSILO_FIELD_TC_VOLUME | VRSILO_FIELD_HEIGHT |
             VRSILO_FIELD_WATER | VRSILO_FIELD_TEMPERATURE | VRSILO_FIELD_DENSITY;
  r.volume = t.volume, r.tc_volume = t.tc_volume, r.height = t.level, r.water = t.water;
  r.temperature = t.temperature, r.density = t.density;
  r.status = static_cast<unsigned>(std::strtoul(t.status.c_str(), nullptr, 16));
  return r;
}

struct Station {
  GaugeSim sim;
  TankEngine engine;
  std::vector<Event> events;
  sim::Clock::time_point now{};
  double engine_seconds = 0;
  size_t readings = 0;

  explicit Station(double salesPerDay) {
    setenv("TZ", "UTC", 1);
    tzset();
    sim::TankState t;
    t.cal = sim::CylinderTable(60000);
    t.height = 2500;
    t.volume = 50000;
    t.temperature = 15;
    t.density = 745;  // petrol
    sim.SetTank(1, t);
    sim.SetClock(sim::WallClock::time_point(seconds(1796083200)), 1, now);  // a Tuesday
    sim::Activity a;
    a.sales_per_day = salesPerDay;
    a.weekdays = {1.0, 1.0, 1.0, 1.1, 1.4, 0.9, 0.6};  // Monday first
    a.noise_mm = 0.5;
    sim.SetActivity(1, a, now);
    engine.SetFullVolume(60000);
  }
  // Reads every 10 s of simulated time for `span`.
  void Run(sim::Clock::duration span) {
    sim::StepMinutes(
        sim, now, now + span,
        [&](sim::WallClock::time_point wall, int, const sim::TankState& t) {
          const vrsilo_tank_record r = Record(wall, t);
          const auto start = steady_clock::now();
          engine.Feed(r, events);
          engine_seconds += duration<double>(steady_clock::now() - start).count();
          ++readings;
        },
        seconds(10));
    now += span;
  }
};

TEST(StationDays, ANoisyWeekOfSalesRaisesNothing) {
  Station s(4000);
  s.Run(hours(24 * 7));
  for (const Event& e : s.events)
    ADD_FAILURE() << "event at " << (e.at_ms / 1000) << ": kind " << static_cast<int>(e.kind) << " "
                  << AlarmName(e.alarm) << " value " << e.value;
  std::printf("engine: %.2f ms of CPU per tank per simulated day (%zu readings a day)\n",
              s.engine_seconds * 1000 / 7, s.readings / 7);
}

TEST(StationDays, RunOutAfterFourWeeksWithinTenPercent) {
  Station s(8000);
  std::vector<double> rooms;
  for (int day = 0; day < 28; ++day) {
    // Refilled every Monday at 06:00 (day 6 of a week that starts on a Tuesday).
    if (day % 7 == 6) {
      s.Run(hours(6));
      const double room = 55000 - s.sim.GetTank(1)->volume;
      rooms.push_back(room);
      ASSERT_TRUE(s.sim.Deliver(1, static_cast<float>(room), minutes(40), s.now));
      s.Run(hours(18));
    } else {
      s.Run(hours(24));
    }
  }
  // Each refill once, its gross within max(0.5 %, 20 l); the tank running
  // low before it and high after it are the only alarms.
  size_t k = 0;
  for (const Event& e : s.events) {
    if (e.kind == Event::Kind::kAlarm) {
      EXPECT_TRUE(e.alarm == AlarmKind::kLowProduct || e.alarm == AlarmKind::kHighProduct)
          << AlarmName(e.alarm);
    } else if (e.kind == Event::Kind::kDelivery) {
      ASSERT_LT(k, rooms.size());
      EXPECT_NEAR(e.delivery.gross, rooms[k], std::max(0.005 * rooms[k], 20.0));
      ++k;
    }
  }
  EXPECT_EQ(k, 4u);
  const int64_t at = s.engine.LastReadingMs();
  const Forecast f = s.engine.ForecastAt(at);
  ASSERT_TRUE(f.days_to_empty.has_value());
  // The truth: the same tank, left alone until it is empty.
  int64_t empty = 0;
  while (empty == 0) {
    const auto from = s.now;
    s.now += hours(24);
    sim::StepMinutes(s.sim, from, s.now,
                     [&](sim::WallClock::time_point wall, int, const sim::TankState& t) {
                       if (empty == 0 && t.volume <= 0)
                         empty = duration_cast<milliseconds>(wall.time_since_epoch()).count();
                     });
  }
  const double truth = static_cast<double>(empty - at) / kDayMs;
  std::printf("days_to_empty %.3f, truth %.3f (%.1f %%)\n", *f.days_to_empty, truth,
              100 * (*f.days_to_empty - truth) / truth);
  EXPECT_NEAR(*f.days_to_empty / truth, 1.0, 0.10);
}

}  // namespace
}  // namespace vr::agent
