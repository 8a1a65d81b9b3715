#include "engine.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "petroleum.h"

namespace vr::agent {
namespace {

constexpr int64_t kSecond = 1000, kMinute = 60 * kSecond, kHour = 60 * kMinute, kDay = 24 * kHour;
constexpr int64_t kLossWindow = 90 * kSecond;  // the loss rate is the slope over this
constexpr int64_t kKeepWindow = kHour;         // readings kept for the rates
constexpr int64_t kLongestGap = 15 * kMinute;  // longer without a reading: not counted as sales
constexpr int64_t kCompleteDay = 20 * kHour;   // a day with readings over this long counts
constexpr size_t kDaysKept = 35;

int64_t Ms(double seconds) {
  return static_cast<int64_t>(seconds * 1000.0);
}

// The local time zone's offset at t, in milliseconds.
int64_t LocalOffset(int64_t t) {
  const std::time_t s = static_cast<std::time_t>(t / 1000);
  std::tm local{};
  localtime_r(&s, &local);
  return static_cast<int64_t>(local.tm_gmtoff) * 1000;
}
int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}
int64_t LocalDay(int64_t t) {
  return FloorDiv(t + LocalOffset(t), kDay);
}
int LocalHour(int64_t t) {
  return static_cast<int>(FloorDiv(t + LocalOffset(t), kHour) % 24);
}
int Weekday(int64_t day) {
  return static_cast<int>(((day % 7) + 7 + 4) % 7);
}  // 0 = Sunday

// "YYYY-MM-DDTHH:MM" of the console's clock (local time) in UTC milliseconds.
int64_t ConsoleMs(const char* text, int64_t fallback) {
  std::tm tm{};
  if (std::sscanf(text, "%4d-%2d-%2dT%2d:%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                  &tm.tm_min) != 5)
    return fallback;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  const std::time_t s = std::mktime(&tm);
  return s == static_cast<std::time_t>(-1) ? fallback : static_cast<int64_t>(s) * 1000;
}

}  // namespace

const char* AlarmName(AlarmKind kind) {
  static constexpr const char* kNames[] = {"low_product", "high_product", "overfill",
                                           "high_water",  "sudden_loss",  "stale"};
  return kNames[static_cast<size_t>(kind)];
}

TankEngine::TankEngine(const TankConfig& config) : config_(config) {}

void TankEngine::Judge(AlarmKind kind, bool raise, bool clear, int64_t t, double value,
                       std::vector<Event>& out) {
  Alarm& a = alarms_[Index(kind)];
  if (a.console && a.active) return;  // held by the console
  const bool change = a.active ? clear : raise;
  if (!change) {
    a.pending_since = -1;
    return;
  }
  if (a.pending_since < 0) a.pending_since = t;
  if (t - a.pending_since < Ms(config_.on_delay)) return;
  a.active = !a.active;
  a.pending_since = -1;
  Event e;
  e.kind = Event::Kind::kAlarm;
  e.at_ms = t;
  e.alarm = kind;
  e.active = a.active;
  e.value = value;
  out.push_back(e);
}

// Least-squares line through a member of the samples in [from, to], with its
// value at `at`; nothing with fewer than three samples.
namespace {
struct Line {
  double at_value, slope;  // slope per millisecond
  double slope_error;      // its standard error
};
template <typename S>
std::optional<Line> FitLine(const std::deque<S>& window, int64_t from, int64_t to, int64_t at,
                            double S::*value) {
  double n = 0, st = 0, sv = 0;
  for (const S& s : window) {
    if (s.t < from || s.t > to) continue;
    n += 1;
    st += static_cast<double>(s.t - at);
    sv += s.*value;
  }
  if (n < 3) return std::nullopt;
  const double mt = st / n, mv = sv / n;
  double stt = 0, stv = 0;
  for (const S& s : window) {
    if (s.t < from || s.t > to) continue;
    const double x = static_cast<double>(s.t - at) - mt;
    stt += x * x;
    stv += x * (s.*value - mv);
  }
  if (stt <= 0) return std::nullopt;
  const double slope = stv / stt;
  double ssr = 0;
  for (const S& s : window) {
    if (s.t < from || s.t > to) continue;
    const double r = s.*value - mv - slope * (static_cast<double>(s.t - at) - mt);
    ssr += r * r;
  }
  return Line{mv - slope * mt, slope, std::sqrt(ssr / std::max(1.0, n - 2) / stt)};
}
}  // namespace

std::optional<TankEngine::Rate> TankEngine::LossRate() const {
  if (window_.empty()) return std::nullopt;
  const int64_t now = window_.back().t;
  if (now - window_.front().t < kLossWindow / 2) return std::nullopt;
  const auto line = FitLine(window_, now - kLossWindow, now, now, &Sample::volume);
  if (!line) return std::nullopt;
  const double perMinute = static_cast<double>(kMinute);
  return Rate{-line->slope * perMinute, line->slope_error * perMinute};
}

double TankEngine::SalesRateBefore(int64_t t) const {
  const auto line = FitLine(window_, t - kKeepWindow, t, t, &Sample::volume);
  return line ? std::max(0.0, -line->slope * 1000.0) : 0.0;
}

void TankEngine::Feed(const vrsilo_tank_record& r, std::vector<Event>& out) {
  if (r.link_state != 1 || !(r.fields & VRSILO_FIELD_VOLUME)) {
    Tick(r.received_at_ms, out);
    return;
  }
  Sample s{r.received_at_ms,
           r.volume,
           r.tc_volume,
           r.temperature,
           (r.fields & VRSILO_FIELD_DENSITY) ? r.density : 0.0,
           r.fields,
           r.status};
  if (!window_.empty() && s.t <= window_.back().t) return;  // out of order: ignored
  if (first_ms_ < 0) first_ms_ = s.t;
  if (alarms_[Index(AlarmKind::kStale)].active) {
    alarms_[Index(AlarmKind::kStale)].active = false;
    out.push_back(Event{Event::Kind::kAlarm, s.t, AlarmKind::kStale, false, 0, {}});
  }
  if (!window_.empty()) CountSales(window_.back(), s);
  window_.push_back(s);
  while (window_.size() > 3 && window_.front().t < s.t - kKeepWindow) window_.pop_front();
  last_good_ms_ = s.t;
  last_volume_ = s.volume;
  have_volume_ = true;
  TrackDelivery(s, out);

  const double v = s.volume, hyst = config_.hysteresis;
  if (config_.low_volume > 0)
    Judge(AlarmKind::kLowProduct, v<config_.low_volume, v> config_.low_volume + hyst, s.t, v, out);
  const double high = config_.high_volume > 0 ? config_.high_volume : 0.9 * full_volume_;
  if (high > 0) Judge(AlarmKind::kHighProduct, v > high, v < high - hyst, s.t, v, out);
  if (full_volume_ > 0 && config_.overfill_percent > 0) {
    const double limit = full_volume_ * config_.overfill_percent / 100.0;
    Judge(AlarmKind::kOverfill, v > limit, v < limit - hyst, s.t, v, out);
  }
  if ((r.fields & VRSILO_FIELD_WATER) && config_.high_water > 0)
    Judge(AlarmKind::kHighWater, r.water > config_.high_water,
          r.water < config_.high_water - config_.water_hysteresis, s.t, r.water, out);
  // Not while product comes in: a delivery hides a loss and is no loss itself.
  const auto rate = LossRate();
  const bool quiet = !delivering_ && !(s.status & VRSILO_STATUS_DELIVERY);
  // The noise of the level makes the rate uncertain: raised only when it is
  // surely above the threshold, cleared only when surely below, so that the
  // band between is the hysteresis.
  if (rate && config_.sudden_loss > 0) {
    const double low = rate->value - 3 * rate->error, high = rate->value + rate->error;
    Judge(AlarmKind::kSuddenLoss, quiet && low > config_.sudden_loss,
          !quiet || high < config_.sudden_loss, s.t, rate->value, out);
  }
}

void TankEngine::Tick(int64_t now_ms, std::vector<Event>& out) {
  if (first_ms_ < 0) first_ms_ = now_ms;
  Alarm& a = alarms_[Index(AlarmKind::kStale)];
  const int64_t since = std::max(last_good_ms_, first_ms_);
  if (!a.active && now_ms - since >= Ms(config_.stale_after)) {
    a.active = true;
    out.push_back(Event{Event::Kind::kAlarm,
                        now_ms,
                        AlarmKind::kStale,
                        true,
                        static_cast<double>(now_ms - since) / 1000.0,
                        {}});
  }
}

void TankEngine::ConsoleAlarms(const std::vector<std::string>& names, int64_t at_ms,
                               std::vector<Event>& out) {
  for (size_t k = 0; k < kAlarmKinds; ++k) {
    const auto kind = static_cast<AlarmKind>(k);
    if (kind == AlarmKind::kStale) continue;
    Alarm& a = alarms_[k];
    const bool held = std::find(names.begin(), names.end(), AlarmName(kind)) != names.end();
    a.console = held;
    if (held && !a.active) {
      a.active = true;
      a.pending_since = -1;
      out.push_back(Event{Event::Kind::kAlarm, at_ms, kind, true, last_volume_, {}});
    }
  }
}

void TankEngine::TrackDelivery(const Sample& s, std::vector<Event>& out) {
  const int64_t settle = Ms(config_.settle);
  const bool bit = s.status & VRSILO_STATUS_DELIVERY;
  if (!delivering_) {
    // The lowest reading within `settle`: where a rise would have started.
    const Sample* low = &s;
    for (auto it = window_.rbegin(); it != window_.rend() && it->t >= s.t - settle; ++it)
      if (it->volume < low->volume) low = &*it;
    const bool rise = s.volume - low->volume > config_.delivery_min;
    if (!rise && !bit) return;
    delivering_ = true;
    delivery_start_ = rise ? *low : (window_.size() > 1 ? window_[window_.size() - 2] : s);
    rate_before_ = SalesRateBefore(delivery_start_.t);
    delivery_peak_ = s;
    Event e;
    e.kind = Event::Kind::kDeliveryStart;
    e.at_ms = delivery_start_.t;
    e.value = delivery_start_.volume;
    out.push_back(e);
    return;
  }
  if (s.volume > delivery_peak_.volume) delivery_peak_ = s;
  if (bit || s.t - delivery_peak_.t < settle) return;
  delivering_ = false;

  // Both ends from a straight line through the readings beside them, which
  // takes the sales and the noise of the level out.
  const Sample& a = delivery_start_;
  const Sample& b = delivery_peak_;
  auto at = [&](int64_t from, int64_t to, int64_t when, double Sample::*value, double fallback) {
    const auto line = FitLine(window_, from, to, when, value);
    return line ? line->at_value : fallback;
  };
  Sample start = a, end = b;
  start.volume = at(a.t - kKeepWindow, a.t, a.t, &Sample::volume, a.volume);
  start.tc_volume = at(a.t - kKeepWindow, a.t, a.t, &Sample::tc_volume, a.tc_volume);
  end.volume = at(b.t, s.t, b.t, &Sample::volume, b.volume);
  end.tc_volume = at(b.t, s.t, b.t, &Sample::tc_volume, b.tc_volume);
  end.temperature = s.temperature;
  const double sales = rate_before_ * static_cast<double>(b.t - a.t) / 1000.0;

  Event e;
  e.kind = Event::Kind::kDelivery;
  e.at_ms = b.t;
  DeliveryEvent& d = e.delivery;
  d.start_ms = a.t;
  d.end_ms = b.t;
  d.start_volume = start.volume;
  d.end_volume = end.volume;
  d.gross = end.volume - start.volume + sales;
  d.net15 = Net15(start, end, sales);
  if (s.fields & VRSILO_FIELD_TEMPERATURE) d.temperature = s.temperature;
  out.push_back(e);
  // The rise was counted against the day's sales reading by reading; the
  // product that came in is no sale.
  if (!days_.empty()) days_.back().litres += end.volume - start.volume;
}

std::optional<double> TankEngine::Net15(const Sample& start, const Sample& end,
                                        double sales) const {
  constexpr unsigned kTc = VRSILO_FIELD_TC_VOLUME;
  if ((start.fields & kTc) && (end.fields & kTc) && start.volume > 0) {
    // The gauge's own compensated volume; the sales at the start's ratio.
    return end.tc_volume - start.tc_volume + sales * start.tc_volume / start.volume;
  }
  constexpr unsigned kNeeded = VRSILO_FIELD_DENSITY | VRSILO_FIELD_TEMPERATURE;
  if ((start.fields & kNeeded) != kNeeded || (end.fields & kNeeded) != kNeeded) return std::nullopt;
  const double vs =
      tools::Vcf15(tools::Density15(start.density, start.temperature), start.temperature);
  const double ve = tools::Vcf15(tools::Density15(end.density, end.temperature), end.temperature);
  return end.volume * ve - start.volume * vs + sales * vs;
}

void TankEngine::CountSales(const Sample& prev, const Sample& s) {
  const int64_t gap = s.t - prev.t;
  if (gap <= 0 || gap > kLongestGap) return;
  // Differences, not falls alone: the noise of the level cancels out over a day.
  const double sold = prev.volume - s.volume;
  const int64_t day = LocalDay(s.t);
  if (days_.empty() || days_.back().day != day) {
    days_.push_back(Day{day, 0, 0});
    if (days_.size() > kDaysKept) days_.pop_front();
  }
  days_.back().litres += sold;
  days_.back().covered_ms += gap;
  if (!delivering_ && sold > -config_.delivery_min / 3) hourly_[LocalHour(s.t)] += sold;
}

DeliveryEvent TankEngine::FromConsole(const vrsilo_delivery& d, int64_t at_ms) {
  DeliveryEvent e;
  e.from_console = true;
  e.start_ms = ConsoleMs(d.start, at_ms);
  e.end_ms = ConsoleMs(d.end, at_ms);
  e.start_volume = d.start_volume;
  e.end_volume = d.end_volume;
  e.gross = d.end_volume - d.start_volume;
  if ((d.fields & 0x22u) == 0x22u) e.net15 = d.end_tc_volume - d.start_tc_volume;
  if (d.fields & 0x80u) e.temperature = d.end_temperature;
  return e;
}

Forecast TankEngine::ForecastAt(int64_t now_ms) const {
  Forecast f;
  if (full_volume_ > 0 && have_volume_) {
    f.ullage_90 = std::max(0.0, 0.9 * full_volume_ - last_volume_);
    f.ullage_95 = std::max(0.0, 0.95 * full_volume_ - last_volume_);
  }
  // Whole days only, today left out.
  const int64_t today = LocalDay(now_ms);
  std::array<double, 7> byWeekday{}, weekdayDays{};
  double total = 0;
  int complete = 0;
  for (const Day& d : days_) {
    if (d.day >= today || d.covered_ms < kCompleteDay) continue;
    const double litres = d.litres * static_cast<double>(kDay) / static_cast<double>(d.covered_ms);
    total += litres;
    ++complete;
    byWeekday[static_cast<size_t>(Weekday(d.day))] += litres;
    weekdayDays[static_cast<size_t>(Weekday(d.day))] += 1;
  }
  if (complete == 0 || !have_volume_) return f;
  const double mean = total / complete;
  f.sales_per_day = mean;
  if (mean <= 0) return f;
  // A day's sales by its weekday once a week of history exists.
  auto daily = [&](int64_t day) {
    const auto w = static_cast<size_t>(Weekday(day));
    return complete >= 7 && weekdayDays[w] > 0 ? byWeekday[w] / weekdayDays[w] : mean;
  };
  double hourSum = 0;
  for (double h : hourly_) hourSum += std::max(0.0, h);
  // Walk forward hour by hour until the stock is sold.
  const int64_t offset = LocalOffset(now_ms);
  int64_t hourStart = FloorDiv(now_ms + offset, kHour) * kHour - offset;
  double left = std::max(0.0, last_volume_);
  for (int k = 0; k < 24 * 400; ++k, hourStart += kHour) {
    const int64_t day = FloorDiv(hourStart + offset, kDay);
    const int hour = static_cast<int>(FloorDiv(hourStart + offset, kHour) % 24);
    const double share =
        hourSum > 0 ? std::max(0.0, hourly_[static_cast<size_t>(hour)]) / hourSum : 1.0 / 24.0;
    const int64_t from = std::max(hourStart, now_ms);
    const double part = static_cast<double>(hourStart + kHour - from) / static_cast<double>(kHour);
    const double sold = daily(day) * share * part;
    if (sold >= left && sold > 0) {
      const int64_t empty =
          from + static_cast<int64_t>(static_cast<double>(hourStart + kHour - from) * left / sold);
      f.empty_at_ms = empty;
      f.order_by_ms = empty - static_cast<int64_t>(config_.lead_time * static_cast<double>(kHour));
      f.days_to_empty = static_cast<double>(empty - now_ms) / static_cast<double>(kDay);
      return f;
    }
    left -= sold;
  }
  return f;
}

}  // namespace vr::agent
