#pragma once
// vr-agent --config FILE: the thresholds of the station's tanks, an INI file
//   [defaults]           every tank
//   [tank N]             tank N of every gauge
//   [GAUGE tank N]       tank N of the gauge named GAUGE (its topic level)
// with the keys of TankConfig; the most specific section wins, key by key.
#include <map>
#include <string>
#include <utility>

#include "engine.h"

namespace vr::agent {

class StationConfig {
 public:
  // Reads FILE; throws std::invalid_argument "FILE:LINE: why" for an unknown
  // section or key, a value that is not a number or out of its range.
  static StationConfig Load(const std::string& path);
  // The same from text (tests); `name` stands for the file in messages.
  static StationConfig Parse(const std::string& text, const std::string& name = "config");

  TankConfig For(const std::string& gauge, int tank) const;

 private:
  using Keys = std::map<std::string, double>;
  Keys defaults_;
  std::map<int, Keys> tanks_;
  std::map<std::pair<std::string, int>, Keys> gauge_tanks_;
};

}  // namespace vr::agent
