#include "station_state.h"

#include <charconv>
#include <cstdio>

#include "event_json.h"

#ifndef VRSILO_VERSION
#define VRSILO_VERSION "unknown"
#endif

namespace vr::agent {
namespace {

void AppendNumber(std::string& out, double v) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, ec == std::errc() ? end : buf);
}

// A label value: backslash, double quote and line feed escaped.
void AppendLabel(std::string& out, const char* name, const std::string& value, bool first = false) {
  if (!first) out += ',';
  out += name;
  out += "=\"";
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    out += c == '\n' ? 'n' : c;
  }
  out += '"';
}

void AppendJsonString(std::string& out, const std::string& text) {
  out += '"';
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  out += '"';
}

const char* const kOutcomes[] = {"not_open", "ok", "silent", "bad_reply"};

}  // namespace

void StationState::GaugeRead(const std::string& gauge, int link_state) {
  std::lock_guard lock(mu_);
  Gauge& g = gauges_[gauge];
  g.link_state = link_state;
  if (link_state >= 0 && link_state <= 3) ++g.exchanges[static_cast<size_t>(link_state)];
}

void StationState::TankRead(const std::string& gauge, const vrsilo_tank_record& r,
                            const TankEngine& engine) {
  std::lock_guard lock(mu_);
  Tank& t = tanks_[{gauge, r.tank}];
  if (r.link_state == 1) {  // answered
    t.reading = r;
    t.read = true;
  }
  for (size_t k = 0; k < kAlarmKinds; ++k)
    t.alarms[k] = engine.AlarmActive(static_cast<AlarmKind>(k));
}

void StationState::Error(const std::string& text) {
  std::lock_guard lock(mu_);
  last_error_ = text;
}

void StationState::RenderMetrics(std::string& out, int64_t now_ms) const {
  struct Value {
    const char* name;
    const char* help;
    unsigned bit;
    double vrsilo_tank_record::*member;
  };
  static constexpr Value kValues[] = {
      {"vrsilo_tank_volume_litres", "Gross product volume.", VRSILO_FIELD_VOLUME,
       &vrsilo_tank_record::volume},
      {"vrsilo_tank_level_mm", "Product level.", VRSILO_FIELD_HEIGHT, &vrsilo_tank_record::height},
      {"vrsilo_tank_water_mm", "Water level.", VRSILO_FIELD_WATER, &vrsilo_tank_record::water},
      {"vrsilo_tank_temperature_celsius", "Product temperature.", VRSILO_FIELD_TEMPERATURE,
       &vrsilo_tank_record::temperature},
      {"vrsilo_tank_ullage_litres", "Room left in the tank.", VRSILO_FIELD_ULLAGE,
       &vrsilo_tank_record::ullage},
  };
  const PublisherCounters counters = counters_ ? counters_() : PublisherCounters{};
  std::lock_guard lock(mu_);
  out.clear();
  auto labels = [&](const std::string& gauge, int tank) {
    out += '{';
    AppendLabel(out, "site", site_, true);
    AppendLabel(out, "gauge", gauge);
    AppendLabel(out, "tank", std::to_string(tank));
  };
  for (const Value& v : kValues) {
    out += "# HELP ";
    out += v.name;
    out += ' ';
    out += v.help;
    out += "\n# TYPE ";
    out += v.name;
    out += " gauge\n";
    for (const auto& [key, t] : tanks_) {
      if (!t.read || !(t.reading.fields & v.bit)) continue;
      out += v.name;
      labels(key.first, key.second);
      out += "} ";
      AppendNumber(out, t.reading.*v.member);
      out += '\n';
    }
  }
  out +=
      "# HELP vrsilo_tank_read_age_seconds Time since the tank's last good reading.\n"
      "# TYPE vrsilo_tank_read_age_seconds gauge\n";
  for (const auto& [key, t] : tanks_) {
    if (!t.read) continue;
    out += "vrsilo_tank_read_age_seconds";
    labels(key.first, key.second);
    out += "} ";
    AppendNumber(out, static_cast<double>(now_ms - t.reading.received_at_ms) / 1000.0);
    out += '\n';
  }
  out +=
      "# HELP vrsilo_tank_alarm Whether the station's alarm is active (1) or not (0).\n"
      "# TYPE vrsilo_tank_alarm gauge\n";
  for (const auto& [key, t] : tanks_) {
    for (size_t k = 0; k < kAlarmKinds; ++k) {
      out += "vrsilo_tank_alarm";
      labels(key.first, key.second);
      AppendLabel(out, "alarm", AlarmName(static_cast<AlarmKind>(k)));
      out += t.alarms[k] ? "} 1\n" : "} 0\n";
    }
  }
  out +=
      "# HELP vrsilo_agent_exchanges_total Reads of a gauge (one exchange round each) by their "
      "outcome.\n"
      "# TYPE vrsilo_agent_exchanges_total counter\n";
  for (const auto& [name, g] : gauges_) {
    for (size_t k = 0; k < g.exchanges.size(); ++k) {
      out += "vrsilo_agent_exchanges_total{";
      AppendLabel(out, "site", site_, true);
      AppendLabel(out, "gauge", name);
      AppendLabel(out, "outcome", kOutcomes[k]);
      out += "} ";
      AppendNumber(out, static_cast<double>(g.exchanges[k]));
      out += '\n';
    }
  }
  auto counter = [&](const char* name, const char* type, const char* help, uint64_t value) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
           name + "{";
    AppendLabel(out, "site", site_, true);
    out += "} ";
    AppendNumber(out, static_cast<double>(value));
    out += '\n';
  };
  counter("vrsilo_agent_messages_published_total", "counter", "Messages the broker acknowledged.",
          counters.published);
  counter("vrsilo_agent_queue_depth", "gauge", "Messages waiting for the broker.", counters.queued);
  counter("vrsilo_agent_messages_dropped_total", "counter",
          "Messages dropped from a full queue or refused.", counters.dropped);
}

