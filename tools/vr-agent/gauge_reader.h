#pragma once
// One reader thread per gauge: asks the gauge for its tanks once a period
// through the gauge interface (no cache in between) and queues a tank's
// message when a value changed or the heartbeat is due. A silent gauge
// delays only its own thread.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "options.h"
#include "publisher.h"
#include "vrsilo/gauge.h"

namespace vr::agent {

// The JSON message of a tank into out (cleared first; no allocation once it
// has grown): the fields the reply carried, by name, in the console's units,
// and the time the reply arrived. A tank of a silent or wrong gauge carries
// its link state and that time only.
void FormatTankMessage(const vrsilo_tank_record& r, std::string& out);

class GaugeReader {
 public:
  GaugeReader(const GaugeOption& gauge, const std::string& topicPrefix, const Options& options,
              Publisher& publisher);
  ~GaugeReader();
  GaugeReader(const GaugeReader&) = delete;
  GaugeReader& operator=(const GaugeReader&) = delete;

  void Start();
  // Wakes the thread and joins it; a read in progress finishes first.
  void Stop();

 private:
  struct Tank {
    std::string topic;
    vrsilo_tank_record last{};
    bool seen = false;  // the console has reported it
    bool published = false;
    int roundsUnpublished = 0;
  };
  void Run();
  void Round();
  bool Stopping();

  const GaugeOption gauge_;
  const Options& options_;
  const int heartbeat_rounds_;
  Publisher& publisher_;
  vrsilo_gauge* handle_ = nullptr;
  bool open_failure_logged_ = false;
  std::vector<Tank> tanks_;  // by tank number - firstTank
  std::vector<vrsilo_tank_record> records_;
  std::string payload_;

  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace vr::agent
