// POSIX backend of ISerialDevice: a terminal device (a UART, a USB adapter, a
// pseudo-terminal) driven through termios, poll() and ioctl().
//
// How the Win32 behaviours are met:
// - exclusive open: O_RDWR | O_NOCTTY | O_NONBLOCK, then a non-blocking flock
//   (which also holds against root, whom TIOCEXCL does not stop) and TIOCEXCL;
// - SetupComm: the kernel's queues have fixed sizes; accepted as it is;
// - reads return at once: the descriptor is non-blocking (VMIN 0, VTIME 0);
// - WaitCommEvent: poll() on the device and on a wake-up descriptor (eventfd,
//   or a pipe elsewhere) that SetEventMask writes, so that a change of mask
//   (mask 0 at stop) ends a pending wait at once. EV_RXCHAR is edge-like as on
//   Win32: it is reported when the input queue holds more bytes than were
//   already announced and not read since, so that bytes left in the device
//   (receive ring full) do not make the wait return again and again;
// - ClearCommError: FIONREAD, and error flags from the TIOCGICOUNT counters
//   where the driver keeps them (a pseudo-terminal keeps none: flags 0);
// - WriteFile with completion: non-blocking write() and poll(POLLOUT) up to the
//   device write time-out (then complete, short, as on Win32) or the caller's
//   limit (then given up), ended at once by InterruptWrites;
// - PurgeComm: tcflush.
// A hang-up (the other side of a pseudo-terminal closed, an adapter pulled)
// makes WaitEvent and Write fail at once; the port paces its repeats.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

#ifdef __linux__
#include <linux/serial.h>
#include <sys/eventfd.h>
#endif

#include "config/settings.h"
#include "link/serial_device_posix.h"

namespace vr {
namespace {

using SteadyClock = std::chrono::steady_clock;

// While bytes wait in the device that were announced already (the port's
// receive ring is full), new arrivals are looked for at this pace.
constexpr int kHeldInputPollMs = 20;

// A descriptor that another thread can make readable to end a poll().
class Waker {
 public:
  Waker() {
#ifdef __linux__
    read_fd_ = write_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#else
    int fds[2];
    if (pipe(fds) == 0) {
      for (int fd : fds) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
      }
      read_fd_ = fds[0];
      write_fd_ = fds[1];
    }
#endif
  }
  ~Waker() {
    if (read_fd_ >= 0) close(read_fd_);
    if (write_fd_ >= 0 && write_fd_ != read_fd_) close(write_fd_);
  }
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;

  bool Valid() const {
    return read_fd_ >= 0 && write_fd_ >= 0;
  }
  int ReadFd() const {
    return read_fd_;
  }

  void Signal() {
#ifdef __linux__
    const uint64_t one = 1;
    ssize_t n = write(write_fd_, &one, sizeof one);
#else
    const char one = 1;
    ssize_t n = write(write_fd_, &one, 1);
#endif
    (void)n;  // a full pipe is readable already
  }

  void Drain() {
    uint64_t buf[8];
    while (read(read_fd_, buf, sizeof buf) > 0) {
    }
  }

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
};

// Error counters of the driver (Linux TIOCGICOUNT).
struct ErrorCounters {
  bool valid = false;
  int frame = 0, overrun = 0, parity = 0, brk = 0, buf_overrun = 0;
};

ErrorCounters ReadErrorCounters(int fd) {
  ErrorCounters c;
#if defined(__linux__) && defined(TIOCGICOUNT)
  struct serial_icounter_struct ic;
  std::memset(&ic, 0, sizeof ic);
  if (ioctl(fd, TIOCGICOUNT, &ic) == 0) {
    c.valid = true;
    c.frame = ic.frame;
    c.overrun = ic.overrun;
    c.parity = ic.parity;
    c.brk = ic.brk;
    c.buf_overrun = ic.buf_overrun;
  }
#else
  (void)fd;
#endif
  return c;
}

// CE_* flags for the counters that moved from `was` to `now`.
uint32_t ErrorFlags(const ErrorCounters& was, const ErrorCounters& now) {
  if (!was.valid || !now.valid) return 0;
  uint32_t flags = 0;
  if (now.buf_overrun != was.buf_overrun) flags |= kCeRxOver;
  if (now.overrun != was.overrun) flags |= kCeOverrun;
  if (now.parity != was.parity) flags |= kCeRxParity;
  if (now.frame != was.frame) flags |= kCeFrame;
  if (now.brk != was.brk) flags |= kCeBreak;
  return flags;
}

#ifndef __linux__
struct SpeedEntry {
  uint32_t baud;
  speed_t code;
};
constexpr SpeedEntry kSpeeds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};
#endif

