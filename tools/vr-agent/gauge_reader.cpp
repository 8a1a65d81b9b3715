#include "gauge_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "vrsilo.h"

namespace vr::agent {
namespace {

// The values of a record by their names in the message, in its order.
struct Field {
  const char* name;
  unsigned bit;
  double vrsilo_tank_record::*value;
};
constexpr Field kFields[] = {
    {"level", VRSILO_FIELD_HEIGHT, &vrsilo_tank_record::height},
    {"volume", VRSILO_FIELD_VOLUME, &vrsilo_tank_record::volume},
    {"tc_volume", VRSILO_FIELD_TC_VOLUME, &vrsilo_tank_record::tc_volume},
    {"ullage", VRSILO_FIELD_ULLAGE, &vrsilo_tank_record::ullage},
    {"water", VRSILO_FIELD_WATER, &vrsilo_tank_record::water},
    {"water_volume", VRSILO_FIELD_WATER_VOLUME, &vrsilo_tank_record::water_volume},
    {"temperature", VRSILO_FIELD_TEMPERATURE, &vrsilo_tank_record::temperature},
    {"density", VRSILO_FIELD_DENSITY, &vrsilo_tank_record::density},
    {"tc_density", VRSILO_FIELD_TC_DENSITY, &vrsilo_tank_record::tc_density},
    {"mass", VRSILO_FIELD_MASS, &vrsilo_tank_record::mass},
};

// Shortest text that reads back as the same double (the gauge interface
// never gives NaN or infinity for a field it marks present).
void AppendNumber(std::string& out, double v) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, ec == std::errc() ? end : buf);
}

// "2026-12-08T10:15:00.123+03:00": local time, milliseconds, UTC offset.
void AppendTimestamp(std::string& out, int64_t ms) {
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  localtime_r(&secs, &local);
  char buf[48];
  size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &local);
  long off = local.tm_gmtoff / 60;
  char sign = off < 0 ? '-' : '+';
  off = std::labs(off);
  std::snprintf(buf + n, sizeof buf - n, ".%03d%c%02ld:%02ld", static_cast<int>(ms % 1000), sign,
                off / 60, off % 60);
  out += buf;
}

// What the gauge said, without the times: a change of it is published at once.
bool SameValues(const vrsilo_tank_record& a, const vrsilo_tank_record& b) {
  if (a.link_state != b.link_state || a.fields != b.fields || a.product != b.product ||
      a.status != b.status)
    return false;
  for (const Field& f : kFields)
    if (std::memcmp(&(a.*f.value), &(b.*f.value), sizeof(double)) != 0) return false;
  return true;
}

}  // namespace

void FormatTankMessage(const vrsilo_tank_record& r, std::string& out) {
  out.clear();
  out += "{\"tank\":";
  AppendNumber(out, r.tank);
  if (r.link_state == VRSILO_LINK_OK) {
    for (const Field& f : kFields) {
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

GaugeReader::GaugeReader(const GaugeOption& gauge, const std::string& topicPrefix,
                         const Options& options, Publisher& publisher)
    : gauge_(gauge),
      options_(options),
      // Counted in rounds, so that a round a little early does not skip a beat.
      heartbeat_rounds_(std::max(
          1, (options.heartbeatSeconds + options.periodSeconds / 2) / options.periodSeconds)),
      publisher_(publisher) {
  const int count = options.lastTank - options.firstTank + 1;
  tanks_.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i)
    tanks_[static_cast<size_t>(i)].topic =
        topicPrefix + "/tank/" + std::to_string(options.firstTank + i);
  records_.resize(static_cast<size_t>(count));
  payload_.reserve(512);
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
      if (!open_failure_logged_)
        std::fprintf(stderr, "vr-agent: %s: cannot open %s (%s), retrying every period\n",
                     gauge_.name.c_str(), gauge_.address.c_str(), vrsilo_error_text(rc));
      open_failure_logged_ = true;
      return;
    }
    open_failure_logged_ = false;
  }
  int count = 0;
  const int rc = vrsilo_gauge_read(handle_, options_.firstTank, options_.lastTank, records_.data(),
                                   static_cast<int>(records_.size()), &count);
  if (rc != VRSILO_OK) {
    std::fprintf(stderr, "vr-agent: %s: %s\n", gauge_.name.c_str(), vrsilo_error_text(rc));
    return;
  }
  for (int i = 0; i < count; ++i) {
    const vrsilo_tank_record& r = records_[static_cast<size_t>(i)];
    Tank& t = tanks_[static_cast<size_t>(r.tank - options_.firstTank)];
    // Without a tank range, only the tanks the console has reported are
    // flagged when it falls silent.
    if (r.link_state == VRSILO_LINK_OK) t.seen = true;
    if (!t.seen && !options_.tanksGiven) continue;
    if (t.published && SameValues(r, t.last) && ++t.roundsUnpublished < heartbeat_rounds_) continue;
    FormatTankMessage(r, payload_);
    publisher_.Publish(&t.topic, payload_);
    t.last = r;
    t.published = true;
    t.roundsUnpublished = 0;
  }
}

void GaugeReader::Run() {
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
