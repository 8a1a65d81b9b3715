// PtyGauge: serves a GaugeSim on a pseudo-terminal (POSIX only).
#ifndef _WIN32

#include "pty_gauge.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace vr::sim {
namespace {

constexpr auto kVanishGrace = std::chrono::milliseconds(20);  // VanishOnNextRequest
constexpr auto kVanishLimit = std::chrono::milliseconds(500);

}  // namespace

PtyGauge::PtyGauge(GaugeSim& sim) : GaugeServer(sim) {}

PtyGauge::~PtyGauge() {
  Close();
}

bool PtyGauge::IsOpen() const {
  std::lock_guard lock(mu_);
  return master_ >= 0;
}

std::string PtyGauge::SlavePath() const {
  std::lock_guard lock(mu_);
  return path_;
}

uint64_t PtyGauge::BytesRead() const {
  return bytes_read_;
}
uint64_t PtyGauge::BytesWritten() const {
  return bytes_written_;
}
uint64_t PtyGauge::WriteCalls() const {
  return write_calls_;
}

std::string PtyGauge::Open() {
  std::lock_guard control(control_mu_);
  return OpenLocked();
}

std::string PtyGauge::OpenLocked() {
  {
    std::lock_guard lock(mu_);
    if (master_ >= 0) return path_;
  }
  // The slave descriptor openpty() returns is our own, kept for the life of
  // the pty (see pty_gauge.h).
  int master = -1, slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) ThrowErrno("openpty");
  char name[128];
  try {
    // openpty() has no flags argument: close-on-exec is set right after.
    if (::fcntl(master, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(slave, F_SETFD, FD_CLOEXEC) != 0)
      ThrowErrno("fcntl");
    if (int e = ::ptsname_r(master, name, sizeof name); e != 0) {
      errno = e;
      ThrowErrno("ptsname_r");
    }
    termios tio{};
    if (::tcgetattr(slave, &tio) != 0) ThrowErrno("tcgetattr");
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSTOPB | PARENB);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    if (::tcsetattr(slave, TCSANOW, &tio) != 0) ThrowErrno("tcsetattr");
    int flags = ::fcntl(master, F_GETFL);
    if (flags < 0 || ::fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) ThrowErrno("fcntl");
  } catch (...) {
    CloseFd(slave);
    CloseFd(master);
    throw;
  }
  std::lock_guard lock(mu_);
  master_ = master;
  slave_ = slave;
  path_ = name;
  return path_;
}

std::string PtyGauge::Start() {
  std::lock_guard control(control_mu_);
  {
    std::lock_guard lock(mu_);
    if (running_) return path_;
  }
  StopServing();  // reaps a thread that ended by itself (vanish, error)
  std::string path = OpenLocked();
  int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) ThrowErrno("eventfd");
  std::lock_guard lock(mu_);
  wake_ = wake;
  running_ = true;
  try {
    thread_ = std::thread(&PtyGauge::Serve, this, master_, wake_);
  } catch (...) {
    running_ = false;
    CloseFd(wake_);
    throw;
  }
  return path;
}

void PtyGauge::Stop() {
  std::lock_guard control(control_mu_);
  StopServing();
}

void PtyGauge::Close() {
  std::lock_guard control(control_mu_);
  StopServing();
  std::lock_guard lock(mu_);
  CloseFdsLocked();
}

void PtyGauge::CloseFdsLocked() {
  CloseFd(master_);
  CloseFd(slave_);
  path_.clear();
}

bool PtyGauge::WaitUntil(int wake, Clock::time_point when) {
  for (;;) {
    auto now = Clock::now();
    if (now >= when) return true;
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(when - now).count();
    timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    pollfd w{wake, POLLIN, 0};
    int r = ::ppoll(&w, 1, &ts, nullptr);
    if (r > 0) return false;  // Stop()
    if (r < 0 && errno != EINTR) return false;
  }
}

