#pragma once
// Helpers of the link tests: a leak check (descriptors and threads), a
// pseudo-terminal, a port that records its BytesArrived calls, CPU time.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/com_port.h"
#include "process_probe.h"

namespace vr::linktest {

using Clock = std::chrono::steady_clock;

using test::CountDirEntries;
using test::ElapsedMs;
using test::Eventually;
using test::OpenDescriptors;
using test::ProcessCpuMicros;
using test::ThreadCount;

// Every link test checks that it leaves no descriptor and no thread behind.
class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fds_ = OpenDescriptors();
    threads_ = ThreadCount();
  }
  void TearDown() override {
    EXPECT_TRUE(Eventually([&] { return ThreadCount() <= threads_; }, 1000))
        << "threads left behind: " << ThreadCount() << " > " << threads_;
    EXPECT_EQ(OpenDescriptors(), fds_) << "descriptors left behind";
  }

 private:
  int fds_ = 0;
  int threads_ = 0;
};

// A pseudo-terminal: the test holds the master, the port opens the slave.
class Pty {
 public:
  // openpty() opens the slave too; it is closed at once, the port opens its own.
  // Until the port does, the master reads EIO and polls POLLHUP.
  Pty() {
    int slave = -1;
    if (openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0) return;
    close(slave);
    char name[128] = {};
    if (fcntl(master_, F_SETFD, FD_CLOEXEC) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
      CloseMaster();
      return;
    }
    path_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~Pty() { CloseMaster(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool Ok() const { return master_ >= 0; }
  int Master() const { return master_; }
  const std::string& Path() const { return path_; }
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  void Write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 100);
      }
    }
  }

  // Reads until n bytes came or ms passed.
  std::vector<uint8_t> Read(size_t n, int ms = 3000) {
    std::vector<uint8_t> out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < n && Clock::now() < deadline) {
      uint8_t buf[4096];
      const ssize_t k = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
      if (k > 0) {
        out.insert(out.end(), buf, buf + k);
      } else {
        pollfd p{master_, POLLIN, 0};
        poll(&p, 1, 20);
      }
    }
    return out;
  }

 private:
  int master_ = -1;
  std::string path_;
};

// A TComPort that records each BytesArrived call and, when asked, takes the
// bytes with ReadByte (as the direct link does). Exposes the inner operations.
class RecordingPort : public TComPort {
 public:
  explicit RecordingPort(uint16_t port, bool consume = false)
      : TComPort(port, DeferOpen{}), consume_(consume) {
    if (port != 0) Open();
  }
  ~RecordingPort() override { Close(); }

  using TComPort::ApplySettings;
  using TComPort::GetStatus;
  using TComPort::PeekByte;
  using TComPort::SetWriteCompletionLimitMs;

  std::vector<int> Calls() const {
    std::lock_guard<std::mutex> g(mu_);
    return calls_;
  }
  int64_t TotalArrived() const {
    std::lock_guard<std::mutex> g(mu_);
    int64_t sum = 0;
    for (int c : calls_) sum += c;
    return sum;
  }
  std::vector<uint8_t> Consumed() const {
    std::lock_guard<std::mutex> g(mu_);
    return consumed_;
  }
  bool WaitCalls(size_t n, int ms = 3000) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return calls_.size() >= n; });
  }
  bool WaitConsumed(size_t n, int ms = 3000) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return consumed_.size() >= n; });
  }

 protected:
  void BytesArrived(int count) override {
    std::vector<uint8_t> got;
    if (consume_) {
      for (int i = 0; i < count; ++i) got.push_back(ReadByte());
    }
    std::lock_guard<std::mutex> g(mu_);
    calls_.push_back(count);
    consumed_.insert(consumed_.end(), got.begin(), got.end());
    cv_.notify_all();
  }

 private:
  const bool consume_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<int> calls_;
  std::vector<uint8_t> consumed_;
};

inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed = 0) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i + seed) % 251);
  return v;
}

}  // namespace vr::linktest
