#pragma once
// The COM numbers a process holds, so that one number is opened once at a
// time, as Windows does for a serial port.
#include <cstdint>
#include <mutex>
#include <set>

namespace vr {

class PortClaims {
 public:
  bool Claim(uint16_t port) {
    std::lock_guard<std::mutex> guard(mu_);
    return ports_.insert(port).second;
  }
  void Release(uint16_t port) {
    std::lock_guard<std::mutex> guard(mu_);
    ports_.erase(port);
  }

 private:
  std::mutex mu_;
  std::set<uint16_t> ports_;
};

}  // namespace vr