bool PtyGauge::WaitForReader(int wake) {
  int slave;
  {
    std::lock_guard lock(mu_);
    slave = slave_;
  }
  // The bytes pass the pty's flip buffer asynchronously, so an empty input
  // queue right after the write proves nothing: wait kVanishGrace first, then
  // until the queue is empty (at most kVanishLimit in all).
  auto start = Clock::now();
  if (!WaitUntil(wake, start + kVanishGrace)) return false;
  while (Clock::now() - start < kVanishLimit) {
    int queued = 0;
    if (slave < 0 || ::ioctl(slave, TIOCINQ, &queued) != 0 || queued == 0) break;
    if (!WaitUntil(wake, Clock::now() + std::chrono::milliseconds(2))) return false;
  }
  return true;
}

bool PtyGauge::WriteSome(int master, int wake, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(master, data, size);
    if (n > 0) {
      bytes_written_ += static_cast<uint64_t>(n);
      write_calls_++;
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The slave's input queue is full (nobody reads): wait for room or Stop().
      pollfd fds[2] = {{master, POLLOUT, 0}, {wake, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return false;
      if (fds[1].revents) return false;
      continue;
    }
    Log(std::string("write failed: ") + std::strerror(errno));
    return false;
  }
  return true;
}

bool PtyGauge::WriteAnswer(int master, int wake, const Answer& a, size_t limit) {
  return PlayAnswer(
      a, limit, [&](Clock::time_point when) { return WaitUntil(wake, when); },
      [&](const uint8_t* data, size_t size) { return WriteSome(master, wake, data, size); });
}

void PtyGauge::Serve(int master, int wake) {
  struct Done {  // whatever way the thread ends, it is no longer running
    PtyGauge* self;
    ~Done() {
      std::lock_guard lock(self->mu_);
      self->running_ = false;
    }
  } done{this};

  uint8_t buf[512];
  for (;;) {
    pollfd fds[2] = {{master, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      Log(std::string("poll failed: ") + std::strerror(errno));
      return;
    }
    if (fds[1].revents) return;  // Stop()
    if (!(fds[0].revents & POLLIN)) {
      // POLLHUP without data: no slave descriptor is open. It cannot happen
      // while we hold ours; rather than spin, wait for Stop().
      Log("pty hung up");
      pollfd w{wake, POLLIN, 0};
      while (::poll(&w, 1, -1) < 0 && errno == EINTR) {
      }
      return;
    }
    ssize_t got = ::read(master, buf, sizeof buf);
    if (got < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      Log(std::string("read failed: ") + std::strerror(errno));
      pollfd w{wake, POLLIN, 0};
      while (::poll(&w, 1, -1) < 0 && errno == EINTR) {
      }
      return;
    }
    if (got == 0) continue;
    bytes_read_ += static_cast<uint64_t>(got);
    auto now = Clock::now();
    for (const Answer& a : sim_.Feed(buf, static_cast<size_t>(got), now)) {
      std::optional<size_t> vanish;
      {
        std::lock_guard lock(mu_);
        vanish.swap(vanish_after_);
      }
      std::string line = PrintableBytes("\x01" + a.command + a.payload) + " -> ";
      if (a.silent)
        line += "(no reply)";
      else
        line += PrintableBytes(std::string(a.bytes.begin(), a.bytes.end()));
      if (vanish) line += " [vanishing after " + std::to_string(*vanish) + " bytes]";
      Log(line);
      if (vanish) {
        if (!a.silent && *vanish > 0) {
          if (!WaitUntil(wake, a.EarliestReplyTime())) return;
          if (!WriteAnswer(master, wake, a, *vanish)) return;
          // Closing the master discards what the slave has not read yet: give
          // the reader a moment to take the partial reply first.
          if (!WaitForReader(wake)) return;
        }
        std::lock_guard lock(mu_);
        CloseFdsLocked();
        return;
      }
      if (a.silent) continue;
      if (!WaitUntil(wake, a.EarliestReplyTime())) return;
      if (!WriteAnswer(master, wake, a, a.bytes.size())) return;
    }
  }
}

}  // namespace vr::sim

#endif  // _WIN32
