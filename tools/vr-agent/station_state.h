#pragma once
// What the agent knows of its station as a whole, for the Prometheus
// exposition (/metrics) and the retained agent status: each tank's last good
// reading and alarms, each gauge's link state and exchanges, the publisher's
// counters. Reader threads write, the metrics server and the status timer
// read; one mutex, held only to copy.
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "engine.h"
#include "vrsilo/gauge.h"

namespace vr::agent {

struct PublisherCounters {
  uint64_t published = 0;  // acknowledged by the broker
  uint64_t queued = 0;     // waiting now
  uint64_t dropped = 0;
};

class StationState {
 public:
  StationState(std::string site, int64_t started_ms)
      : site_(std::move(site)), started_ms_(started_ms) {}

  // One read of a gauge: its outcome (a link state) per exchange round.
  void GaugeRead(const std::string& gauge, int link_state);
  void TankRead(const std::string& gauge, const vrsilo_tank_record& r, const TankEngine& engine);
  void Error(const std::string& text);
  void SetPublisherCounters(std::function<PublisherCounters()> counters) {
    counters_ = std::move(counters);
  }
  // The status says how often the agent reads and how long an unchanged tank
  // may go unpublished: what a reader needs to call a tank stale.
  void SetCadence(int period_s, int heartbeat_s) {
    period_s_ = period_s;
    heartbeat_s_ = heartbeat_s;
  }

  // The text exposition format (version 0.0.4).
  void RenderMetrics(std::string& out, int64_t now_ms) const;
  // {"version":…,"started_at":…,"gauges":{"COM1":{"link_state":1,…}},"published":…,
  //  "queued":…,"dropped":…,"last_error":…,"at":…}
  void FormatStatus(std::string& out, int64_t now_ms) const;
  // What a change of makes the status worth publishing at once: each gauge's
  // link state and the last error.
  std::string ChangeKey() const;

 private:
  struct Gauge {
    int link_state = 0;
    std::array<uint64_t, 4> exchanges{};  // by link state 0..3 (0: not opened)
  };
  struct Tank {
    vrsilo_tank_record reading{};  // the last good one
    bool read = false;
    std::array<bool, kAlarmKinds> alarms{};
  };
  const std::string site_;
  const int64_t started_ms_;
  int period_s_ = 0, heartbeat_s_ = 0;
  std::function<PublisherCounters()> counters_;
  mutable std::mutex mu_;
  std::map<std::string, Gauge> gauges_;
  std::map<std::pair<std::string, int>, Tank> tanks_;
  std::string last_error_;
};

}  // namespace vr::agent
