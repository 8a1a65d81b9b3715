#include "fake_serial_device.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace vr {

namespace {
using SteadyClock = std::chrono::steady_clock;
}

// One open handle on a FakeSerialPort.
class FakeSerialDevice final : public ISerialDevice {
 public:
  explicit FakeSerialDevice(std::shared_ptr<FakeSerialPort> port) : p_(std::move(port)) {}

  ~FakeSerialDevice() override {
    std::lock_guard<std::mutex> guard(p_->mu_);
    --p_->open_devices_;
    p_->mask_ = 0;
    ++p_->mask_generation_;
    ++p_->change_counter_;
    p_->cv_.notify_all();
  }

  bool SetupQueues(uint32_t inputSize, uint32_t outputSize) override {
    std::lock_guard<std::mutex> guard(p_->mu_);
    if (p_->refuse_queues_) return false;
    p_->queue_in_ = inputSize;
    p_->queue_out_ = outputSize;
    Changed();
    return true;
  }

  bool GetState(Dcb& dcb) override {
    std::lock_guard<std::mutex> guard(p_->mu_);
    dcb = p_->dcb_;
    return true;
  }

  bool SetState(const Dcb& dcb) override {
    std::lock_guard<std::mutex> guard(p_->mu_);
    if (p_->refuse_settings_) return false;
    p_->dcb_ = dcb;
    Changed();
    return true;
  }

  bool SetTimeouts(const CommTimeouts& timeouts) override {
    std::lock_guard<std::mutex> guard(p_->mu_);
    p_->timeouts_ = timeouts;
    Changed();
    return true;
  }

  bool SetEventMask(uint32_t mask) override {
    std::lock_guard<std::mutex> guard(p_->mu_);
    p_->mask_ = mask;
    ++p_->mask_generation_;
    Changed();
    return true;
  }

  WaitResult WaitEvent(uint32_t& events) override {
    std::unique_lock<std::mutex> lock(p_->mu_);
    ++p_->wait_calls_;
    Changed();
    if (p_->mask_ == 0) return {WaitStatus::kRefused, kErrorInvalidParameter};
    if (p_->refuse_21fd_ && (p_->mask_ & kEvRingTe) != 0) {
      return {WaitStatus::kRefused, kErrorInvalidParameter};
    }
    if (p_->fail_waits_) return {WaitStatus::kRefused, kErrorGenFailure};
    const uint64_t generation = p_->mask_generation_;
    for (;;) {
      if (p_->mask_generation_ != generation) {
        events = 0;
        return {WaitStatus::kComplete, 0};
      }
      const uint32_t due = p_->pending_events_ & p_->mask_;
      if (due != 0) {
        p_->pending_events_ &= ~due;
        events = due;
        return {WaitStatus::kComplete, 0};
      }
      if (p_->fail_waits_) return {WaitStatus::kRefused, kErrorGenFailure};
      ++p_->parked_waiters_;
      p_->cv_.wait(lock);
      --p_->parked_waiters_;
    }
  }

  bool ClearError(uint32_t& errors, ComStat& stat) override {
    std::lock_guard<std::mutex> guard(p_->mu_);
    errors = p_->error_flags_;
    p_->error_flags_ = 0;
    stat.cbInQue = static_cast<uint32_t>(p_->input_.size());
    stat.cbOutQue = 0;
    return true;
  }

  bool Read(uint8_t* buffer, uint32_t count, uint32_t& got) override {
    std::lock_guard<std::mutex> guard(p_->mu_);
    p_->read_requests_.push_back(count);
    got = static_cast<uint32_t>(std::min<size_t>(count, p_->input_.size()));
    std::copy_n(p_->input_.begin(), got, buffer);
    p_->input_.erase(p_->input_.begin(), p_->input_.begin() + got);
    Changed();
    return true;
  }

