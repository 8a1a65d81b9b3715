// TcpGauge: serves a GaugeSim over TCP, raw or as an RFC 2217 access server
// (POSIX only).
#ifndef _WIN32

#include "tcp_gauge.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "protocol/telnet.h"

namespace vr::sim {
namespace {

namespace comport = vr::telnet::comport;

bool SetFlags(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
         ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// A listening socket on bind:port; port gets the one bound.
int Listen(const std::string& bind, uint16_t& port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (int e = ::getaddrinfo(bind.c_str(), std::to_string(port).c_str(), &hints, &found); e != 0) {
    throw std::system_error(EINVAL, std::generic_category(),
                            "cannot resolve " + bind + ": " + ::gai_strerror(e));
  }
  const int fd = ::socket(found->ai_family, SOCK_STREAM, 0);
  const int one = 1;
  bool ok = fd >= 0 && SetFlags(fd) &&
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
            ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, 4) == 0;
  ::freeaddrinfo(found);
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  ok = ok && ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0;
  if (!ok) {
    const int e = errno;
    if (fd >= 0) ::close(fd);
    errno = e;
    ThrowErrno(("listen on " + bind).c_str());
  }
  port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                           : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  return fd;
}

}  // namespace

// One client's connection: its bytes in and out, Telnet included.
class TcpGauge::Session final : private vr::telnet::Handler {
 public:
  enum class Sent { kOk, kBroken, kStopped };

  Session(TcpGauge& owner, int fd, int wake) : owner_(owner), fd_(fd), wake_(wake) {}
  ~Session() { ::close(fd_); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  int Fd() const { return fd_; }
  bool Broken() const { return broken_; }

  // Data bytes of what arrived, Telnet taken out (in place).
  size_t Decode(uint8_t* buf, size_t n) {
    if (owner_.mode_ == Mode::kRaw) return n;
    return decoder_.Feed(buf, n, buf, *this);
  }

  // Data bytes to the client, IAC doubled in RFC 2217 mode.
  Sent WriteData(const uint8_t* data, size_t size) {
    if (owner_.mode_ == Mode::kRaw) return WriteRaw(data, size);
    std::vector<uint8_t> escaped(size * 2);
    return WriteRaw(escaped.data(), vr::telnet::Escape(data, size, escaped.data()));
  }

  Sent WriteRaw(const uint8_t* data, size_t size) {
    while (size > 0) {
      const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
      if (n > 0) {
        data += n;
        size -= static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {wake_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return Fail();
        if (fds[1].revents) return Sent::kStopped;
        continue;
      }
      return Fail();
    }
    return Sent::kOk;
  }

 private:
  Sent Fail() {
    broken_ = true;
    return Sent::kBroken;
  }

  void OnNegotiation(uint8_t verb, uint8_t option) override {
    const uint8_t answer = options_.Receive(verb, option);
    if (answer == 0) return;
    const uint8_t bytes[3] = {vr::telnet::kIac, answer, option};
    WriteRaw(bytes, sizeof bytes);
  }

  // COM-PORT-OPTION commands: stored, then confirmed with code + 100.
  void OnSubnegotiation(const uint8_t* body, size_t n) override {
    if (n < 2 || body[0] != vr::telnet::kOptionComPort) return;
    const uint8_t code = body[1];
    const uint8_t* value = body + 2;
    const size_t size = n - 2;
    const uint8_t v = size > 0 ? value[0] : 0;
    owner_.sim_.UpdateLine([&](LineSettings& line) {
      switch (code) {
        case comport::kSetBaudRate:
          if (size == 4) {
            const uint32_t baud = (uint32_t{value[0]} << 24) | (uint32_t{value[1]} << 16) |
                                  (uint32_t{value[2]} << 8) | value[3];
            if (baud != 0) line.baud = baud;
          }
          break;
        case comport::kSetDataSize:
          if (v >= 5 && v <= 8) line.data_size = v;
          break;
        case comport::kSetParity:
          if (v >= 1 && v <= 5) line.parity = v;
          break;
        case comport::kSetStopSize:
          if (v >= 1 && v <= 3) line.stop_size = v;
          break;
        case comport::kSetControl:
          if (v >= 1 && v <= 3) line.control = v;
          break;
        case comport::kPurgeData:
          if (v >= 1 && v <= 3) ++line.purges;
          break;
        default:
          return;
      }
    });
    owner_.Log("rfc2217 command " + std::to_string(code) + " -> " +
               DescribeLine(owner_.sim_.GetStats().line));
    uint8_t reply[vr::telnet::ComPortCommandSize(4)];
    const size_t length =
        vr::telnet::ComPortCommand(static_cast<uint8_t>(code + comport::kServerOffset), value,
                                   std::min<size_t>(size, 4), reply);
    WriteRaw(reply, length);
  }

  TcpGauge& owner_;
  const int fd_;
  const int wake_;
  bool broken_ = false;
  vr::telnet::Decoder decoder_;
  vr::telnet::Options options_{
      {vr::telnet::kOptionBinary, vr::telnet::kOptionSuppressGoAhead},
      {vr::telnet::kOptionBinary, vr::telnet::kOptionSuppressGoAhead, vr::telnet::kOptionComPort}};
};

TcpGauge::TcpGauge(GaugeSim& sim, Mode mode, std::string bind, uint16_t port)
    : GaugeServer(sim), mode_(mode), bind_(std::move(bind)), port_(port) {}

TcpGauge::~TcpGauge() {
  Close();
}

uint64_t TcpGauge::Clients() const {
  std::lock_guard lock(mu_);
  return clients_;
}

std::string TcpGauge::AddressLocked() const {
  const bool v6 = bind_.find(':') != std::string::npos;
  return std::string(mode_ == Mode::kRaw ? "tcp://" : "rfc2217://") + (v6 ? "[" : "") + bind_ +
         (v6 ? "]" : "") + ":" + std::to_string(port_);
}

std::string TcpGauge::Start() {
  std::lock_guard control(control_mu_);
  {
    std::lock_guard lock(mu_);
    if (running_) return AddressLocked();
  }
  CloseLocked();  // reaps a thread that ended by itself (vanish)
  uint16_t port;
  {
    std::lock_guard lock(mu_);
    port = port_;
  }
  int listener = Listen(bind_, port);
  int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    CloseFd(listener);
    ThrowErrno("eventfd");
  }
  std::lock_guard lock(mu_);
  port_ = port;
  listener_ = listener;
  wake_ = wake;
  running_ = true;
  thread_ = std::thread(&TcpGauge::Serve, this, listener_, wake_);
  return AddressLocked();
}

void TcpGauge::Close() {
  std::lock_guard control(control_mu_);
  CloseLocked();
}

void TcpGauge::CloseLocked() {
  StopServing();
  std::lock_guard lock(mu_);
  CloseFd(listener_);
}

void TcpGauge::Serve(int listener, int wake) {
  struct Done {  // whatever way the thread ends, it is no longer serving
    TcpGauge* self;
    ~Done() {
      std::lock_guard lock(self->mu_);
      self->running_ = false;
    }
  } done{this};

  std::unique_ptr<Session> session;
  auto drop = [&](const char* why) {
    session.reset();
    sim_.ResetParser();
    Log(std::string("client ") + why);
  };
  auto wait_until = [&](Clock::time_point when) {
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now());
      if (left.count() <= 0) return true;
      pollfd w{wake, POLLIN, 0};
      const int r = ::poll(&w, 1, static_cast<int>(left.count()));
      if (r > 0) return false;  // Close()
      if (r < 0 && errno != EINTR) return false;
    }
  };

