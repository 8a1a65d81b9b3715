#pragma once
// Serves a GaugeSim over TCP to one client at a time, as a console's serial
// port serves one computer: a second client is accepted and closed at once.
// kRaw carries the bytes as they are; kRfc2217 is an access server: it agrees
// to the client's WILL COM-PORT-OPTION (and to BINARY and SUPPRESS-GO-AHEAD),
// refuses other options, answers each COM-PORT-OPTION command with its code +
// 100, keeps the line settings in the GaugeSim's statistics, and doubles IAC
// in its replies. Faults as on the pseudo-terminal.
//
// The serving thread waits in poll() on the listener, the client and a
// wake-up eventfd, so Close() ends it promptly, even in a delayed reply.
// POSIX only.
#include <cstdint>
#include <string>

#include "gauge_server.h"

namespace vr::sim {

class TcpGauge : public GaugeServer {
 public:
  enum class Mode { kRaw, kRfc2217 };
  // Listens on bind:port when started; port 0 takes a free port, which later
  // starts keep. bind is a numeric IPv4 or IPv6 address or a name.
  TcpGauge(GaugeSim& sim, Mode mode, std::string bind = "127.0.0.1", uint16_t port = 0);
  ~TcpGauge();  // Close()

  // Listens and serves (no-op if running); returns the address to map a port
  // to, e.g. "rfc2217://127.0.0.1:5000". std::system_error on failure.
  std::string Start();
  // Ends the serving thread and closes the client and the listener: the
  // server is down and connections are refused until Start().
  void Close();
  // VanishOnNextRequest: the server goes down as Close() does, a gauge
  // server killed in the middle of a frame.

  uint64_t Clients() const;  // clients served since construction

 private:
  class Session;
  void Serve(int listener, int wake);
  std::string AddressLocked() const;
  void CloseLocked();

  const Mode mode_;
  const std::string bind_;
  // Guarded by mu_.
  uint16_t port_ = 0;
  int listener_ = -1;
  uint64_t clients_ = 0;
};

}  // namespace vr::sim