  WriteStatus Write(const uint8_t* data, uint32_t count, uint32_t limitMs,
                    uint32_t& written) override {
    written = 0;
    FakeSerialPort::WriteHook hook;
    {
      std::unique_lock<std::mutex> lock(p_->mu_);
      ++p_->write_calls_;
      Changed();
      if (p_->interrupted_) return WriteStatus::kInterrupted;
      if (p_->fail_writes_) return WriteStatus::kFailed;
      const auto start = SteadyClock::now();
      const auto limit = start + std::chrono::milliseconds(limitMs);
      const auto done = start + std::chrono::milliseconds(p_->write_delay_ms_);
      for (;;) {
        if (p_->interrupted_) return WriteStatus::kInterrupted;
        const auto now = SteadyClock::now();
        const bool delayed = now < done;
        if (!p_->block_writes_ && !delayed) break;
        if (now >= limit) return WriteStatus::kTimedOut;
        auto until = limit;
        if (delayed && !p_->block_writes_) until = std::min(until, done);
        p_->cv_.wait_until(lock, until);
      }
      p_->written_.insert(p_->written_.end(), data, data + count);
      p_->chunks_.emplace_back(data, data + count);
      written = count;
      hook = p_->on_write_;
      Changed();
    }
    if (hook) hook(data, count);
    return WriteStatus::kComplete;
  }

  void InterruptWrites() override {
    std::lock_guard<std::mutex> guard(p_->mu_);
    p_->interrupted_ = true;
    Changed();
  }

  bool Purge(uint32_t flags) override {
    std::lock_guard<std::mutex> guard(p_->mu_);
    ++p_->purge_calls_;
    if ((flags & (kPurgeRxAbort | kPurgeRxClear)) != 0) p_->input_.clear();
    Changed();
    return true;
  }

 private:
  // Under p_->mu_.
  void Changed() {
    ++p_->change_counter_;
    p_->cv_.notify_all();
  }

  std::shared_ptr<FakeSerialPort> p_;
};

FakeSerialPort::FakeSerialPort() {
  dcb_.BaudRate = 9600;
  dcb_.ByteSize = 8;
  dcb_.Parity = 0;
  dcb_.StopBits = kOneStopBit;
  // What a driver typically reports, plus reserved bits, so that tests can see
  // what ApplySettings clears and what it keeps.
  dcb_.Flags = dcb::kBinary | (1u << dcb::kDtrControlShift) | (1u << dcb::kRtsControlShift) |
               dcb::kTxContinueOnXoff | 0xA5A50000u;
  dcb_.XonLim = 2048;
  dcb_.XoffLim = 512;
}

std::unique_ptr<ISerialDevice> FakeSerialPort::MakeDevice() {
  {
    std::lock_guard<std::mutex> guard(mu_);
    if (refuse_open_ || open_devices_ > 0) return nullptr;
    ++open_devices_;
    ++devices_made_;
    interrupted_ = false;
    mask_ = 0;
    pending_events_ = 0;
    ++change_counter_;
    cv_.notify_all();
  }
  return std::make_unique<FakeSerialDevice>(shared_from_this());
}

#define VR_FAKE_SETTER(name, field, type)   \
  void FakeSerialPort::name(type value) {   \
    std::lock_guard<std::mutex> guard(mu_); \
    field = value;                          \
    ++change_counter_;                      \
    cv_.notify_all();                       \
  }
VR_FAKE_SETTER(RefuseOpen, refuse_open_, bool)
VR_FAKE_SETTER(RefuseQueueSizes, refuse_queues_, bool)
VR_FAKE_SETTER(RefuseSettings, refuse_settings_, bool)
VR_FAKE_SETTER(RefuseMask21FD, refuse_21fd_, bool)
VR_FAKE_SETTER(FailWrites, fail_writes_, bool)
VR_FAKE_SETTER(FailWaits, fail_waits_, bool)
VR_FAKE_SETTER(SetWriteDelayMs, write_delay_ms_, uint32_t)
VR_FAKE_SETTER(BlockWrites, block_writes_, bool)
VR_FAKE_SETTER(SetInitialState, dcb_, const Dcb&)
#undef VR_FAKE_SETTER

void FakeSerialPort::SetOnWrite(WriteHook hook) {
  std::lock_guard<std::mutex> guard(mu_);
  on_write_ = std::move(hook);
}

void FakeSerialPort::InjectInput(const uint8_t* data, size_t count) {
  std::lock_guard<std::mutex> guard(mu_);
  size_t taken = 0;
  for (size_t i = 0; i < count; ++i) {
    if (input_.size() >= kInputQueueSize) {
      error_flags_ |= kCeRxOver;  // dropped, like a real UART's overflow
      continue;
    }
    input_.push_back(data[i]);
    ++taken;
  }
  if (taken > 0) pending_events_ |= kEvRxChar;
  ++change_counter_;
  cv_.notify_all();
}

