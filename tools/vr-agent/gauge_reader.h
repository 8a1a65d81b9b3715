#pragma once
// One reader thread per gauge: reads the configured tanks through the driver
// object's slots every period and queues a tank's message when a value
// changed or the heartbeat is due. A silent gauge delays only its own thread.
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "options.h"
#include "publisher.h"
#include "vrsilo.h"

namespace vr::agent {

// One tank's values as the slots return them.
struct TankReading {
  double level = 0, volume = 0, density = 0;
  std::array<double, 4> temperatures{};
  uint32_t water = 0;
  uint32_t linkState = 0;  // 1: the values are readings; otherwise they are not published
};

// The JSON message of a tank into out (cleared first; no allocation once it
// has grown). readAt is the read's wall-clock time.
void FormatTankMessage(int tank, const TankReading& r, std::chrono::system_clock::time_point readAt,
                       std::string& out);

class GaugeReader {
 public:
  GaugeReader(VrSilo* silo, const std::string& topicPrefix, const Options& options,
              std::chrono::seconds period, Publisher& publisher);
  ~GaugeReader();
  GaugeReader(const GaugeReader&) = delete;
  GaugeReader& operator=(const GaugeReader&) = delete;

  void Start();
  // Wakes the thread and joins it; a read in progress finishes its slot call.
  void Stop();

 private:
  struct Tank {
    int number = 0;
    std::string topic;
    TankReading last;
    bool published = false;
    int roundsUnpublished = 0;
  };
  void Run();
  void ReadTank(uint32_t index, TankReading& r);
  bool Stopping();

  VrSilo* const silo_;
  const std::chrono::seconds period_;
  const int heartbeat_rounds_;
  Publisher& publisher_;
  std::vector<Tank> tanks_;
  std::string payload_;

  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace vr::agent
