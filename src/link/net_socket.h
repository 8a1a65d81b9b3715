#pragma once
// One TCP connection to a fixed address, as the network serial device
// (net_device.cpp) needs it: the name resolved once, a non-blocking connect
// within a time limit, sends and receives that never wait, and one wait for
// the socket or for a wake-up from another thread. POSIX sockets in
// net_socket_posix.cpp, Winsock in net_socket_win32.cpp.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vr {

enum class IoStatus {
  kDone,        // some bytes moved
  kWouldBlock,  // nothing can move now
  kClosed,      // the peer ended the connection (receive)
  kFailed,      // the connection is broken
};

struct SocketEvents {
  bool readable = false;  // data, the end of the stream or an error waits
  bool writable = false;  // room to send, or an error waits
};

class NetSocket {
 public:
  NetSocket();
  ~NetSocket();
  NetSocket(const NetSocket&) = delete;
  NetSocket& operator=(const NetSocket&) = delete;

  // Whether the wake-up (and on Windows, Winsock) is ready.
  bool Valid() const;
  // Resolves host:port into the addresses that Connect tries, in the
  // caller's thread (a name lookup may block); false when there are none.
  bool Resolve(const std::string& host, uint16_t port, bool numericHost);
  // Connects to the resolved addresses in turn, all within limitMs, and sets
  // TCP_NODELAY and keep-alive; false when none answers or `cancel` is set
  // (checked at each Wake()).
  bool Connect(uint32_t limitMs, const std::atomic<bool>& cancel);
  void Disconnect();

  IoStatus Send(const uint8_t* data, size_t n, size_t& sent);
  IoStatus Receive(uint8_t* buffer, size_t n, size_t& got);

  // Blocks until the connection is readable (wantRead) or writable
  // (wantWrite), Wake() is called or timeoutMs pass (negative: no limit).
  // Without a connection, or with nothing wanted, only Wake() and the time
  // limit end it.
  SocketEvents Wait(bool wantRead, bool wantWrite, int timeoutMs);
  // From any thread: the pending or the next Wait returns at once.
  void Wake();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vr
