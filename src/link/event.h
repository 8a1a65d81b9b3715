#pragma once
// A Win32-style event built on std::mutex and std::condition_variable: signalled
// or not, auto-reset (a successful wait consumes the signal) or manual-reset
// (stays signalled until Reset). Used for the port's acknowledgment, wake and
// stop events and for the direct link's reply event.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vr {

class Event {
 public:
  enum class Mode { kAutoReset, kManualReset };
  explicit Event(Mode mode, bool signalled = false)
      : auto_reset_(mode == Mode::kAutoReset), signalled_(signalled) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set() {
    {
      std::lock_guard<std::mutex> guard(mu_);
      signalled_ = true;
    }
    if (auto_reset_) {
      cv_.notify_one();
    } else {
      cv_.notify_all();
    }
  }

  void Reset() {
    std::lock_guard<std::mutex> guard(mu_);
    signalled_ = false;
  }

  // Whether the event is signalled now (does not consume an auto-reset signal).
  bool IsSet() const {
    std::lock_guard<std::mutex> guard(mu_);
    return signalled_;
  }

  // Waits without time limit.
  void Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return signalled_; });
    if (auto_reset_) signalled_ = false;
  }

  // Waits up to ms milliseconds; true when the event was signalled.
  bool WaitFor(uint32_t ms) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return signalled_; })) {
      return false;
    }
    if (auto_reset_) signalled_ = false;
    return true;
  }

 private:
  const bool auto_reset_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool signalled_;
};

}  // namespace vr
