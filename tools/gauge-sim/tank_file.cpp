// The tank text format of the gauge simulator (described in tank_file.h).
#include "tank_file.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <numbers>
#include <sstream>
#include <stdexcept>

#include "protocol/console_reports.h"

namespace vr::sim {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool IsSeparator(char c) {
  return c == ',' || std::isspace(static_cast<unsigned char>(c));
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

[[noreturn]] void Fail(const std::string& what) {
  throw std::invalid_argument(what);
}

float ParseNumber(std::string_view key, std::string_view text) {
  float value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || !std::isfinite(value))
    Fail("bad number '" + std::string(text) + "' for " + std::string(key));
  return value;
}

std::string FormatNumber(float v) {
  char buf[32];
  auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, ptr) : std::string("0");
}

// Fraction of a horizontal cylinder's volume filled up to fraction h of its diameter.
double CylinderFraction(double h) {
  h = std::clamp(h, 0.0, 1.0);
  double theta = 2.0 * std::acos(1.0 - 2.0 * h);
  return (theta - std::sin(theta)) / (2.0 * std::numbers::pi);
}

std::vector<int> ParseAlarms(std::string_view text) {
  std::vector<int> alarms;
  if (text == "none") return alarms;
  while (!text.empty()) {
    const size_t plus = text.find('+');
    const std::string_view name = text.substr(0, plus);
    const int type = ParseAlarmType(name);
    if (type == 0) Fail("unknown alarm '" + std::string(name) + "'");
    if (std::find(alarms.begin(), alarms.end(), type) == alarms.end()) alarms.push_back(type);
    text = plus == std::string_view::npos ? std::string_view() : text.substr(plus + 1);
  }
  return alarms;
}

}  // namespace

int ParseAlarmType(std::string_view name) {
  int type = 0;
  auto [ptr, ec] = std::from_chars(name.data(), name.data() + name.size(), type);
  if (ec == std::errc() && ptr == name.data() + name.size() && !name.empty())
    return type >= 1 && type <= 99 ? type : 0;
  return TankAlarmType(name);
}

std::string FormatAlarms(const std::vector<int>& alarms) {
  std::string out;
  for (int type : alarms) {
    if (!out.empty()) out += '+';
    const std::string_view name = TankAlarmName(type);
    out += name.empty() ? std::to_string(type) : std::string(name);
  }
  return out.empty() ? "none" : out;
}

std::array<float, kCalibrationPoints> CylinderTable(float capacity) {
  std::array<float, kCalibrationPoints> cal{};
  for (size_t k = 1; k <= kCalibrationPoints; ++k)
    cal[k - 1] = static_cast<float>(
        std::round(capacity * CylinderFraction(static_cast<double>(k) / kCalibrationPoints)));
  return cal;
}

std::pair<int, TankState> ParseTankSpec(std::string_view desc, const TankState* base) {
  if (auto hash = desc.find('#'); hash != std::string_view::npos) desc = desc.substr(0, hash);
  desc = Trim(desc);
  if (desc.size() > 4 && Lower(desc.substr(0, 4)) == "tank" &&
      (std::isspace(static_cast<unsigned char>(desc[4])) || desc[4] == ':'))
    desc = Trim(desc.substr(4));

  size_t digits = 0;
  while (digits < desc.size() && desc[digits] >= '0' && desc[digits] <= '9') ++digits;
  if (digits == 0) Fail("expected a tank number in '" + std::string(desc) + "'");
  int tank = 0;
  std::from_chars(desc.data(), desc.data() + digits, tank);
  if (tank < 1 || tank > kMaxTanks)
    Fail("tank number " + std::string(desc.substr(0, digits)) + " outside 1..16");
  desc.remove_prefix(digits);
  if (!desc.empty() && desc.front() != ':' &&
      !std::isspace(static_cast<unsigned char>(desc.front())))
    Fail("expected ':' or a blank after the tank number");
  if (!desc.empty() && desc.front() == ':') desc.remove_prefix(1);

  // Tokens separated by blanks and commas; a token without '=' continues the
  // list of the key before it (only cal takes a list).
  std::vector<std::pair<std::string, std::vector<std::string>>> items;
  size_t i = 0;
  while (i < desc.size()) {
    while (i < desc.size() && IsSeparator(desc[i])) ++i;
    size_t start = i;
    while (i < desc.size() && !IsSeparator(desc[i])) ++i;
    if (start == i) break;
    std::string_view token = desc.substr(start, i - start);
    size_t eq = token.find('=');
    if (eq == std::string_view::npos) {
      if (items.empty() || items.back().first != "cal")
        Fail("'" + std::string(token) + "' is not key=value");
      items.back().second.emplace_back(token);
    } else {
      std::string key = Lower(token.substr(0, eq));
      if (key == "tcvolume") key = "tc_volume";
      if (key == "temp") key = "temperature";
      if (key == "watervolume") key = "water_volume";
      if (key == "tcdensity") key = "tc_density";
      items.push_back({key, {}});
      if (eq + 1 < token.size()) items.back().second.emplace_back(token.substr(eq + 1));
    }
  }

  TankState t = base ? *base : TankState{};
  bool tc_given = false, tc_density_given = false, ullage_given = false, cal_given = false;
  std::optional<float> capacity;
  for (const auto& [key, values] : items) {
    if (key == "cal") {
      if (values.size() != kCalibrationPoints)
        Fail("cal needs 20 values, got " + std::to_string(values.size()));
      for (size_t k = 0; k < kCalibrationPoints; ++k) t.cal[k] = ParseNumber(key, values[k]);
      cal_given = true;
      continue;
    }
    if (key == "alarms" || key == "label") {  // these two may be empty
      if (values.size() > 1) Fail("key " + key + " needs one value");
      const std::string v = values.empty() ? std::string() : values[0];
      if (key == "alarms") {
        t.alarms = ParseAlarms(v);
      } else {
        t.label = v;
        std::replace(t.label.begin(), t.label.end(), '_', ' ');
      }
      continue;
    }
    if (values.size() != 1) Fail("key " + key + " needs exactly one value");
    const std::string& v = values[0];
    if (key == "product") {
      if (v.size() != 1) Fail("product must be one character");
      t.product = v[0];
    } else if (key == "status") {
      if (v.size() != 4) Fail("status must be 4 characters");
      t.status = v;
    } else if (key == "capacity") {
      capacity = ParseNumber(key, v);
    } else {
      float* field = key == "volume"         ? &t.volume
                     : key == "tc_volume"    ? &t.tc_volume
                     : key == "ullage"       ? &t.ullage
                     : key == "level"        ? &t.level
                     : key == "water"        ? &t.water
                     : key == "temperature"  ? &t.temperature
                     : key == "water_volume" ? &t.water_volume
                     : key == "density"      ? &t.density
                     : key == "tc_density"   ? &t.tc_density
                     : key == "mass"         ? &t.mass
                     : key == "height"       ? &t.height
                                             : nullptr;
      if (!field) Fail("unknown key '" + key + "'");
      *field = ParseNumber(key, v);
      tc_given = tc_given || key == "tc_volume";
      tc_density_given = tc_density_given || key == "tc_density";
      ullage_given = ullage_given || key == "ullage";
    }
  }
  if (capacity && !cal_given) t.cal = CylinderTable(*capacity);
  if (!base) {
    if (!tc_given) t.tc_volume = t.volume;
    if (!tc_density_given) t.tc_density = t.density;
    if (!ullage_given) t.ullage = std::max(0.0f, t.cal[kCalibrationPoints - 1] - t.volume);
  }
  return {tank, t};
}

