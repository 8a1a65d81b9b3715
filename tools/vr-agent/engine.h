#pragma once
// What a head office acts on, worked out per tank from its readings: alarms
// with an on-delay and hysteresis, deliveries with the volume actually
// dropped (gross and net at 15 °C), and when the tank will run dry.
//
// Pure: readings come in with their own time (received_at_ms), events go
// out; the engine keeps no clock of its own, so days of readings can be fed
// in milliseconds. Local days and weekdays are those of the process's time
// zone. One TankEngine per tank, used from one thread.
#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "vrsilo/gauge.h"

namespace vr::agent {

// Thresholds of one tank (litres, millimetres, seconds, hours). 0 switches a
// level alarm off.
struct TankConfig {
  double low_volume = 1000;      // low_product below this
  double high_volume = 0;        // high_product above this; 0: 90 % of the full volume
  double overfill_percent = 95;  // overfill above this share of the full volume
  double high_water = 50;        // high_water above this water level
  double sudden_loss = 25;       // litres a minute lost while no delivery runs
  double stale_after = 900;      // no good reading for this long
  double delivery_min = 300;     // a rise of more than this within `settle` is a delivery
  double settle = 300;           // a delivery ends once the volume has not risen for this long
  double lead_time = 48;         // hours between ordering and the delivery
  double hysteresis = 100;       // litres past a volume threshold before its alarm clears
  double water_hysteresis = 5;   // millimetres below high_water before it clears
  double on_delay = 20;          // a condition must hold this long to raise (or clear) its alarm
};

enum class AlarmKind {
  kLowProduct,
  kHighProduct,
  kOverfill,
  kHighWater,
  kSuddenLoss,
  kStale,
  kCount
};
constexpr size_t kAlarmKinds = static_cast<size_t>(AlarmKind::kCount);
const char* AlarmName(AlarmKind kind);

struct DeliveryEvent {
  bool from_console = false;
  int64_t start_ms = 0, end_ms = 0;
  double start_volume = 0, end_volume = 0;
  double gross = 0;                   // end − start + the sales meanwhile
  std::optional<double> net15;        // at 15 °C
  std::optional<double> temperature;  // of the tank after the delivery
};

struct Event {
  enum class Kind { kAlarm, kDeliveryStart, kDelivery } kind = Kind::kAlarm;
  int64_t at_ms = 0;
  AlarmKind alarm = AlarmKind::kLowProduct;
  bool active = false;
  double value = 0;  // the alarm's reading, or the volume at a delivery's start
  DeliveryEvent delivery;
};

struct Forecast {
  std::optional<double> sales_per_day;  // litres, deliveries left out
  std::optional<double> days_to_empty;
  std::optional<int64_t> empty_at_ms, order_by_ms;
  std::optional<double> ullage_90, ullage_95;  // litres to 90 % and 95 % of the full volume
};

class TankEngine {
 public:
  explicit TankEngine(const TankConfig& config = {});

  // Full volume of the tank's calibration table (litres); 0 or less: unknown.
  void SetFullVolume(double litres) { full_volume_ = litres; }
  double FullVolume() const { return full_volume_; }

  // One reading (link_state 1 = good; anything else only ages the tank).
  void Feed(const vrsilo_tank_record& r, std::vector<Event>& out);
  // Time passing without a reading (a gauge that cannot be opened).
  void Tick(int64_t now_ms, std::vector<Event>& out);
  // The console's own alarms, by name: one of ours of the same name is raised
  // while the console holds it, whatever our threshold says.
  void ConsoleAlarms(const std::vector<std::string>& names, int64_t at_ms, std::vector<Event>& out);
  // A delivery report of the console, turned into a delivery event.
  static DeliveryEvent FromConsole(const vrsilo_delivery& d, int64_t at_ms);

  bool AlarmActive(AlarmKind kind) const { return alarms_[Index(kind)].active; }
  int64_t LastReadingMs() const { return last_good_ms_; }
  Forecast ForecastAt(int64_t now_ms) const;

 private:
  struct Alarm {
    bool active = false, console = false;
    int64_t pending_since = -1;  // the condition to change has held since then
  };
  struct Sample {
    int64_t t;
    double volume, tc_volume, temperature, density;
    unsigned fields, status;
  };
  static size_t Index(AlarmKind k) { return static_cast<size_t>(k); }
  void Judge(AlarmKind kind, bool raise, bool clear, int64_t t, double value,
             std::vector<Event>& out);
  struct Rate {
    double value, error;  // litres a minute, positive when falling; its standard error
  };
  std::optional<Rate> LossRate() const;
  double SalesRateBefore(int64_t t) const;  // litres a second before t
  void TrackDelivery(const Sample& s, std::vector<Event>& out);
  void CountSales(const Sample& prev, const Sample& s);
  std::optional<double> Net15(const Sample& start, const Sample& end, double sales) const;

  TankConfig config_;
  double full_volume_ = 0;
  std::array<Alarm, kAlarmKinds> alarms_{};
  std::deque<Sample> window_;  // the last hour of good readings
  int64_t last_good_ms_ = -1, first_ms_ = -1;
  double last_volume_ = 0;
  bool have_volume_ = false;

  // Delivery in progress.
  bool delivering_ = false;
  Sample delivery_start_{}, delivery_peak_{};
  double rate_before_ = 0;  // litres a second sold before the delivery

  // Sales by local day (days since 1970 in local time) and hour of the day.
  struct Day {
    int64_t day = 0;
    double litres = 0;
    int64_t covered_ms = 0;  // time between readings that fell in this day
  };
  std::deque<Day> days_;  // oldest first, at most 35
  std::array<double, 24> hourly_{};
};

}  // namespace vr::agent
