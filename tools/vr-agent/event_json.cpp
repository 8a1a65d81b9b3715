#include "event_json.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "wall_clock.h"

namespace vr::agent {
namespace {

// Shortest text that reads back as the same double, rounded to what a gauge
// can mean (a millilitre, a thousandth of a millimetre or degree).
void AppendNumber(std::string& out, double v) {
  v = std::round(v * 1000.0) / 1000.0;
  if (v == 0) v = 0;  // no "-0"
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, ec == std::errc() ? end : buf);
}

void AppendKey(std::string& out, const char* key) {
  out += ",\"";
  out += key;
  out += "\":";
}

void AppendTime(std::string& out, const char* key, int64_t ms) {
  AppendKey(out, key);
  out += '"';
  AppendTimestamp(out, ms);
  out += '"';
}

void AppendOptional(std::string& out, const char* key, const std::optional<double>& v) {
  AppendKey(out, key);
  if (v) {
    AppendNumber(out, *v);
  } else {
    out += "null";
  }
}

}  // namespace

void AppendTimestamp(std::string& out, int64_t ms) {
  tools::AppendLocalTime(out, ms);
}

std::optional<int64_t> ParseTimestamp(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &used) != 6)
    return std::nullopt;
  size_t at = static_cast<size_t>(used);
  int ms = 0;
  if (at < text.size() && text[at] == '.') {
    int digits = 0;
    for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits)
      if (digits < 3) ms = ms * 10 + (text[at] - '0');
    for (; digits < 3; ++digits) ms *= 10;
  }
  int offset = 0;  // minutes east of UTC
  if (at < text.size() && text[at] == 'Z') {
    ++at;
  } else if (at + 6 == text.size() && (text[at] == '+' || text[at] == '-') && text[at + 3] == ':') {
    const int oh = std::atoi(text.substr(at + 1, 2).c_str()),
              om = std::atoi(text.substr(at + 4, 2).c_str());
    offset = (text[at] == '-' ? -1 : 1) * (oh * 60 + om);
    at += 6;
  } else {
    return std::nullopt;
  }
  if (at != text.size()) return std::nullopt;
  using namespace std::chrono;
  const year_month_day date{year{y}, month{static_cast<unsigned>(mo)},
                            day{static_cast<unsigned>(d)}};
  if (!date.ok() || h > 23 || mi > 59 || s > 60) return std::nullopt;
  const int64_t days = sys_days{date}.time_since_epoch().count();
  return ((days * 24 + h) * 60 + mi - offset) * 60000 + s * 1000 + ms;
}

void FormatEvent(const Event& e, std::string& out) {
  switch (e.kind) {
    case Event::Kind::kAlarm:
      out = "{\"event\":\"alarm\",\"alarm\":\"";
      out += AlarmName(e.alarm);
      out += "\",\"active\":";
      out += e.active ? "true" : "false";
      AppendTime(out, "at", e.at_ms);
      AppendKey(out, "value");
      AppendNumber(out, e.value);
      break;
    case Event::Kind::kDeliveryStart:
      out = "{\"event\":\"delivery_start\"";
      AppendTime(out, "at", e.at_ms);
      AppendKey(out, "volume");
      AppendNumber(out, e.value);
      break;
    case Event::Kind::kDelivery: {
      const DeliveryEvent& d = e.delivery;
      out = "{\"event\":\"delivery\",\"source\":\"";
      out += d.from_console ? "console" : "agent";
      out += '"';
      AppendTime(out, "start", d.start_ms);
      AppendTime(out, "end", d.end_ms);
      AppendKey(out, "start_volume");
      AppendNumber(out, d.start_volume);
      AppendKey(out, "end_volume");
      AppendNumber(out, d.end_volume);
      AppendKey(out, "gross");
      AppendNumber(out, d.gross);
      AppendOptional(out, "net15", d.net15);
      AppendOptional(out, "temperature", d.temperature);
      break;
    }
  }
  out += '}';
}

void FormatAlarmStates(const TankEngine& engine, int64_t at_ms, std::string& out) {
  out = "{";
  for (size_t k = 0; k < kAlarmKinds; ++k) {
    const auto kind = static_cast<AlarmKind>(k);
    if (k) out += ',';
    out += '"';
    out += AlarmName(kind);
    out += "\":";
    out += engine.AlarmActive(kind) ? "true" : "false";
  }
  AppendTime(out, "at", at_ms);
  out += '}';
}

void FormatForecast(const Forecast& f, int64_t at_ms, std::string& out) {
  out = "{\"sales_per_day\":";
  if (f.sales_per_day) {
    AppendNumber(out, *f.sales_per_day);
  } else {
    out += "null";
  }
  AppendOptional(out, "days_to_empty", f.days_to_empty);
  for (auto [key, ms] :
       {std::pair{"empty_at", f.empty_at_ms}, std::pair{"order_by", f.order_by_ms}}) {
    if (ms) {
      AppendTime(out, key, *ms);
    } else {
      AppendKey(out, key);
      out += "null";
    }
  }
  AppendOptional(out, "ullage_90", f.ullage_90);
  AppendOptional(out, "ullage_95", f.ullage_95);
  AppendTime(out, "at", at_ms);
  out += '}';
}

void FormatHistory(int tank, const std::vector<std::pair<int64_t, double>>& points, int64_t step_ms,
                   int64_t at_ms, std::string& out) {
  out = "{\"tank\":";
  out += std::to_string(tank);
  out += ",\"step\":";
  out += std::to_string(step_ms / 1000);
  if (points.empty())
    out += ",\"from\":null";
  else
    AppendTime(out, "from", points.front().first);
  out += ",\"volumes\":[";
  for (size_t k = 0; k < points.size(); ++k) {
    if (k) out += ',';
    AppendNumber(out, points[k].second);
  }
  out += ']';
  AppendTime(out, "at", at_ms);
  out += '}';
}

}  // namespace vr::agent
