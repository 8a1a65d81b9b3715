#include "gauge_server.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace vr::sim {

bool GaugeServer::Running() const {
  std::lock_guard lock(mu_);
  return running_;
}

void GaugeServer::SetLog(std::function<void(const std::string&)> log) {
  std::lock_guard lock(mu_);
  log_ = std::move(log);
}

void GaugeServer::VanishOnNextRequest(size_t reply_bytes) {
  std::lock_guard lock(mu_);
  vanish_after_ = reply_bytes;
}

void GaugeServer::Log(const std::string& line) {
  std::function<void(const std::string&)> log;
  {
    std::lock_guard lock(mu_);
    log = log_;
  }
  if (log) log(line);
}

void GaugeServer::StopServing() {
  if (thread_.joinable()) {
    int wake;
    {
      std::lock_guard lock(mu_);
      wake = wake_;
    }
    const uint64_t one = 1;
    ssize_t ignored = ::write(wake, &one, sizeof one);
    (void)ignored;
    thread_.join();
  }
  std::lock_guard lock(mu_);
  CloseFd(wake_);
  running_ = false;
}

void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace vr::sim
