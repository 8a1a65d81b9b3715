#pragma once
// The made-up fleet of vr-office-load: N sites of M tanks, each tank's state
// drawn from the seed alone, and the messages an agent would publish for
// them. No broker here; every time is passed in (milliseconds since the
// epoch) and written as local time with its offset.
#include <cstdint>
#include <string>
#include <vector>

namespace vr::office_load {

inline constexpr double kFullVolume = 30000;  // litres, every tank
inline constexpr char kGauge[] = "COM1";

// SplitMix64: the same sequence for a seed on every platform, unlike the
// standard distributions.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  double Uniform(double low, double high);  // [low, high)
  bool Chance(double p) { return Uniform(0, 1) < p; }

 private:
  uint64_t state_;
};

struct Tank {
  int number = 1;
  double volume = 0, water = 0, temperature = 15, density = 750;
  std::string product, label;  // label empty: the site's console has none
  double sales_per_day = 0;
  bool low_product = false, high_water = false;
  // The last delivery and the day's volumes, history[0] at history_from_ms.
  int64_t delivery_start_ms = 0, delivery_end_ms = 0;
  double delivery_start_volume = 0, delivery_end_volume = 0, delivery_gross = 0;
  double delivery_temperature = 15;
  int64_t history_from_ms = 0;
  std::vector<double> history;
};

struct Site {
  std::string name;
  int64_t started_ms = 0;  // the agent's start, for its status
  std::vector<Tank> tanks;
};

// Site `index` (0: PREFIX0001) with tanks 1..tanks as it stands at now_ms;
// each site from the seed and its index alone, whatever the fleet's size.
Site MakeSite(uint64_t seed, int index, int tanks, const std::string& prefix, int64_t now_ms);

// The level (mm) of a volume in the horizontal cylinder every tank is.
double LevelOf(double volume);

// Up to `decimals` places, trailing zeros dropped, as the agent writes them.
void Num(std::string& out, double value, int decimals);

// "2026-12-08T17:29:37.121+05:30"
std::string Timestamp(int64_t ms);

// The retained messages of a site: topic and payload pairs, in the order an
// agent starting up sends them.
struct Message {
  std::string topic, payload;
};
std::vector<Message> SiteMessages(const Site& site, int64_t now_ms);

std::string TankTopic(const Site& site, const Tank& tank);
std::string TankPayload(const Tank& tank, int64_t read_ms);

// A sale (down 5..50 l) or, now and then or when nearly empty, a delivery.
void ChangeVolume(Tank& tank, Random& random);

}  // namespace vr::office_load
