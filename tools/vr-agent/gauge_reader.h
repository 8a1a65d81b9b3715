#pragma once
// One reader thread per gauge: asks the gauge for its tanks once a period
// through the gauge interface (no cache in between) and queues a tank's
// message when a value changed or the heartbeat is due. A silent gauge
// delays only its own thread.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "history.h"
#include "options.h"
#include "publisher.h"
#include "station_config.h"
#include "station_state.h"
#include "vrsilo/gauge.h"

namespace vr::agent {

// The JSON message of a tank into out (cleared first; no allocation once it
// has grown): the fields the reply carried, by name, in the console's units,
// the tank's label where the console gave one, and the time the reply
// arrived. A tank of a silent or wrong gauge carries its link state and that
// time only.
void FormatTankMessage(const vrsilo_tank_record& r, const std::string& label, std::string& out);
// A tank's active console alarms: {"alarms":[names],"codes":[numbers],"at":time}.
void FormatConsoleAlarms(const vrsilo_alarm* alarms, size_t count, int64_t at, std::string& out);
// One delivery report of the console, with the delivered volumes (end minus
// start) worked out.
void FormatConsoleDelivery(const vrsilo_delivery& d, std::string& out);

class GaugeReader {
 public:
  GaugeReader(const GaugeOption& gauge, const std::string& topicPrefix, const Options& options,
              const StationConfig& config, History* history, StationState& state,
              Publisher& publisher);
  ~GaugeReader();
  GaugeReader(const GaugeReader&) = delete;
  GaugeReader& operator=(const GaugeReader&) = delete;

  void Start();
  // Publishes the Home Assistant discovery of every tank again at the next
  // round (Home Assistant came online).
  void Rediscover() { rediscover_ = true; }
  // Wakes the thread and joins it; a read in progress finishes first.
  void Stop();

 private:
  struct Tank {
    std::string topic, alarms_topic, deliveries_topic;
    std::string label, published_label;
    std::string alarms_key;               // names and codes last published; "-" before the first
    std::vector<std::string> deliveries;  // start and end of those the console holds
    // What the station works out of the readings.
    TankEngine engine;
    std::string states_topic, events_topic, delivery_topic, forecast_topic;
    std::string states_key;      // the alarm states last published, without their time
    int64_t table_read_ms = -1;  // when the full volume was last asked for
    int64_t stored_ms = -1;      // the last reading kept in the history
    std::string forecast_key;    // the forecast last published, without its time
    int64_t forecast_ms = -1;
    std::string history_topic;
    int64_t history_quarter = -1;  // the quarter of an hour its day was last published in
    bool discovered = false;       // its Home Assistant discovery was published
    std::string discovery_topic;
    vrsilo_tank_record last{};
    bool seen = false;  // the console has reported it
    bool published = false;
    int roundsUnpublished = 0;
  };
  void Run();
  void Round();
  // The console's own word: labels and deliveries every few minutes, the
  // alarms every round. A report the console does not answer is left alone.
  void ReadLabels();
  void ReadAlarms();
  void ReadDeliveries();
  // The engine's events and states of tank t, published.
  void PublishEvents(Tank& t, int64_t at_ms);
  void PublishForecast(Tank& t);
  void PublishHistory();
  void ReadFullVolumes();
  // The engines pick up where they left off: the history's last weeks fed
  // through them, their events dropped.
  void WarmUp();
  // True for success; logs an error, and once a report the console lacks.
  bool Supported(int rc, const char* what);
  bool Stopping();

  const GaugeOption gauge_;
  const Options& options_;
  const int heartbeat_rounds_;
  History* const history_;  // null: none (it could not be opened)
  StationState& state_;
  Publisher& publisher_;
  std::atomic<bool> rediscover_{false};
  vrsilo_gauge* handle_ = nullptr;
  bool open_failure_logged_ = false;
  std::vector<Tank> tanks_;  // by tank number - firstTank
  std::vector<vrsilo_tank_record> records_;
  std::string payload_;
  const int console_rounds_;  // rounds between reads of labels and deliveries
  int round_ = 0;
  std::string system_topic_, system_key_ = "-";
  std::vector<vrsilo_alarm> alarms_;
  std::vector<vrsilo_delivery> deliveries_;
  std::vector<vrsilo_tank_label> labels_;
  std::vector<Event> events_;
  std::vector<vrsilo_tank_record> to_store_;
  bool console_unsupported_logged_ = false;

  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace vr::agent
