#pragma once
// --metrics ADDR:PORT: GET /metrics in the Prometheus text format, served by
// libmicrohttpd on a thread of its own; any other path is 404.
#include <cstdint>
#include <string>

#include "station_state.h"

struct MHD_Daemon;

namespace vr::agent {

class MetricsServer {
 public:
  explicit MetricsServer(const StationState& state) : state_(state) {}
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // host an IPv4 or IPv6 address (loopback by default); port 0 picks one.
  // Returns an error text, empty on success.
  std::string Start(const std::string& host, int port);
  int Port() const { return port_; }
  void Stop();

 private:
  const StationState& state_;
  MHD_Daemon* daemon_ = nullptr;
  int port_ = 0;
};

// "ADDR:PORT", "[V6]:PORT" or ":PORT" (loopback); throws std::invalid_argument.
void ParseListenAddress(const std::string& text, std::string& host, int& port);

}  // namespace vr::agent
