#include "gauge_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "event_json.h"
#include "ha_discovery.h"
#include "tank_fields.h"
#include "vrsilo.h"
#include "wall_clock.h"

namespace vr::agent {
namespace {

// Shortest text that reads back as the same double (the gauge interface
// never gives NaN or infinity for a field it marks present).
// The gauge sends singles: one that a single holds exactly is written as the
// shortest text of that single (3.2, not 3.200000047683716).
void AppendNumber(std::string& out, double v) {
  char buf[32];
  const auto f = static_cast<float>(v);
  auto [end, ec] = static_cast<double>(f) == v ? std::to_chars(buf, buf + sizeof buf, f)
                                               : std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, ec == std::errc() ? end : buf);
}

// A JSON string of printable ASCII (the console's texts are nothing else).
void AppendString(std::string& out, const char* text) {
  out += '"';
  for (const char* c = text; *c; ++c) {
    if (*c == '"' || *c == '\\') out += '\\';
    out += (*c >= 0x20 && *c < 0x7F) ? *c : '?';
  }
  out += '"';
}

// Every rounds' worth of this many seconds, at least one round.
int Rounds(int seconds, int period) {
  return std::max(1, (seconds + period / 2) / period);
}

// What the gauge said, without the times and within the deadbands of the
// message last published: a move past one is published at once.
bool SameValues(const vrsilo_tank_record& a, const vrsilo_tank_record& b,
                const std::array<double, kTankFieldCount>& deadbands) {
  if (a.link_state != b.link_state || a.fields != b.fields || a.product != b.product ||
      a.status != b.status)
    return false;
  for (size_t k = 0; k < kTankFieldCount; ++k) {
    const double x = a.*kTankFields[k].value, y = b.*kTankFields[k].value;
    if (deadbands[k] == 0 ? std::memcmp(&x, &y, sizeof x) != 0 : std::fabs(x - y) > deadbands[k])
      return false;
  }
  return true;
}

}  // namespace

void FormatTankMessage(const vrsilo_tank_record& r, const std::string& label, std::string& out) {
  out.clear();
  out += "{\"tank\":";
  AppendNumber(out, r.tank);
  if (r.link_state == VRSILO_LINK_OK) {
    for (const TankField& f : kTankFields) {
      if (!(r.fields & f.bit)) continue;
      out += ",\"";
      out += f.name;
      out += "\":";
      AppendNumber(out, r.*f.value);
    }
    if (r.product >= 0x20 && r.product < 0x7F) {
      out += ",\"product\":\"";
      if (r.product == '"' || r.product == '\\') out += '\\';
      out += r.product;
      out += '"';
    }
    if (!label.empty()) {
      out += ",\"product_label\":";
      AppendString(out, label.c_str());
    }
    out += ",\"status\":";
    AppendNumber(out, r.status);
    out += ",\"delivery_in_progress\":";
    out += (r.status & VRSILO_STATUS_DELIVERY) ? "true" : "false";
    if (r.console_time[0] != '\0') {
      out += ",\"console_time\":\"";
      out += r.console_time;
      out += '"';
    }
  }
  out += ",\"link_state\":";
  AppendNumber(out, r.link_state);
  out += ",\"read_at\":\"";
  AppendTimestamp(out, r.received_at_ms);
  out += "\"}";
}

void FormatConsoleAlarms(const vrsilo_alarm* alarms, size_t count, int64_t at, std::string& out) {
  out = "{\"alarms\":[";
  for (size_t i = 0; i < count; ++i) {
    if (i) out += ',';
    if (alarms[i].name[0]) {
      AppendString(out, alarms[i].name);
    } else {
      out += "\"alarm_" + std::to_string(alarms[i].type) + '"';
    }
  }
  out += "],\"codes\":[";
  for (size_t i = 0; i < count; ++i) {
    if (i) out += ',';
    AppendNumber(out, alarms[i].type);
  }
  out += "],\"at\":\"";
  AppendTimestamp(out, at);
  out += "\"}";
}

