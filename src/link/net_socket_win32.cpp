// NetSocket with Winsock: the socket's network events go to an event object
// (WSAEventSelect), which the wait watches beside an auto-reset event that
// Wake() sets.
//
// FD_WRITE is signalled only after a send would have blocked, and FD_READ
// again only after a receive, so the socket keeps what it was last told:
// whether input or the end of the stream waits, and whether sends are blocked.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "link/net_socket.h"

namespace vr {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kMaxAddresses = 4;

// Keep-alive: the first probe after 10 s of silence, then every 5 s.
constexpr ULONG kKeepIdleMs = 10000;
constexpr ULONG kKeepIntervalMs = 5000;

void TuneConnection(SOCKET s) {
  const BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
  tcp_keepalive keep{1, kKeepIdleMs, kKeepIntervalMs};
  DWORD unused = 0;
  WSAIoctl(s, SIO_KEEPALIVE_VALS, &keep, sizeof keep, nullptr, 0, &unused, nullptr, nullptr);
}

DWORD RemainingMs(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return static_cast<DWORD>(std::clamp<int64_t>(left, 0, 1 << 30));
}

}  // namespace

struct NetSocket::Impl {
  bool started = false;  // WSAStartup succeeded
  SOCKET s = INVALID_SOCKET;
  WSAEVENT socket_event = WSA_INVALID_EVENT;
  HANDLE wake = nullptr;
  bool input_waits = false;    // FD_READ seen, not received since
  bool peer_closed = false;    // FD_CLOSE seen: receives end the connection
  bool sends_blocked = false;  // a send would block; FD_WRITE ends it
  int count = 0;
  sockaddr_storage addresses[kMaxAddresses] = {};
  int lengths[kMaxAddresses] = {};

  // Takes the recorded network events into the flags above.
  void TakeEvents() {
    WSANETWORKEVENTS happened{};
    if (WSAEnumNetworkEvents(s, socket_event, &happened) != 0) {
      peer_closed = true;  // let the next receive find the error
      sends_blocked = false;
      return;
    }
    if ((happened.lNetworkEvents & FD_READ) != 0) input_waits = true;
    if ((happened.lNetworkEvents & FD_WRITE) != 0) sends_blocked = false;
    if ((happened.lNetworkEvents & FD_CLOSE) != 0) {
      peer_closed = true;
      sends_blocked = false;
    }
  }
};

NetSocket::NetSocket() : impl_(std::make_unique<Impl>()) {
  WSADATA data;
  impl_->started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  impl_->socket_event = WSACreateEvent();
  impl_->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

NetSocket::~NetSocket() {
  Disconnect();
  if (impl_->socket_event != WSA_INVALID_EVENT) WSACloseEvent(impl_->socket_event);
  if (impl_->wake) CloseHandle(impl_->wake);
  if (impl_->started) WSACleanup();
}

bool NetSocket::Valid() const {
  return impl_->started && impl_->socket_event != WSA_INVALID_EVENT && impl_->wake;
}

bool NetSocket::Resolve(const std::string& host, uint16_t port, bool numericHost) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV | (numericHost ? AI_NUMERICHOST : 0);
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  impl_->count = 0;
  for (addrinfo* a = found; a && impl_->count < kMaxAddresses; a = a->ai_next) {
    if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
    std::memcpy(&impl_->addresses[impl_->count], a->ai_addr, a->ai_addrlen);
    impl_->lengths[impl_->count++] = static_cast<int>(a->ai_addrlen);
  }
  freeaddrinfo(found);
  return impl_->count > 0;
}

bool NetSocket::Connect(uint32_t limitMs, const std::atomic<bool>& cancel) {
  Disconnect();
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(limitMs);
  for (int i = 0; i < impl_->count; ++i) {
    const auto* address = reinterpret_cast<const sockaddr*>(&impl_->addresses[i]);
    const SOCKET s = WSASocketW(address->sa_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) continue;
    WSAResetEvent(impl_->socket_event);
    bool connected = false;
    // WSAEventSelect makes the socket non-blocking.
    if (WSAEventSelect(s, impl_->socket_event, FD_CONNECT) == 0) {
      if (connect(s, address, impl_->lengths[i]) == 0) {
        connected = true;
      } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
        for (;;) {
          const HANDLE waits[2] = {impl_->socket_event, impl_->wake};
          const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, RemainingMs(deadline));
          if (woke == WAIT_OBJECT_0 + 1) {
            if (cancel.load(std::memory_order_acquire)) break;
            continue;
          }
          if (woke != WAIT_OBJECT_0) break;  // the time limit
          WSANETWORKEVENTS happened{};
          if (WSAEnumNetworkEvents(s, impl_->socket_event, &happened) != 0) break;
          if ((happened.lNetworkEvents & FD_CONNECT) != 0) {
            connected = happened.iErrorCode[FD_CONNECT_BIT] == 0;
            break;
          }
        }
      }
    }
    if (connected && WSAEventSelect(s, impl_->socket_event, FD_READ | FD_WRITE | FD_CLOSE) == 0) {
      TuneConnection(s);
      impl_->s = s;
      impl_->input_waits = false;
      impl_->peer_closed = false;
      impl_->sends_blocked = false;
      return true;
    }
    closesocket(s);
    if (cancel.load(std::memory_order_acquire) || RemainingMs(deadline) == 0) return false;
  }
  return false;
}

void NetSocket::Disconnect() {
  if (impl_->s != INVALID_SOCKET) closesocket(impl_->s);
  impl_->s = INVALID_SOCKET;
}

IoStatus NetSocket::Send(const uint8_t* data, size_t n, size_t& sent) {
  sent = 0;
  const int k = send(impl_->s, reinterpret_cast<const char*>(data),
                     static_cast<int>(std::min<size_t>(n, 1 << 30)), 0);
  if (k >= 0) {
    sent = static_cast<size_t>(k);
    return IoStatus::kDone;
  }
  if (WSAGetLastError() != WSAEWOULDBLOCK) return IoStatus::kFailed;
  impl_->sends_blocked = true;
  return IoStatus::kWouldBlock;
}

IoStatus NetSocket::Receive(uint8_t* buffer, size_t n, size_t& got) {
  got = 0;
  impl_->input_waits = false;  // FD_READ comes again while input is left
  const int k = recv(impl_->s, reinterpret_cast<char*>(buffer),
                     static_cast<int>(std::min<size_t>(n, 1 << 30)), 0);
  if (k > 0) {
    got = static_cast<size_t>(k);
    return IoStatus::kDone;
  }
  if (k == 0) return IoStatus::kClosed;
  return WSAGetLastError() == WSAEWOULDBLOCK ? IoStatus::kWouldBlock : IoStatus::kFailed;
}

SocketEvents NetSocket::Wait(bool wantRead, bool wantWrite, int timeoutMs) {
  SocketEvents events;
  const bool watch = impl_->s != INVALID_SOCKET && (wantRead || wantWrite);
  auto ready = [&] {
    events.readable = wantRead && (impl_->input_waits || impl_->peer_closed);
    events.writable = wantWrite && !impl_->sends_blocked;
    return events.readable || events.writable;
  };
  if (watch && ready()) return events;
  const HANDLE waits[2] = {impl_->wake, impl_->socket_event};
  const DWORD woke = WaitForMultipleObjects(
      watch ? 2 : 1, waits, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
  if (watch && woke == WAIT_OBJECT_0 + 1) {
    impl_->TakeEvents();
    ready();
  }
  return events;
}

void NetSocket::Wake() {
  SetEvent(impl_->wake);
}

}  // namespace vr
