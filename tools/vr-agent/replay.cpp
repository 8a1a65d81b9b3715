#include "replay.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>

#include "event_json.h"
#include "tank_fields.h"

namespace vr::agent {
namespace {

double Number(const std::string& text, const char* column) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || errno != 0)
    throw std::invalid_argument(std::string(column) + " '" + text + "' is not a number");
  return v;
}

struct Tank {
  std::string gauge;
  int tank = 0;
  TankEngine engine;
  int64_t last_ms = 0;
};

}  // namespace

std::vector<std::string> SplitCsv(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        fields.back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else if (c != '\r') {
      fields.back() += c;
    }
  }
  return fields;
}

int Replay(std::istream& csv, const std::string& name, const StationConfig& config, FILE* out) {
  std::string line;
  std::vector<std::string> header;
  std::map<std::pair<std::string, int>, std::unique_ptr<Tank>> tanks;
  std::vector<Event> events;
  std::string json;
  int number = 0;
  try {
    while (std::getline(csv, line)) {
      ++number;
      if (line.empty() || line == "\r") continue;
      std::vector<std::string> cells = SplitCsv(line);
      if (header.empty()) {
        header = cells;
        continue;
      }
      vrsilo_tank_record r{};
      r.link_state = 1;
      std::string gauge = "gauge";
      std::optional<double> full;
      bool timed = false;
      for (size_t i = 0; i < cells.size() && i < header.size(); ++i) {
        const std::string& key = header[i];
        const std::string& cell = cells[i];
        if (cell.empty()) continue;
        bool known = false;
        for (const TankField& c : kTankFields) {
          if (key != c.name) continue;
          r.*c.value = Number(cell, c.name);
          r.fields |= c.bit;
          known = true;
        }
        if (known) continue;
        if (key == "tank") {
          r.tank = static_cast<int>(Number(cell, "tank"));
        } else if (key == "gauge") {
          gauge = cell;
        } else if (key == "link_state") {
          r.link_state = static_cast<int>(Number(cell, "link_state"));
        } else if (key == "status") {
          r.status |= static_cast<unsigned>(Number(cell, "status"));
        } else if (key == "delivery_in_progress") {
          if (cell == "true") r.status |= VRSILO_STATUS_DELIVERY;
        } else if (key == "product") {
          r.product = cell[0];
        } else if (key == "full_volume") {
          full = Number(cell, "full_volume");
        } else if (key == "read_at") {
          const auto ms = ParseTimestamp(cell);
          if (!ms) throw std::invalid_argument("read_at '" + cell + "' is not a time");
          r.received_at_ms = *ms;
          timed = true;
        }
      }
      if (r.tank < 1 || r.tank > 99) throw std::invalid_argument("no tank 1..99");
      if (!timed) throw std::invalid_argument("no read_at");
      auto& t = tanks[{gauge, r.tank}];
      if (!t) t.reset(new Tank{gauge, r.tank, TankEngine(config.For(gauge, r.tank)), 0});
      if (full) t->engine.SetFullVolume(*full);
      events.clear();
      t->engine.Feed(r, events);
      t->last_ms = r.received_at_ms;
      for (const Event& e : events) {
        FormatEvent(e, json);
        std::fprintf(out, "%s/tank/%d %s\n", gauge.c_str(), r.tank, json.c_str());
      }
    }
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "vr-agent: %s:%d: %s\n", name.c_str(), number, e.what());
    return 2;
  }
  for (const auto& [key, t] : tanks) {
    FormatAlarmStates(t->engine, t->last_ms, json);
    std::fprintf(out, "%s/tank/%d alarms %s\n", t->gauge.c_str(), t->tank, json.c_str());
    FormatForecast(t->engine.ForecastAt(t->last_ms), t->last_ms, json);
    std::fprintf(out, "%s/tank/%d forecast %s\n", t->gauge.c_str(), t->tank, json.c_str());
  }
  return 0;
}

}  // namespace vr::agent