class PosixSerialDevice final : public ISerialDevice {
 public:
  explicit PosixSerialDevice(int fd) : fd_(fd) {
    last_wait_counters_ = last_clear_counters_ = ReadErrorCounters(fd_);
  }

  ~PosixSerialDevice() override {
    ioctl(fd_, TIOCNXCL);  // the exclusive mode outlives the descriptor on some ttys
    flock(fd_, LOCK_UN);
    close(fd_);
  }

  bool Valid() const { return mask_waker_.Valid() && write_waker_.Valid(); }

  bool SetupQueues(uint32_t, uint32_t) override { return true; }

  bool GetState(Dcb& dcb) override {
    struct termios t;
    if (tcgetattr(fd_, &t) != 0) return false;
    Dcb d;
#ifdef __linux__
    uint32_t baud = 0;
    if (LinuxGetBaudRate(fd_, baud)) d.BaudRate = baud;
#else
    const speed_t code = cfgetospeed(&t);
    for (const auto& s : kSpeeds) {
      if (s.code == code) d.BaudRate = s.baud;
    }
#endif
    switch (t.c_cflag & CSIZE) {
      case CS5:
        d.ByteSize = 5;
        break;
      case CS6:
        d.ByteSize = 6;
        break;
      case CS7:
        d.ByteSize = 7;
        break;
      default:
        d.ByteSize = 8;
        break;
    }
    if ((t.c_cflag & PARENB) == 0) {
      d.Parity = 0;
#ifdef CMSPAR
    } else if ((t.c_cflag & CMSPAR) != 0) {
      d.Parity = (t.c_cflag & PARODD) != 0 ? 3 : 4;
#endif
    } else {
      d.Parity = (t.c_cflag & PARODD) != 0 ? 1 : 2;
    }
    d.StopBits = (t.c_cflag & CSTOPB) != 0 ? kTwoStopBits : kOneStopBit;
    uint32_t flags = dcb::kBinary;
    if ((t.c_iflag & INPCK) != 0) flags |= dcb::kParity;
    const bool rtscts = (t.c_cflag & CRTSCTS) != 0;
    if (rtscts) flags |= dcb::kOutxCtsFlow;
    flags |= (rtscts ? 2u : rts_control_) << dcb::kRtsControlShift;
    flags |= dtr_control_ << dcb::kDtrControlShift;
    if ((t.c_iflag & IXON) != 0) flags |= dcb::kOutX;
    if ((t.c_iflag & IXOFF) != 0) flags |= dcb::kInX;
    d.Flags = flags;
    d.XonChar = static_cast<char>(t.c_cc[VSTART]);
    d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    dcb = d;
    return true;
  }