std::string StationState::ChangeKey() const {
  std::lock_guard lock(mu_);
  std::string key = last_error_;
  for (const auto& [name, g] : gauges_) key += "\n" + name + "=" + std::to_string(g.link_state);
  return key;
}

void StationState::FormatStatus(std::string& out, int64_t now_ms) const {
  const PublisherCounters counters = counters_ ? counters_() : PublisherCounters{};
  std::lock_guard lock(mu_);
  out = "{\"version\":\"" VRSILO_VERSION "\",\"started_at\":\"";
  AppendTimestamp(out, started_ms_);
  out += "\",\"period\":";
  AppendNumber(out, period_s_);
  out += ",\"heartbeat\":";
  AppendNumber(out, heartbeat_s_);
  out += ",\"gauges\":{";
  bool first = true;
  for (const auto& [name, g] : gauges_) {
    if (!first) out += ',';
    first = false;
    AppendJsonString(out, name);
    out += ":{\"link_state\":";
    AppendNumber(out, g.link_state);
    out += ",\"reads\":";
    AppendNumber(out, static_cast<double>(g.exchanges[1] + g.exchanges[2] + g.exchanges[3]));
    out += ",\"failed\":";
    AppendNumber(out, static_cast<double>(g.exchanges[2] + g.exchanges[3]));
    out += '}';
  }
  out += "},\"published\":";
  AppendNumber(out, static_cast<double>(counters.published));
  out += ",\"queued\":";
  AppendNumber(out, static_cast<double>(counters.queued));
  out += ",\"dropped\":";
  AppendNumber(out, static_cast<double>(counters.dropped));
  out += ",\"last_error\":";
  if (last_error_.empty()) {
    out += "null";
  } else {
    AppendJsonString(out, last_error_);
  }
  out += ",\"at\":\"";
  AppendTimestamp(out, now_ms);
  out += "\"}";
}

}  // namespace vr::agent