std::map<int, TankState> ParseTankFile(std::string_view text) {
  std::map<int, TankState> tanks;
  int line_no = 0;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    ++line_no;
    if (auto hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
    if (Trim(line).empty()) continue;
    try {
      auto [n, t] = ParseTankSpec(line);
      if (tanks.count(n)) Fail("tank " + std::to_string(n) + " given twice");
      tanks[n] = t;
    } catch (const std::invalid_argument& e) {
      Fail("line " + std::to_string(line_no) + ": " + e.what());
    }
  }
  return tanks;
}

std::map<int, TankState> LoadTankFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read tank file " + path);
  std::ostringstream text;
  text << in.rdbuf();
  try {
    return ParseTankFile(text.str());
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(path + ": " + e.what());
  }
}

std::string FormatTank(int tank, const TankState& t) {
  std::string out = "tank " + std::to_string(tank);
  auto add = [&out](const char* key, float v) {
    out += std::string(" ") + key + "=" + FormatNumber(v);
  };
  add("volume", t.volume);
  add("tc_volume", t.tc_volume);
  add("ullage", t.ullage);
  add("level", t.level);
  add("water", t.water);
  add("temperature", t.temperature);
  add("water_volume", t.water_volume);
  add("density", t.density);
  add("tc_density", t.tc_density);
  add("mass", t.mass);
  add("height", t.height);
  out += " product=";
  out += t.product;
  out += " status=" + t.status;
  if (!t.alarms.empty()) out += " alarms=" + FormatAlarms(t.alarms);
  if (!t.label.empty()) {
    std::string label = t.label;
    std::replace(label.begin(), label.end(), ' ', '_');
    out += " label=" + label;
  }
  out += " cal=";
  for (size_t k = 0; k < kCalibrationPoints; ++k) {
    if (k) out += ',';
    out += FormatNumber(t.cal[k]);
  }
  return out;
}

std::map<int, TankState> DemoTanks() {
  struct Demo {
    int n;
    char product;
    float capacity, height, level, water, temperature, density;
  };
  // Two petrol and two diesel tanks, horizontal cylinders.
  const Demo demos[] = {
      {1, '1', 30000, 2500, 1234.5f, 3.2f, 15.5f, 745.2f},
      {2, '2', 25000, 2400, 1810.0f, 0.0f, 14.8f, 738.9f},
      {3, '3', 50000, 2800, 640.25f, 12.5f, 12.1f, 832.6f},
      {4, '4', 20000, 2000, 1502.0f, 0.5f, 13.4f, 828.4f},
  };
  std::map<int, TankState> tanks;
  for (const Demo& d : demos) {
    TankState t;
    t.product = d.product;
    t.height = d.height;
    t.cal = CylinderTable(d.capacity);
    t.level = d.level;
    t.water = d.water;
    t.temperature = d.temperature;
    t.density = d.density;
    t.volume = static_cast<float>(std::round(d.capacity * CylinderFraction(d.level / d.height)));
    t.water_volume =
        static_cast<float>(std::round(d.capacity * CylinderFraction(d.water / d.height)));
    // Volume at 15 degrees C with a petrol/diesel-like expansion coefficient.
    t.tc_volume =
        static_cast<float>(std::round(t.volume * (1.0 - 0.0011 * (d.temperature - 15.0))));
    t.ullage = d.capacity - t.volume;
    // The same mass in the compensated volume, to 0.1 kg/m3.
    t.tc_density = static_cast<float>(std::round(10.0 * t.volume * d.density / t.tc_volume) / 10);
    tanks[d.n] = t;
  }
  return tanks;
}

}  // namespace vr::sim