void FakeSerialPort::InjectInput(const std::string& bytes) {
  InjectInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void FakeSerialPort::RaiseEvents(uint32_t events, uint32_t errorFlags) {
  std::lock_guard<std::mutex> guard(mu_);
  pending_events_ |= events;
  error_flags_ |= errorFlags;
  ++change_counter_;
  cv_.notify_all();
}

std::vector<uint8_t> FakeSerialPort::Written() const {
  std::lock_guard<std::mutex> guard(mu_);
  return written_;
}

std::vector<std::vector<uint8_t>> FakeSerialPort::WriteChunks() const {
  std::lock_guard<std::mutex> guard(mu_);
  return chunks_;
}

void FakeSerialPort::ClearWritten() {
  std::lock_guard<std::mutex> guard(mu_);
  written_.clear();
  chunks_.clear();
}

size_t FakeSerialPort::InputQueued() const {
  std::lock_guard<std::mutex> guard(mu_);
  return input_.size();
}

Dcb FakeSerialPort::State() const {
  std::lock_guard<std::mutex> guard(mu_);
  return dcb_;
}

uint32_t FakeSerialPort::EventMask() const {
  std::lock_guard<std::mutex> guard(mu_);
  return mask_;
}

CommTimeouts FakeSerialPort::Timeouts() const {
  std::lock_guard<std::mutex> guard(mu_);
  return timeouts_;
}

uint32_t FakeSerialPort::QueueInputSize() const {
  std::lock_guard<std::mutex> guard(mu_);
  return queue_in_;
}

uint32_t FakeSerialPort::QueueOutputSize() const {
  std::lock_guard<std::mutex> guard(mu_);
  return queue_out_;
}

int FakeSerialPort::OpenDevices() const {
  std::lock_guard<std::mutex> guard(mu_);
  return open_devices_;
}

int FakeSerialPort::DevicesMade() const {
  std::lock_guard<std::mutex> guard(mu_);
  return devices_made_;
}

bool FakeSerialPort::InputTakenAndWaiting() const {
  std::lock_guard<std::mutex> guard(mu_);
  return input_.empty() && parked_waiters_ > 0 && (pending_events_ & mask_) == 0;
}

int FakeSerialPort::WaitCalls() const {
  std::lock_guard<std::mutex> guard(mu_);
  return wait_calls_;
}

int FakeSerialPort::WriteCalls() const {
  std::lock_guard<std::mutex> guard(mu_);
  return write_calls_;
}

int FakeSerialPort::PurgeCalls() const {
  std::lock_guard<std::mutex> guard(mu_);
  return purge_calls_;
}

std::vector<uint32_t> FakeSerialPort::ReadRequests() const {
  std::lock_guard<std::mutex> guard(mu_);
  return read_requests_;
}

bool FakeSerialPort::WaitUntil(const std::function<bool()>& pred, uint32_t ms) const {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (pred()) return true;
    if (SteadyClock::now() >= deadline) return pred();
    std::unique_lock<std::mutex> lock(mu_);
    const uint64_t seen = change_counter_;
    cv_.wait_for(lock, std::chrono::milliseconds(2), [&] { return change_counter_ != seen; });
  }
}

// ---------------------------------------------------------------------------

struct ScopedFakeSerialPorts::Shared {
  std::mutex mu;
  std::map<uint16_t, std::shared_ptr<FakeSerialPort>> ports;
  int attempts = 0;
};

ScopedFakeSerialPorts::ScopedFakeSerialPorts(
    std::map<uint16_t, std::shared_ptr<FakeSerialPort>> ports)
    : shared_(std::make_shared<Shared>()) {
  shared_->ports = std::move(ports);
  std::shared_ptr<Shared> shared = shared_;
  SetSerialDeviceFactory([shared](uint16_t port) -> std::unique_ptr<ISerialDevice> {
    std::shared_ptr<FakeSerialPort> fake;
    {
      std::lock_guard<std::mutex> guard(shared->mu);
      ++shared->attempts;
      auto it = shared->ports.find(port);
      if (it == shared->ports.end()) return nullptr;
      fake = it->second;
    }
    return fake->MakeDevice();
  });
}

ScopedFakeSerialPorts::~ScopedFakeSerialPorts() {
  SetSerialDeviceFactory(nullptr);
}

int ScopedFakeSerialPorts::OpenAttempts() const {
  std::lock_guard<std::mutex> guard(shared_->mu);
  return shared_->attempts;
}

}  // namespace vr
