#include "station_config.h"

#include <ini.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace vr::agent {
namespace {

struct Key {
  const char* name;
  double TankConfig::*value;
  double min, max;
};
// Litres, millimetres, seconds, hours.
constexpr Key kKeys[] = {
    {"low_volume", &TankConfig::low_volume, 0, 1e7},
    {"high_volume", &TankConfig::high_volume, 0, 1e7},
    {"overfill_percent", &TankConfig::overfill_percent, 0, 100},
    {"high_water", &TankConfig::high_water, 0, 5000},
    {"sudden_loss", &TankConfig::sudden_loss, 0, 1e5},
    {"stale_after", &TankConfig::stale_after, 10, 7 * 86400},
    {"delivery_min", &TankConfig::delivery_min, 10, 1e6},
    {"settle", &TankConfig::settle, 10, 86400},
    {"lead_time", &TankConfig::lead_time, 0, 24 * 60},
    {"hysteresis", &TankConfig::hysteresis, 0, 1e6},
    {"water_hysteresis", &TankConfig::water_hysteresis, 0, 5000},
    {"on_delay", &TankConfig::on_delay, 0, 86400},
};

// "N" of 1..99, or -1.
int TankNumber(const std::string& text) {
  if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  const int n = std::atoi(text.c_str());
  return n >= 1 && n <= 99 ? n : -1;
}

}  // namespace

StationConfig StationConfig::Parse(const std::string& text, const std::string& name) {
  StationConfig config;
  struct State {
    StationConfig* config;
    std::string error;
  } state{&config, {}};
  auto handler = [](void* user, const char* section, const char* key, const char* value) -> int {
    auto* st = static_cast<State*>(user);
    Keys* keys = nullptr;
    const std::string s = section;
    const size_t at = s.rfind("tank ");
    if (s == "defaults") {
      keys = &st->config->defaults_;
    } else if (at != std::string::npos && TankNumber(s.substr(at + 5)) > 0) {
      const int tank = TankNumber(s.substr(at + 5));
      if (at == 0) {
        keys = &st->config->tanks_[tank];
      } else if (s[at - 1] == ' ' && at > 1 && s.find_first_of(" /+#") == at - 1) {
        keys = &st->config->gauge_tanks_[{s.substr(0, at - 1), tank}];
      }
    }
    if (!keys) {
      st->error = "unknown section [" + s + "] (defaults, tank N or GAUGE tank N)";
      return 0;
    }
    const Key* k = nullptr;
    for (const Key& candidate : kKeys)
      if (std::strcmp(candidate.name, key) == 0) k = &candidate;
    if (!k) {
      st->error = std::string("unknown key '") + key + "'";
      return 0;
    }
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(value, &end);
    if (end == value || *end != '\0' || errno != 0 || !(v >= k->min && v <= k->max)) {
      char range[96];
      std::snprintf(range, sizeof range, "%g to %g", k->min, k->max);
      st->error = std::string(key) + "=" + value + ": a number from " + range + " is needed";
      return 0;
    }
    (*keys)[key] = v;
    return 1;
  };
  const int line = ini_parse_string(text.c_str(), handler, &state);
  if (line != 0) {
    const std::string why =
        state.error.empty() ? "not a section, key=value or comment" : state.error;
    throw std::invalid_argument(name + ":" + std::to_string(line) + ": " + why);
  }
  return config;
}

StationConfig StationConfig::Load(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::invalid_argument(path + ": " + std::strerror(errno));
  std::string text;
  char buf[4096];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  std::fclose(f);
  return Parse(text, path);
}

TankConfig StationConfig::For(const std::string& gauge, int tank) const {
  TankConfig c;
  auto apply = [&](const Keys& keys) {
    for (const Key& k : kKeys) {
      const auto it = keys.find(k.name);
      if (it != keys.end()) c.*k.value = it->second;
    }
  };
  apply(defaults_);
  if (const auto it = tanks_.find(tank); it != tanks_.end()) apply(it->second);
  if (const auto it = gauge_tanks_.find({gauge, tank}); it != gauge_tanks_.end()) apply(it->second);
  return c;
}

}  // namespace vr::agent