void FormatConsoleDelivery(const vrsilo_delivery& d, std::string& out) {
  struct Value {
    const char* name;
    double vrsilo_delivery::*value;
  };
  // In the order the console sends them: bit k of d.fields is value k.
  static constexpr Value kValues[] = {
      {"start_volume", &vrsilo_delivery::start_volume},
      {"start_tc_volume", &vrsilo_delivery::start_tc_volume},
      {"start_water", &vrsilo_delivery::start_water},
      {"start_temperature", &vrsilo_delivery::start_temperature},
      {"end_volume", &vrsilo_delivery::end_volume},
      {"end_tc_volume", &vrsilo_delivery::end_tc_volume},
      {"end_water", &vrsilo_delivery::end_water},
      {"end_temperature", &vrsilo_delivery::end_temperature},
      {"start_level", &vrsilo_delivery::start_height},
      {"end_level", &vrsilo_delivery::end_height},
      {"start_mass", &vrsilo_delivery::start_mass},
      {"end_mass", &vrsilo_delivery::end_mass},
      {"start_density", &vrsilo_delivery::start_density},
      {"end_density", &vrsilo_delivery::end_density},
      {"start_tc_density", &vrsilo_delivery::start_tc_density},
      {"end_tc_density", &vrsilo_delivery::end_tc_density},
  };
  out = "{\"tank\":";
  AppendNumber(out, d.tank);
  out += ",\"start\":";
  AppendString(out, d.start);
  out += ",\"end\":";
  AppendString(out, d.end);
  if (d.product >= 0x20 && d.product < 0x7F) {
    const char product[2] = {d.product, '\0'};
    out += ",\"product\":";
    AppendString(out, product);
  }
  // The amount delivered, gross and net, where both ends were sent.
  if ((d.fields & 0x11u) == 0x11u) {
    out += ",\"volume\":";
    AppendNumber(out, d.end_volume - d.start_volume);
  }
  if ((d.fields & 0x22u) == 0x22u) {
    out += ",\"tc_volume\":";
    AppendNumber(out, d.end_tc_volume - d.start_tc_volume);
  }
  for (size_t k = 0; k < std::size(kValues); ++k) {
    if (!(d.fields & (1u << k))) continue;
    out += ",\"";
    out += kValues[k].name;
    out += "\":";
    AppendNumber(out, d.*kValues[k].value);
  }
  out += ",\"read_at\":\"";
  AppendTimestamp(out, d.received_at_ms);
  out += "\"}";
}

GaugeReader::GaugeReader(const GaugeOption& gauge, const std::string& topicPrefix,
                         const Options& options, const StationConfig& config, History* history,
                         StationState& state, Publisher& publisher)
    : gauge_(gauge),
      options_(options),
      // Counted in rounds, so that a round a little early does not skip a beat.
      heartbeat_rounds_(Rounds(options.heartbeatSeconds, options.periodSeconds)),
      history_(history),
      state_(state),
      publisher_(publisher),
      console_rounds_(Rounds(options.reportsSeconds, options.periodSeconds)),
      system_topic_(topicPrefix + "/console_alarms") {
  const int count = options.lastTank - options.firstTank + 1;
  tanks_.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    Tank& t = tanks_[static_cast<size_t>(i)];
    t.topic = topicPrefix + "/tank/" + std::to_string(options.firstTank + i);
    t.alarms_topic = t.topic + "/console_alarms";
    t.deliveries_topic = t.topic + "/console_deliveries";
    t.alarms_key = "-";
    t.engine = TankEngine(config.For(gauge.name, options.firstTank + i));
    t.states_topic = t.topic + "/alarms";
    t.events_topic = t.topic + "/events";
    t.delivery_topic = t.topic + "/delivery";
    t.forecast_topic = t.topic + "/forecast";
    t.history_topic = t.topic + "/history";
  }
  records_.resize(static_cast<size_t>(count));
  payload_.reserve(512);
  alarms_.resize(512);
  deliveries_.resize(64);
  to_store_.reserve(static_cast<size_t>(count));
  labels_.resize(static_cast<size_t>(count));
}

GaugeReader::~GaugeReader() {
  Stop();
  vrsilo_gauge_close(handle_);
}

void GaugeReader::Start() {
  thread_ = std::thread([this] { Run(); });
}

