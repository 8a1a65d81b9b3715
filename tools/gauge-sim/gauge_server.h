#pragma once
// What the simulator's transports (PtyGauge, TcpGauge) share: the serving
// thread's state, its log and the vanishing fault. POSIX only.
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "simulator.h"

namespace vr::sim {

class GaugeServer {
 public:
  GaugeServer(const GaugeServer&) = delete;
  GaugeServer& operator=(const GaugeServer&) = delete;

  bool Running() const;
  // Receives one line per request/answer from the serving thread (default none).
  void SetLog(std::function<void(const std::string&)> log);
  // The serving thread takes the next complete request, writes the first
  // `reply_bytes` bytes of its answer (0 = none) and then goes down, as its
  // transport describes.
  void VanishOnNextRequest(size_t reply_bytes = 0);

 protected:
  explicit GaugeServer(GaugeSim& sim) : sim_(sim) {}
  ~GaugeServer() = default;
  void Log(const std::string& line);
  // Wakes the serving thread, joins it and closes the wake-up eventfd; the
  // caller holds control_mu_.
  void StopServing();

  GaugeSim& sim_;
  std::mutex control_mu_;  // serialises starting and stopping (held while joining)
  mutable std::mutex mu_;  // the fields below and the transport's, shared with the serving thread
  int wake_ = -1;          // eventfd that ends the serving thread's waits
  std::thread thread_;
  bool running_ = false;
  std::optional<size_t> vanish_after_;
  std::function<void(const std::string&)> log_;
};

// std::system_error with errno.
[[noreturn]] void ThrowErrno(const char* what);
// Closes fd when open and marks it closed.
void CloseFd(int& fd);

}  // namespace vr::sim
