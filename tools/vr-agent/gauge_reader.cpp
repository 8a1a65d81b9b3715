#include "gauge_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>

namespace vr::agent {
namespace {

// Shortest text that reads back as the same double; null for NaN and
// infinity, which JSON lacks.
void AppendNumber(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, ec == std::errc() ? end : buf);
}

// "2026-12-08T10:15:00.123+03:00": local time, milliseconds, UTC offset.
void AppendTimestamp(std::string& out, std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
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

bool SameReading(const TankReading& a, const TankReading& b) {
  return a.linkState == b.linkState && a.water == b.water &&
         std::memcmp(&a.level, &b.level, sizeof a.level) == 0 &&
         std::memcmp(&a.volume, &b.volume, sizeof a.volume) == 0 &&
         std::memcmp(&a.density, &b.density, sizeof a.density) == 0 &&
         std::memcmp(a.temperatures.data(), b.temperatures.data(), sizeof a.temperatures) == 0;
}

}  // namespace

void FormatTankMessage(int tank, const TankReading& r, std::chrono::system_clock::time_point readAt,
                       std::string& out) {
  const bool ok = r.linkState == VRSILO_LINK_OK;
  out.clear();
  out += "{\"tank\":";
  AppendNumber(out, tank);
  if (ok) {
    out += ",\"level\":";
    AppendNumber(out, r.level);
    out += ",\"volume\":";
    AppendNumber(out, r.volume);
    out += ",\"water\":";
    AppendNumber(out, r.water);
    out += ",\"temperatures\":[";
    for (size_t i = 0; i < r.temperatures.size(); ++i) {
      if (i) out += ',';
      AppendNumber(out, r.temperatures[i]);
    }
    out += "],\"density\":";
    AppendNumber(out, r.density);
  } else {
    // The slots answered their defaults: no values, only the link state.
    out += ",\"level\":null,\"volume\":null,\"water\":null,\"temperatures\":null,\"density\":null";
  }
  out += ",\"link_state\":";
  AppendNumber(out, r.linkState);
  out += ",\"read_at\":\"";
  AppendTimestamp(out, readAt);
  out += "\"}";
}

GaugeReader::GaugeReader(VrSilo* silo, const std::string& topicPrefix, const Options& options,
                         std::chrono::seconds period, Publisher& publisher)
    : silo_(silo),
      period_(period),
      // Counted in rounds, so that a round a little early does not skip a beat.
      heartbeat_rounds_(std::max(
          1, static_cast<int>((options.heartbeatSeconds + period.count() / 2) / period.count()))),
      publisher_(publisher) {
  for (int n = options.firstTank; n <= options.lastTank; ++n) {
    Tank& t = tanks_.emplace_back();
    t.number = n;
    t.topic = topicPrefix + "/tank/" + std::to_string(n);
  }
  payload_.reserve(512);
}

GaugeReader::~GaugeReader() {
  Stop();
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

// Level first: when it fell back to the default (link state not 1), the
// other slots would only wait on the same gauge again.
void GaugeReader::ReadTank(uint32_t i, TankReading& r) {
  auto linkState = VRSILO_SLOT(silo_, VrGetLinkStateFn, VRSILO_SLOT_GET_LINK_STATE);
  r.level = VRSILO_SLOT(silo_, VrGetDoubleFn, VRSILO_SLOT_GET_LEVEL)(silo_, i);
  r.linkState = linkState(silo_);
  if (r.linkState != VRSILO_LINK_OK) return;
  VRSILO_SLOT(silo_, VrGetTemperaturesFn, VRSILO_SLOT_GET_TEMPERATURES)
  (silo_, i, r.temperatures.data());
  r.water = VRSILO_SLOT(silo_, VrGetWaterFn, VRSILO_SLOT_GET_WATER)(silo_, i);
  r.density = VRSILO_SLOT(silo_, VrGetDoubleFn, VRSILO_SLOT_GET_DENSITY)(silo_, i);
  r.volume = VRSILO_SLOT(silo_, VrGetDoubleFn, VRSILO_SLOT_GET_VOLUME)(silo_, i);
  r.linkState = linkState(silo_);
}

void GaugeReader::Run() {
  auto next = std::chrono::steady_clock::now();
  for (;;) {
    for (Tank& t : tanks_) {
      if (Stopping()) return;
      TankReading r;
      ReadTank(static_cast<uint32_t>(t.number - 1), r);
      if (t.published && SameReading(r, t.last) && ++t.roundsUnpublished < heartbeat_rounds_)
        continue;
      FormatTankMessage(t.number, r, std::chrono::system_clock::now(), payload_);
      publisher_.Publish(&t.topic, payload_);
      t.last = r;
      t.published = true;
      t.roundsUnpublished = 0;
    }
    // The next round on the period's grid; a round that overran starts the next at once.
    next += period_;
    const auto now = std::chrono::steady_clock::now();
    if (next < now) next = now;
    std::unique_lock lock(mu_);
    if (cv_.wait_until(lock, next, [&] { return stop_; })) return;
  }
}

}  // namespace vr::agent