void GaugeReader::Stop() {
  {
    std::lock_guard lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool GaugeReader::Stopping() {
  std::lock_guard lock(mu_);
  return stop_;
}

void GaugeReader::Round() {
  if (!handle_) {
    const int rc = vrsilo_gauge_open(gauge_.address.c_str(), &handle_);
    if (rc != VRSILO_OK) {
      state_.GaugeRead(gauge_.name, 0);
      if (!open_failure_logged_) {
        std::fprintf(stderr, "vr-agent: %s: cannot open %s (%s), retrying every period\n",
                     gauge_.name.c_str(), gauge_.address.c_str(), vrsilo_error_text(rc));
        state_.Error(gauge_.name + ": cannot open " + gauge_.address);
      }
      open_failure_logged_ = true;
      return;
    }
    open_failure_logged_ = false;
  }
  const bool console_due = round_++ % console_rounds_ == 0;
  if (rediscover_.exchange(false))
    for (Tank& t : tanks_) t.discovered = false;
  int count = 0;
  const int rc = vrsilo_gauge_read(handle_, options_.firstTank, options_.lastTank, records_.data(),
                                   static_cast<int>(records_.size()), &count);
  if (rc != VRSILO_OK) {
    std::fprintf(stderr, "vr-agent: %s: %s\n", gauge_.name.c_str(), vrsilo_error_text(rc));
    return;
  }
  // A silent gauge is not asked for more this round.
  const bool answered = count > 0 && records_[0].link_state != VRSILO_LINK_SILENT;
  state_.GaugeRead(gauge_.name, count > 0 ? records_[0].link_state : VRSILO_LINK_OK);
  if (!answered && count > 0) state_.Error(gauge_.name + ": the gauge did not answer");
  if (answered && console_due) ReadLabels();
  for (int i = 0; i < count; ++i) {
    const vrsilo_tank_record& r = records_[static_cast<size_t>(i)];
    Tank& t = tanks_[static_cast<size_t>(r.tank - options_.firstTank)];
    // Without a tank range, only the tanks the console has reported are
    // flagged when it falls silent.
    if (r.link_state == VRSILO_LINK_OK) t.seen = true;
    if (!t.seen && !options_.tanksGiven) continue;
    events_.clear();
    t.engine.Feed(r, events_);
    PublishEvents(t, r.received_at_ms);
    state_.TankRead(gauge_.name, r, t.engine);
    if (!t.discovered && !options_.haPrefix.empty() && r.link_state == VRSILO_LINK_OK) {
      FormatDiscovery(options_.haPrefix, options_.site, gauge_.name, r.tank, t.topic,
                      "vrsilo/" + options_.site + "/status", t.discovery_topic, payload_);
      publisher_.Publish(&t.discovery_topic, payload_);
      t.discovered = true;
    }
    if (t.published && SameValues(r, t.last, options_.deadbands) && t.label == t.published_label &&
        ++t.roundsUnpublished < heartbeat_rounds_)
      continue;
    FormatTankMessage(r, t.label, payload_);
    publisher_.Publish(&t.topic, payload_);
    t.last = r;
    t.published_label = t.label;
    t.published = true;
    t.roundsUnpublished = 0;
  }
  // One reading a minute per tank is kept: enough for the forecast and the
  // charts, and a sixth of the writes of a 10 s period.
  if (history_) {
    to_store_.clear();
    for (int i = 0; i < count; ++i) {
      const vrsilo_tank_record& r = records_[static_cast<size_t>(i)];
      Tank& t = tanks_[static_cast<size_t>(r.tank - options_.firstTank)];
      if (r.link_state != VRSILO_LINK_OK ||
          (t.stored_ms >= 0 && r.received_at_ms - t.stored_ms < 60000))
        continue;
      to_store_.push_back(r);
      t.stored_ms = r.received_at_ms;
    }
    if (!to_store_.empty()) history_->AddReadings(gauge_.name, to_store_);
    PublishHistory();
  }
  if (!answered) return;
  ReadAlarms();
  if (console_due) {
    ReadDeliveries();
    ReadFullVolumes();
    if (history_) history_->Maintain(tools::UtcNowMs());
    for (Tank& t : tanks_)
      if (t.seen) PublishForecast(t);
  }
}

void GaugeReader::PublishEvents(Tank& t, int64_t at_ms) {
  static constexpr const char* kKinds[] = {"alarm", "delivery_start", "delivery"};
  for (const Event& e : events_) {
    FormatEvent(e, payload_);
    publisher_.Publish(&t.events_topic, payload_, false);
    if (history_)
      history_->AddEvent(gauge_.name, static_cast<int>(&t - tanks_.data()) + options_.firstTank,
                         e.at_ms, kKinds[static_cast<size_t>(e.kind)], payload_);
    if (e.kind == Event::Kind::kDelivery) publisher_.Publish(&t.delivery_topic, payload_);
  }
  // The alarm states, retained, whenever one changed (and at the first reading).
  FormatAlarmStates(t.engine, at_ms, payload_);
  const std::string key = payload_.substr(0, payload_.find(",\"at\""));
  if (key == t.states_key) return;
  t.states_key = key;
  publisher_.Publish(&t.states_topic, payload_);
}

void GaugeReader::PublishForecast(Tank& t) {
  const int64_t at = t.engine.LastReadingMs();
  if (at < 0) return;
  // By exception too: a changed forecast at most every quarter of an hour,
  // an unchanged one hourly.
  FormatForecast(t.engine.ForecastAt(at), at, payload_);
  const std::string key = payload_.substr(0, payload_.find(",\"at\""));
  const int64_t since = at - t.forecast_ms;
  if (t.forecast_ms >= 0 && !(key != t.forecast_key && since >= 15 * 60000) && since < 3600000)
    return;
  t.forecast_key = key;
  t.forecast_ms = at;
  publisher_.Publish(&t.forecast_topic, payload_);
}

// Each tank's last day of volumes at quarter-hour points, retained, once a
// quarter of an hour: the office draws its charts without a database.
void GaugeReader::PublishHistory() {
  constexpr int64_t kStep = 15 * 60000, kDay = 24 * 3600000LL;
  const int64_t now = tools::UtcNowMs();
  for (size_t i = 0; i < tanks_.size(); ++i) {
    Tank& t = tanks_[i];
    if (!t.seen || t.history_quarter == now / kStep) continue;
    t.history_quarter = now / kStep;
    const int tank = options_.firstTank + static_cast<int>(i);
    FormatHistory(tank, history_->VolumePoints(gauge_.name, tank, now - kDay, now, kStep), kStep,
                  now, payload_);
    publisher_.Publish(&t.history_topic, payload_);
  }
}

// The full volume of each tank's calibration table, at the start and daily.
void GaugeReader::ReadFullVolumes() {
  constexpr int64_t kDayMs = 24 * 3600 * 1000;
  const int64_t now = tools::UtcNowMs();
  for (size_t i = 0; i < tanks_.size(); ++i) {
    Tank& t = tanks_[i];
    if (!t.seen || (t.table_read_ms >= 0 && now - t.table_read_ms < kDayMs)) continue;
    t.table_read_ms = now;
    int32_t height = 0;
    double volumes[20] = {};
    const int rc = vrsilo_gauge_read_table(handle_, options_.firstTank + static_cast<int>(i),
                                           &height, volumes);
    const int tank = options_.firstTank + static_cast<int>(i);
    if (rc == VRSILO_OK && volumes[19] > 0) {
      t.engine.SetFullVolume(volumes[19]);
      if (history_) history_->SetFullVolume(gauge_.name, tank, volumes[19], now);
    }
  }
}

void GaugeReader::WarmUp() {
  if (!history_) return;
  constexpr int64_t kWeeks = 35LL * 24 * 3600 * 1000;
  const int64_t from = tools::UtcNowMs() - kWeeks;
  std::vector<Event> dropped;
  for (size_t i = 0; i < tanks_.size(); ++i) {
    Tank& t = tanks_[i];
    const int tank = options_.firstTank + static_cast<int>(i);
    if (const auto full = history_->FullVolume(gauge_.name, tank)) t.engine.SetFullVolume(*full);
    history_->ForEachReading(gauge_.name, tank, from, [&](const vrsilo_tank_record& r) {
      t.engine.Feed(r, dropped);
      t.stored_ms = r.received_at_ms;
      dropped.clear();
    });
  }
}

bool GaugeReader::Supported(int rc, const char* what) {
  if (rc == VRSILO_OK) return true;
  if (rc != VRSILO_E_NOT_SUPPORTED) {
    std::fprintf(stderr, "vr-agent: %s: %s: %s\n", gauge_.name.c_str(), what,
                 vrsilo_error_text(rc));
  } else if (!console_unsupported_logged_) {
    std::fprintf(stderr, "vr-agent: %s: the console does not answer its %s report\n",
                 gauge_.name.c_str(), what);
    console_unsupported_logged_ = true;
  }
  return false;
}

void GaugeReader::ReadLabels() {
  int count = 0;
  const int rc = vrsilo_gauge_read_labels(handle_, options_.firstTank, options_.lastTank,
                                          labels_.data(), static_cast<int>(labels_.size()), &count);
  if (!Supported(rc, "label")) return;
  for (int i = 0; i < std::min(count, static_cast<int>(labels_.size())); ++i)
    tanks_[static_cast<size_t>(labels_[static_cast<size_t>(i)].tank - options_.firstTank)].label =
        labels_[static_cast<size_t>(i)].label;
}

void GaugeReader::ReadAlarms() {
  int count = 0;
  const int rc = vrsilo_gauge_read_alarms(handle_, options_.firstTank, options_.lastTank, 1,
                                          alarms_.data(), static_cast<int>(alarms_.size()), &count);
  if (!Supported(rc, "alarm")) return;
  const size_t n = std::min(static_cast<size_t>(count), alarms_.size());
  // Tank alarms come first, in tank order; the system's follow.
  size_t at = 0;
  for (size_t i = 0; i < tanks_.size(); ++i) {
    Tank& t = tanks_[i];
    const int tank = options_.firstTank + static_cast<int>(i);
    const size_t first = at;
    while (at < n && alarms_[at].category == VRSILO_ALARM_TANK && alarms_[at].device == tank) ++at;
    if (!t.seen) continue;
    std::vector<std::string> names;
    for (size_t k = first; k < at; ++k) names.emplace_back(alarms_[k].name);
    events_.clear();
    const int64_t when = first < at ? alarms_[first].received_at_ms : tools::UtcNowMs();
    t.engine.ConsoleAlarms(names, when, events_);
    PublishEvents(t, when);
    FormatConsoleAlarms(alarms_.data() + first, at - first, 0, payload_);
    const std::string key = payload_.substr(0, payload_.find(",\"at\""));
    if (key == t.alarms_key) continue;
    FormatConsoleAlarms(alarms_.data() + first, at - first,
                        first < at ? alarms_[first].received_at_ms : tools::UtcNowMs(), payload_);
    publisher_.Publish(&t.alarms_topic, payload_);
    t.alarms_key = key;
  }
  // Sensors, inputs and the console itself.
  std::string system = "{\"alarms\":[";
  for (size_t i = at; i < n; ++i) {
    if (i > at) system += ',';
    system += "{\"category\":";
    AppendString(system, alarms_[i].category_name);
    system += ",\"category_code\":" + std::to_string(alarms_[i].category) +
              ",\"type\":" + std::to_string(alarms_[i].type) +
              ",\"device\":" + std::to_string(alarms_[i].device) + '}';
  }
  system += ']';
  if (system == system_key_) return;
  system_key_ = system;
  system += ",\"at\":\"";
  AppendTimestamp(system, tools::UtcNowMs());
  system += "\"}";
  publisher_.Publish(&system_topic_, system);
}

void GaugeReader::ReadDeliveries() {
  for (size_t i = 0; i < tanks_.size(); ++i) {
    Tank& t = tanks_[i];
    if (!t.seen) continue;
    const int tank = options_.firstTank + static_cast<int>(i);
    int count = 0;
    int rc = vrsilo_gauge_read_deliveries(handle_, tank, 0, deliveries_.data(),
                                          static_cast<int>(deliveries_.size()), &count);
    // A console without the stored deliveries may still give the last one.
    if (rc == VRSILO_E_NOT_SUPPORTED)
      rc = vrsilo_gauge_read_deliveries(handle_, tank, 1, deliveries_.data(),
                                        static_cast<int>(deliveries_.size()), &count);
    if (!Supported(rc, "delivery")) continue;
    // Each delivery once: those not held at the last read. After a start,
    // all that the console holds (a delivery is known by tank and start).
    std::vector<std::string> held;
    for (int k = 0; k < std::min(count, static_cast<int>(deliveries_.size())); ++k) {
      const vrsilo_delivery& d = deliveries_[static_cast<size_t>(k)];
      held.push_back(std::string(d.start) + d.end);
      if (std::find(t.deliveries.begin(), t.deliveries.end(), held.back()) != t.deliveries.end())
        continue;
      FormatConsoleDelivery(d, payload_);
      publisher_.Publish(&t.deliveries_topic, payload_, false);
      // Beside the agent's own detection, as an event of the console's.
      events_.clear();
      Event e;
      e.kind = Event::Kind::kDelivery;
      e.delivery = TankEngine::FromConsole(d, d.received_at_ms);
      e.at_ms = e.delivery.end_ms;
      events_.push_back(e);
      PublishEvents(t, d.received_at_ms);
    }
    t.deliveries.swap(held);
  }
}

void GaugeReader::Run() {
  WarmUp();
  const auto period = std::chrono::seconds(options_.periodSeconds);
  auto next = std::chrono::steady_clock::now();
  while (!Stopping()) {
    Round();
    // The next round on the period's grid; a round that overran starts the next at once.
    next += period;
    const auto now = std::chrono::steady_clock::now();
    if (next < now) next = now;
    std::unique_lock lock(mu_);
    if (cv_.wait_until(lock, next, [&] { return stop_; })) return;
  }
}

}  // namespace vr::agent