  bool SetState(const Dcb& dcb) override {
    if (dcb.BaudRate == 0) return false;
    struct termios t;
    if (tcgetattr(fd_, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    t.c_cflag &= ~CSIZE;
    switch (dcb.ByteSize) {
      case 5:
        t.c_cflag |= CS5;
        break;
      case 6:
        t.c_cflag |= CS6;
        break;
      case 7:
        t.c_cflag |= CS7;
        break;
      case 8:
        t.c_cflag |= CS8;
        break;
      default:
        return false;
    }
    t.c_cflag &= ~(PARENB | PARODD);
#ifdef CMSPAR
    t.c_cflag &= ~CMSPAR;
#endif
    switch (dcb.Parity) {
      case 0:
        break;
      case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
      case 2:
        t.c_cflag |= PARENB;
        break;
#ifdef CMSPAR
      case 3:
        t.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
      case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
#endif
      default:
        return false;
    }
    if ((dcb.Flags & dcb::kParity) != 0 && dcb.Parity != 0) t.c_iflag |= INPCK;
    switch (dcb.StopBits) {
      case kOneStopBit:
        t.c_cflag &= ~CSTOPB;
        break;
      case kTwoStopBits:
        t.c_cflag |= CSTOPB;
        break;
      case kOne5StopBits:
        if (dcb.ByteSize != 5) return false;  // as on Win32: 1.5 only with 5 bits
        t.c_cflag |= CSTOPB;
        break;
      default:
        return false;
    }
    const uint32_t rts = (dcb.Flags & dcb::kRtsControlMask) >> dcb::kRtsControlShift;
    const uint32_t dtr = (dcb.Flags & dcb::kDtrControlMask) >> dcb::kDtrControlShift;
    if ((dcb.Flags & dcb::kOutxCtsFlow) != 0 || rts == 2) {
      t.c_cflag |= CRTSCTS;
    } else {
      t.c_cflag &= ~CRTSCTS;
    }
    if ((dcb.Flags & dcb::kOutX) != 0) t.c_iflag |= IXON;
    if ((dcb.Flags & dcb::kInX) != 0) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
#ifndef __linux__
    bool found = false;
    for (const auto& s : kSpeeds) {
      if (s.baud == dcb.BaudRate) {
        cfsetispeed(&t, s.code);
        cfsetospeed(&t, s.code);
        found = true;
      }
    }
    if (!found) return false;
#endif
    if (tcsetattr(fd_, TCSANOW, &t) != 0) return false;
#ifdef __linux__
    if (!LinuxSetBaudRate(fd_, dcb.BaudRate)) return false;
#endif
    // The modem lines, where the driver has them (a pseudo-terminal has none).
    int line = TIOCM_RTS;
    if ((t.c_cflag & CRTSCTS) == 0) ioctl(fd_, rts == 0 ? TIOCMBIC : TIOCMBIS, &line);
    line = TIOCM_DTR;
    ioctl(fd_, dtr == 0 ? TIOCMBIC : TIOCMBIS, &line);
    rts_control_ = rts == 2 ? 1 : rts;
    dtr_control_ = dtr;
    return true;
  }

  bool SetTimeouts(const CommTimeouts& timeouts) override {
    std::lock_guard<std::mutex> guard(mu_);
    timeouts_ = timeouts;
    return true;
  }

  bool SetEventMask(uint32_t mask) override {
    {
      std::lock_guard<std::mutex> guard(mu_);
      mask_ = mask;
      ++mask_generation_;
    }
    mask_waker_.Signal();
    return true;
  }

  WaitResult WaitEvent(uint32_t& events) override {
    uint64_t generation;
    {
      std::lock_guard<std::mutex> guard(mu_);
      if (mask_ == 0) return {WaitStatus::kRefused, kErrorInvalidParameter};
      generation = mask_generation_;
    }
    for (;;) {
      // Events that are due already.
      int available = 0;
      const bool counted = ioctl(fd_, FIONREAD, &available) == 0;
      const ErrorCounters counters = ReadErrorCounters(fd_);
      bool held = false;
      {
        std::lock_guard<std::mutex> guard(mu_);
        if (mask_generation_ != generation) {
          events = 0;
          return {WaitStatus::kComplete, 0};
        }
        uint32_t due = 0;
        if (counted) {
          const uint32_t count = static_cast<uint32_t>(std::max(available, 0));
          if (count > announced_) {
            due |= kEvRxChar;
            announced_ = count;
          } else {
            announced_ = count;  // bytes were read or flushed meanwhile
            held = count > 0;
          }
        }
        const uint32_t errors = ErrorFlags(last_wait_counters_, counters);
        last_wait_counters_ = counters;
        if ((errors & kCeBreak) != 0) due |= kEvBreak;
        if ((errors & ~kCeBreak) != 0) due |= kEvErr;
        due &= mask_;
        if (due != 0) {
          events = due;
          return {WaitStatus::kComplete, 0};
        }
      }
      // Block until the device has news or the mask changes.
      struct pollfd fds[2];
      fds[0].fd = fd_;
      fds[0].events = held ? 0 : POLLIN;  // hang-up and errors are always reported
      fds[0].revents = 0;
      fds[1].fd = mask_waker_.ReadFd();
      fds[1].events = POLLIN;
      fds[1].revents = 0;
      const int rc = poll(fds, 2, held ? kHeldInputPollMs : -1);
      if (rc < 0) {
        if (errno == EINTR) continue;
        return {WaitStatus::kRefused, kErrorGenFailure};
      }
      if ((fds[1].revents & POLLIN) != 0) mask_waker_.Drain();
      if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        return {WaitStatus::kRefused, kErrorGenFailure};
      }
    }
  }

  bool ClearError(uint32_t& errors, ComStat& stat) override {
    int available = 0;
    if (ioctl(fd_, FIONREAD, &available) != 0) return false;
    int queued = 0;
    if (ioctl(fd_, TIOCOUTQ, &queued) != 0) queued = 0;
    const ErrorCounters counters = ReadErrorCounters(fd_);
    {
      std::lock_guard<std::mutex> guard(mu_);
      errors = ErrorFlags(last_clear_counters_, counters);
      last_clear_counters_ = counters;
    }
    stat.cbInQue = static_cast<uint32_t>(std::max(available, 0));
    stat.cbOutQue = static_cast<uint32_t>(std::max(queued, 0));
    return true;
  }

  bool Read(uint8_t* buffer, uint32_t count, uint32_t& got) override {
    got = 0;
    if (count == 0) return true;
    for (;;) {
      const ssize_t n = read(fd_, buffer, count);
      if (n > 0) {
        got = static_cast<uint32_t>(n);
        std::lock_guard<std::mutex> guard(mu_);
        announced_ = announced_ > got ? announced_ - got : 0;
        return true;
      }
      if (n == 0) return true;  // nothing (or end of file after a hang-up)
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
  }

  WriteStatus Write(const uint8_t* data, uint32_t count, uint32_t limitMs,
                    uint32_t& written) override {
    written = 0;
    uint32_t deviceTimeoutMs;
    {
      std::lock_guard<std::mutex> guard(mu_);
      deviceTimeoutMs =
          timeouts_.WriteTotalTimeoutConstant + timeouts_.WriteTotalTimeoutMultiplier * count;
    }
    const auto start = SteadyClock::now();
    const auto limit = start + std::chrono::milliseconds(limitMs);
    const bool deviceTimeout = deviceTimeoutMs != 0;
    const auto deviceDeadline = start + std::chrono::milliseconds(deviceTimeoutMs);
    while (written < count) {
      if (interrupted_.load(std::memory_order_acquire)) return WriteStatus::kInterrupted;
      const ssize_t n = write(fd_, data + written, count - written);
      if (n > 0) {
        written += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return WriteStatus::kFailed;
      // The output queue is full: wait for room, the time-outs or an interrupt.
      const auto now = SteadyClock::now();
      if (deviceTimeout && now >= deviceDeadline) return WriteStatus::kComplete;  // short
      if (now >= limit) return WriteStatus::kTimedOut;
      auto until = limit;
      if (deviceTimeout) until = std::min(until, deviceDeadline);
      const auto waitMs =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
      struct pollfd fds[2];
      fds[0].fd = fd_;
      fds[0].events = POLLOUT;
      fds[0].revents = 0;
      fds[1].fd = write_waker_.ReadFd();
      fds[1].events = POLLIN;
      fds[1].revents = 0;
      const int rc = poll(fds, 2, static_cast<int>(std::min<int64_t>(waitMs, 1 << 30)));
      if (rc < 0 && errno != EINTR) return WriteStatus::kFailed;
      if ((fds[1].revents & POLLIN) != 0) return WriteStatus::kInterrupted;
      if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return WriteStatus::kFailed;
    }
    return WriteStatus::kComplete;
  }

  void InterruptWrites() override {
    interrupted_.store(true, std::memory_order_release);
    write_waker_.Signal();  // never drained: every later write sees it too
  }

  bool Purge(uint32_t flags) override {
    bool ok = true;
    if ((flags & (kPurgeRxAbort | kPurgeRxClear)) != 0) {
      ok = tcflush(fd_, TCIFLUSH) == 0 && ok;
      std::lock_guard<std::mutex> guard(mu_);
      announced_ = 0;
    }
    if ((flags & (kPurgeTxAbort | kPurgeTxClear)) != 0) ok = tcflush(fd_, TCOFLUSH) == 0 && ok;
    return ok;
  }

 private:
  const int fd_;
  Waker mask_waker_;
  Waker write_waker_;
  std::atomic<bool> interrupted_{false};
  std::mutex mu_;  // guards what follows
  uint32_t mask_ = 0;
  uint64_t mask_generation_ = 0;
  uint32_t announced_ = 0;  // input bytes reported by EV_RXCHAR and not read since
  CommTimeouts timeouts_;
  ErrorCounters last_wait_counters_;
  ErrorCounters last_clear_counters_;
  uint32_t rts_control_ = 1;  // RTS_CONTROL_ENABLE, as a tty raises RTS when opened
  uint32_t dtr_control_ = 1;  // DTR_CONTROL_ENABLE
};

}  // namespace

std::unique_ptr<ISerialDevice> OpenPosixSerialDevice(const std::string& path) {
  if (path.empty()) return nullptr;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // In use by another descriptor (ours or another process's): fails like a
  // missing port. The flock comes first, so that a refused open never touches
  // the owner's exclusive mode.
  if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    close(fd);
    return nullptr;
  }
  // Raw at once, keeping the speed and the other line settings.
  struct termios t;
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
  }
  auto device = std::make_unique<PosixSerialDevice>(fd);  // owns fd from here on
  if (!device->Valid()) return nullptr;
  return device;
}

std::unique_ptr<ISerialDevice> OpenPlatformSerialDevice(uint16_t port) {
  return OpenPosixSerialDevice(SerialDevicePath(port));
}

std::unique_ptr<ISerialDevice> OpenPlatformSerialDeviceAt(const std::string& path) {
  return OpenPosixSerialDevice(path);
}

}  // namespace vr
