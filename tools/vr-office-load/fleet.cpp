#include "fleet.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numbers>

#include "wall_clock.h"

#ifndef VRSILO_VERSION
#define VRSILO_VERSION "0"
#endif

namespace vr::office_load {

void Num(std::string& out, double value, int decimals) {
  char buf[48];
  int n = std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  if (decimals > 0) {
    while (buf[n - 1] == '0') --n;
    if (buf[n - 1] == '.') --n;
  }
  if (n == 2 && buf[0] == '-' && buf[1] == '0') {
    buf[0] = '0';
    n = 1;
  }
  out.append(buf, static_cast<size_t>(n));
}

namespace {

constexpr int64_t kHour = 3600 * 1000;
constexpr int64_t kStepMs = 900 * 1000;  // the history's 15 minutes
constexpr int kPoints = 96;
constexpr int64_t kLeadTime = 48 * kHour;  // the agent's default lead_time
// Horizontal cylinder of 30,000 l: 2.6 m across, 5.65 m long.
constexpr double kRadius = 1.3;
constexpr double kLength = kFullVolume / 1000 / (std::numbers::pi * kRadius * kRadius);

void Key(std::string& out, const char* key) {
  out += '"';
  out += key;
  out += "\":";
}
void Field(std::string& out, const char* key, double value, int decimals) {
  Key(out, key);
  Num(out, value, decimals);
  out += ',';
}
void Field(std::string& out, const char* key, const std::string& text) {
  Key(out, key);
  out += '"';
  out += text;  // our own names and times: nothing to escape
  out += "\",";
}
void TimeField(std::string& out, const char* key, int64_t ms) {
  Field(out, key, Timestamp(ms));
}
void Bool(std::string& out, const char* key, bool value) {
  Key(out, key);
  out += value ? "true," : "false,";
}
// Replaces the trailing comma.
void Close(std::string& out) {
  out.back() = '}';
}

// Stations sell little at night and most in the early evening; the mean over
// a day is 1. local_ms: the local time of day counts.
double DayWeight(int64_t local_ms) {
  const double hour = static_cast<double>((local_ms / 1000 % 86400 + 86400) % 86400) / 3600;
  return 1 + 0.8 * std::sin(2 * std::numbers::pi * (hour - 11) / 24);
}

// Net volume at 15 °C, a refined product's typical expansion.
double Net15(double gross, double temperature) {
  return gross * (1 - 0.00095 * (temperature - 15));
}

// The day's volumes ending at `tank.volume` now, with one delivery in it
// (earlier when the tank would otherwise have been fuller than 27,500 l).
void MakeHistory(Tank& tank, Random& random, int64_t now_ms) {
  tank.history_from_ms = now_ms - (kPoints - 1) * kStepMs;
  const auto now_s = static_cast<std::time_t>(now_ms / 1000);
  std::tm local{};
  localtime_r(&now_s, &local);
  std::vector<double> sale(kPoints - 1);  // during step i, from point i to i + 1
  for (int i = 0; i < kPoints - 1; ++i)
    sale[i] = tank.sales_per_day / kPoints *
              DayWeight(tank.history_from_ms + i * kStepMs + local.tm_gmtoff * 1000) *
              random.Uniform(0.7, 1.3);
  auto& v = tank.history;
  v.assign(kPoints, 0);
  v[kPoints - 1] = tank.volume;
  const int wanted = static_cast<int>(random.Uniform(8, 88));
  bool delivered = false;
  for (int i = kPoints - 2; i >= 0; --i) {
    if (delivered || (i + 1 > wanted && v[i + 1] + sale[i] <= 27500)) {
      v[i] = v[i + 1] + sale[i];
      continue;
    }
    // Delivered during step i: from 2 to 12 minutes into it.
    delivered = true;
    double before = 0;
    for (int j = 0; j < i; ++j) before += sale[j];
    const double after = v[i + 1];
    double start = std::min(after - random.Uniform(6000, 16000), 27500 - before - sale[i]);
    start = std::max(start, 0.2 * after);
    tank.delivery_start_ms = tank.history_from_ms + i * kStepMs + 120 * 1000;
    tank.delivery_end_ms = tank.delivery_start_ms + 600 * 1000;
    tank.delivery_start_volume = start;
    tank.delivery_end_volume = after + sale[i] * 180 / 900;
    // Gross counts the sales during the delivery, as the agent's does.
    tank.delivery_gross = tank.delivery_end_volume - start + sale[i] * 600 / 900;
    v[i] = start + sale[i] * 120 / 900;
  }
  tank.delivery_temperature = random.Uniform(10, 25);
}

Tank MakeTank(uint64_t seed, int number, bool labelled, int64_t now_ms) {
  Random random(seed);
  Tank t;
  t.number = number;
  const bool petrol = number % 2 == 1;
  t.product = petrol ? "1" : "2";
  static const char* const kLabels[] = {"UNLEADED 95", "DIESEL", "UNLEADED 92", "DIESEL PREMIUM"};
  if (labelled) t.label = kLabels[(number - 1) % 4];
  t.density = petrol ? random.Uniform(735, 760) : random.Uniform(825, 845);
  t.temperature = random.Uniform(8, 22);
  t.water = random.Uniform(0, 8);
  // About 4 % in alarm, 6 % to be ordered within a day, the rest in days.
  const double kind = random.Uniform(0, 1);
  if (kind < 0.02) {
    t.low_product = true;
    t.sales_per_day = random.Uniform(2000, 6000);
    t.volume = random.Uniform(400, 950);
  } else if (kind < 0.10) {
    t.high_water = kind < 0.04;
    if (t.high_water) t.water = random.Uniform(55, 80);
    t.sales_per_day = random.Uniform(3000, 9000);
    const double hours_to_order = random.Uniform(2, 22);
    t.volume = t.sales_per_day * (hours_to_order + 48) / 24;
    if (t.high_water)  // in days, like most: the alarm is what marks it
      t.volume = std::min(27000.0, t.sales_per_day * random.Uniform(3.2, 6));
  } else {
    t.sales_per_day = random.Uniform(2000, 8000);
    t.volume = random.Uniform(std::max(9000.0, t.sales_per_day * 3.2), 27000);
  }
  MakeHistory(t, random, now_ms);
  return t;
}

uint64_t Mix(uint64_t seed, uint64_t a, uint64_t b) {
  return Random(seed ^ (a * 0x9E3779B97F4A7C15ULL) ^ (b * 0xC2B2AE3D27D4EB4FULL)).Next();
}

}  // namespace

uint64_t Random::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

double Random::Uniform(double low, double high) {
  return low + (high - low) * static_cast<double>(Next() >> 11) * 0x1.0p-53;
}

Site MakeSite(uint64_t seed, int index, int tanks, const std::string& prefix, int64_t now_ms) {
  Site site;
  char number[16];
  std::snprintf(number, sizeof number, "%04d", index + 1);
  site.name = prefix + number;
  const auto key = static_cast<uint64_t>(index) + 1;
  Random random(Mix(seed, key, 0));
  site.started_ms = now_ms - static_cast<int64_t>(random.Uniform(1, 30 * 24)) * kHour;
  const bool labelled = random.Chance(0.3);
  for (int t = 1; t <= tanks; ++t)
    site.tanks.push_back(MakeTank(Mix(seed, key, static_cast<uint64_t>(t)), t, labelled, now_ms));
  return site;
}

double LevelOf(double volume) {
  const auto volume_at = [](double h) {  // h in metres, litres
    const double d = kRadius - h;
    return kLength * 1000 *
           (kRadius * kRadius * std::acos(d / kRadius) - d * std::sqrt(2 * kRadius * h - h * h));
  };
  double low = 0, high = 2 * kRadius;
  for (int i = 0; i < 40; ++i) {
    const double mid = (low + high) / 2;
    (volume_at(mid) < volume ? low : high) = mid;
  }
  return (low + high) / 2 * 1000;
}

std::string Timestamp(int64_t ms) {
  std::string out;
  tools::AppendLocalTime(out, ms);
  return out;
}

std::string TankTopic(const Site& site, const Tank& tank) {
  return "vrsilo/" + site.name + "/" + kGauge + "/tank/" + std::to_string(tank.number);
}

std::string TankPayload(const Tank& t, int64_t read_ms) {
  std::string out = "{";
  Field(out, "tank", t.number, 0);
  Field(out, "level", LevelOf(t.volume), 1);
  Field(out, "volume", t.volume, 2);
  Field(out, "tc_volume", Net15(t.volume, t.temperature), 2);
  Field(out, "ullage", kFullVolume - t.volume, 2);
  Field(out, "water", t.water, 1);
  Field(out, "water_volume", t.water * t.water * 0.02, 1);
  Field(out, "temperature", t.temperature, 2);
  Field(out, "density", t.density, 1);
  Field(out, "mass", t.volume * t.density / 1000, 0);
  Field(out, "product", t.product);
  if (!t.label.empty()) Field(out, "product_label", t.label);
  Field(out, "status", 0, 0);
  // The console's clock, to the minute.
  Field(out, "console_time", Timestamp(read_ms).substr(0, 16));
  Field(out, "link_state", 1, 0);
  TimeField(out, "read_at", read_ms);
  Close(out);
  return out;
}

std::vector<Message> SiteMessages(const Site& site, int64_t now_ms) {
  std::vector<Message> out;
  const std::string base = "vrsilo/" + site.name + "/";
  out.push_back({base + "status", "online"});
  const int64_t reads = (now_ms - site.started_ms) / 10000;  // one read each 10 s
  std::string agent = "{";
  Field(agent, "version", VRSILO_VERSION);
  TimeField(agent, "started_at", site.started_ms);
  agent += "\"gauges\":{\"" + std::string(kGauge) + "\":{";
  Field(agent, "link_state", 1, 0);
  Field(agent, "reads", static_cast<double>(reads), 0);
  Field(agent, "failed", 0, 0);
  Close(agent);
  agent += "},";
  Field(agent, "published",
        static_cast<double>(reads / 30 * static_cast<int64_t>(site.tanks.size())), 0);
  Field(agent, "queued", 0, 0);
  Field(agent, "dropped", 0, 0);
  agent += "\"last_error\":null,";
  TimeField(agent, "at", now_ms);
  Close(agent);
  out.push_back({base + "agent", std::move(agent)});

  for (const Tank& t : site.tanks) {
    const std::string topic = TankTopic(site, t);
    out.push_back({topic, TankPayload(t, now_ms)});

    std::string alarms = "{";
    Bool(alarms, "low_product", t.low_product);
    Bool(alarms, "high_product", false);
    Bool(alarms, "overfill", false);
    Bool(alarms, "high_water", t.high_water);
    Bool(alarms, "sudden_loss", false);
    Bool(alarms, "stale", false);
    TimeField(alarms, "at", now_ms);
    Close(alarms);
    out.push_back({topic + "/alarms", std::move(alarms)});

    const double days = t.volume / t.sales_per_day;
    const auto empty_ms = now_ms + static_cast<int64_t>(days * 86400 * 1000);
    std::string forecast = "{";
    Field(forecast, "sales_per_day", t.sales_per_day, 0);
    Field(forecast, "days_to_empty", days, 2);
    TimeField(forecast, "empty_at", empty_ms);
    TimeField(forecast, "order_by", empty_ms - kLeadTime);
    Field(forecast, "ullage_90", 0.90 * kFullVolume - t.volume, 2);
    Field(forecast, "ullage_95", 0.95 * kFullVolume - t.volume, 2);
    TimeField(forecast, "at", now_ms);
    Close(forecast);
    out.push_back({topic + "/forecast", std::move(forecast)});

    const double gross = t.delivery_gross;
    std::string delivery = "{";
    Field(delivery, "event", "delivery");
    Field(delivery, "source", "agent");
    TimeField(delivery, "start", t.delivery_start_ms);
    TimeField(delivery, "end", t.delivery_end_ms);
    Field(delivery, "start_volume", t.delivery_start_volume, 2);
    Field(delivery, "end_volume", t.delivery_end_volume, 2);
    Field(delivery, "gross", gross, 1);
    Field(delivery, "net15", Net15(gross, t.delivery_temperature), 1);
    Field(delivery, "temperature", t.delivery_temperature, 1);
    TimeField(delivery, "at", t.delivery_end_ms);
    Close(delivery);
    out.push_back({topic + "/delivery", std::move(delivery)});

    std::string console =
        t.high_water ? R"({"alarms":["high_water"],"codes":[3],)" : R"({"alarms":[],"codes":[],)";
    TimeField(console, "at", now_ms);
    Close(console);
    out.push_back({topic + "/console_alarms", std::move(console)});

    std::string history = "{";
    Field(history, "tank", t.number, 0);
    Field(history, "step", 900, 0);
    TimeField(history, "from", t.history_from_ms);
    history += "\"volumes\":[";
    for (double v : t.history) {
      Num(history, v, 1);
      history += ',';
    }
    history.back() = ']';
    history += ',';
    TimeField(history, "at", now_ms);
    Close(history);
    out.push_back({topic + "/history", std::move(history)});
  }
  return out;
}

void ChangeVolume(Tank& tank, Random& random) {
  if (tank.volume < 1500 || random.Chance(0.005))
    tank.volume = std::min(0.9 * kFullVolume, tank.volume + random.Uniform(5000, 12000));
  else
    tank.volume = std::max(0.0, tank.volume - random.Uniform(5, 50));
}

}  // namespace vr::office_load