  uint8_t buf[512];
  for (;;) {
    pollfd fds[3] = {
        {listener, POLLIN, 0}, {session ? session->Fd() : -1, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      Log(std::string("poll failed: ") + std::strerror(errno));
      return;
    }
    if (fds[2].revents) return;  // Close()
    if (fds[0].revents & POLLIN) {
      const int fd = ::accept(listener, nullptr, nullptr);
      if (fd >= 0 && session) {
        ::close(fd);  // one client at a time
        Log("second client turned away");
      } else if (fd >= 0 && SetFlags(fd)) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        session = std::make_unique<Session>(*this, fd, wake);
        sim_.ResetParser();
        {
          std::lock_guard lock(mu_);
          ++clients_;
        }
        Log("client connected");
      } else if (fd >= 0) {
        ::close(fd);
      }
    }
    if (!session || fds[1].revents == 0) continue;
    const ssize_t got = ::recv(session->Fd(), buf, sizeof buf, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got <= 0) {
      drop(got == 0 ? "disconnected" : "connection failed");
      continue;
    }
    const size_t data = session->Decode(buf, static_cast<size_t>(got));
    for (const Answer& a : sim_.Feed(buf, data, Clock::now())) {
      std::optional<size_t> vanish;
      {
        std::lock_guard lock(mu_);
        vanish.swap(vanish_after_);
      }
      std::string line = PrintableBytes("\x01" + a.command + a.payload) + " -> ";
      line += a.silent ? std::string("(no reply)")
                       : PrintableBytes(std::string(a.bytes.begin(), a.bytes.end()));
      if (vanish) line += " [going down after " + std::to_string(*vanish) + " bytes]";
      Log(line);
      const size_t limit = vanish ? *vanish : a.bytes.size();
      if (!a.silent && limit > 0) {
        if (!wait_until(a.EarliestReplyTime())) return;
        bool stopped = false;
        PlayAnswer(a, limit, wait_until, [&](const uint8_t* bytes, size_t size) {
          const Session::Sent sent = session->WriteData(bytes, size);
          stopped = sent == Session::Sent::kStopped;
          return sent == Session::Sent::kOk;
        });
        if (stopped) return;
      }
      if (vanish) {
        // Down: the client sees the end of the stream after the bytes sent.
        ::shutdown(session->Fd(), SHUT_WR);
        drop("dropped: server going down");
        std::lock_guard lock(mu_);
        CloseFd(listener_);
        return;
      }
      if (session->Broken()) break;
    }
    if (session && session->Broken()) drop("connection failed");
  }
}

}  // namespace vr::sim

#endif  // _WIN32
