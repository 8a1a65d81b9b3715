// NetSocket with POSIX sockets: poll() on the socket and on the read end of a
// non-blocking pipe that Wake() writes.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "link/net_socket.h"

namespace vr {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kMaxAddresses = 4;

// Keep-alive: the first probe after 10 s of silence, then every 5 s, 3 probes.
constexpr int kKeepIdleSeconds = 10;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepCount = 3;
// Unacknowledged data for this long ends the connection (where the system has it).
constexpr unsigned kUserTimeoutMs = 30000;

bool MakeNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
         fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

void SetOption(int fd, int level, int name, int value) {
  setsockopt(fd, level, name, &value, sizeof value);  // tuning only: a refusal is not fatal
}

void TuneConnection(int fd) {
  SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
#ifdef TCP_KEEPIDLE
  SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleSeconds);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalSeconds);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepCount);
#endif
#ifdef TCP_USER_TIMEOUT
  SetOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(kUserTimeoutMs));
#endif
}

int RemainingMs(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return static_cast<int>(std::clamp<int64_t>(left, 0, 1 << 30));
}

}  // namespace

struct NetSocket::Impl {
  int fd = -1;
  int wake_read = -1;
  int wake_write = -1;
  int count = 0;
  sockaddr_storage addresses[kMaxAddresses] = {};
  socklen_t lengths[kMaxAddresses] = {};

  void DrainWake() {
    char buf[64];
    while (read(wake_read, buf, sizeof buf) > 0) {
    }
  }
};

NetSocket::NetSocket() : impl_(std::make_unique<Impl>()) {
  int fds[2];
  if (pipe(fds) != 0) return;
  if (!MakeNonBlocking(fds[0]) || !MakeNonBlocking(fds[1])) {
    close(fds[0]);
    close(fds[1]);
    return;
  }
  impl_->wake_read = fds[0];
  impl_->wake_write = fds[1];
}

NetSocket::~NetSocket() {
  Disconnect();
  if (impl_->wake_read >= 0) close(impl_->wake_read);
  if (impl_->wake_write >= 0) close(impl_->wake_write);
}

bool NetSocket::Valid() const {
  return impl_->wake_read >= 0;
}

bool NetSocket::Resolve(const std::string& host, uint16_t port, bool numericHost) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | (numericHost ? AI_NUMERICHOST : 0);
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  impl_->count = 0;
  for (addrinfo* a = found; a && impl_->count < kMaxAddresses; a = a->ai_next) {
    if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
    std::memcpy(&impl_->addresses[impl_->count], a->ai_addr, a->ai_addrlen);
    impl_->lengths[impl_->count++] = a->ai_addrlen;
  }
  freeaddrinfo(found);
  return impl_->count > 0;
}

bool NetSocket::Connect(uint32_t limitMs, const std::atomic<bool>& cancel) {
  Disconnect();
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(limitMs);
  for (int i = 0; i < impl_->count; ++i) {
    const auto* address = reinterpret_cast<const sockaddr*>(&impl_->addresses[i]);
    const int fd = socket(address->sa_family, SOCK_STREAM, 0);
    if (fd < 0) continue;
    bool connected = false;
    if (MakeNonBlocking(fd)) {
      if (connect(fd, address, impl_->lengths[i]) == 0) {
        connected = true;
      } else if (errno == EINPROGRESS || errno == EINTR) {
        for (;;) {
          pollfd fds[2] = {{fd, POLLOUT, 0}, {impl_->wake_read, POLLIN, 0}};
          const int rc = poll(fds, 2, RemainingMs(deadline));
          if (rc < 0 && errno != EINTR) break;
          if ((fds[1].revents & POLLIN) != 0) impl_->DrainWake();
          if (cancel.load(std::memory_order_acquire)) break;
          if (fds[0].revents != 0) {
            int error = 0;
            socklen_t length = sizeof error;
            connected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
            break;
          }
          if (rc == 0 && RemainingMs(deadline) == 0) break;
        }
      }
    }
    if (connected) {
      TuneConnection(fd);
      impl_->fd = fd;
      return true;
    }
    close(fd);
    if (cancel.load(std::memory_order_acquire) || RemainingMs(deadline) == 0) return false;
  }
  return false;
}

void NetSocket::Disconnect() {
  if (impl_->fd >= 0) close(impl_->fd);
  impl_->fd = -1;
}

IoStatus NetSocket::Send(const uint8_t* data, size_t n, size_t& sent) {
  sent = 0;
  for (;;) {
    const ssize_t k = send(impl_->fd, data, n, MSG_NOSIGNAL);
    if (k >= 0) {
      sent = static_cast<size_t>(k);
      return IoStatus::kDone;
    }
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? IoStatus::kWouldBlock : IoStatus::kFailed;
  }
}

IoStatus NetSocket::Receive(uint8_t* buffer, size_t n, size_t& got) {
  got = 0;
  for (;;) {
    const ssize_t k = recv(impl_->fd, buffer, n, 0);
    if (k > 0) {
      got = static_cast<size_t>(k);
      return IoStatus::kDone;
    }
    if (k == 0) return IoStatus::kClosed;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? IoStatus::kWouldBlock : IoStatus::kFailed;
  }
}

SocketEvents NetSocket::Wait(bool wantRead, bool wantWrite, int timeoutMs) {
  const bool watch = impl_->fd >= 0 && (wantRead || wantWrite);
  pollfd fds[2] = {};
  fds[0].fd = watch ? impl_->fd : -1;  // a negative descriptor is left out
  fds[0].events = static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
  fds[1].fd = impl_->wake_read;
  fds[1].events = POLLIN;
  SocketEvents events;
  if (poll(fds, 2, timeoutMs < 0 ? -1 : timeoutMs) <= 0) return events;
  if ((fds[1].revents & POLLIN) != 0) impl_->DrainWake();
  const short broken = POLLHUP | POLLERR | POLLNVAL;
  events.readable = wantRead && (fds[0].revents & (POLLIN | broken)) != 0;
  events.writable = wantWrite && (fds[0].revents & (POLLOUT | broken)) != 0;
  return events;
}

void NetSocket::Wake() {
  const char one = 1;
  ssize_t n = write(impl_->wake_write, &one, 1);
  (void)n;  // a full pipe wakes the wait already
}

}  // namespace vr
