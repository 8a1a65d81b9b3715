#include "link/net_device.h"

#include <algorithm>

#include "link/port_claims.h"

namespace vr {
namespace {

constexpr uint32_t kConnectLimitMs = 3000;
constexpr auto kReconnectPace = std::chrono::seconds(1);
constexpr size_t kInputSize = 8192;
constexpr size_t kOutputSize = 8192;
constexpr size_t kReceiveChunk = 1024;

// The COM numbers whose network link this process holds.
PortClaims& Held() {
  static PortClaims links;
  return links;
}

}  // namespace

size_t ByteRing::Take(uint8_t* p, size_t n) {
  n = std::min(n, count_);
  for (size_t i = 0; i < n; ++i) p[i] = data_[(head_ + i) % size_];
  Drop(n);
  return n;
}

NetDevice::NetDevice(uint16_t port, const NetAddress& address)
    : port_(port), address_(address), input_(kInputSize), output_(kOutputSize) {
  dcb_.BaudRate = 9600;
  dcb_.Flags = dcb::kBinary;
}

NetDevice::~NetDevice() {
  Stop();
  if (claimed_) Held().Release(port_);
}

void NetDevice::Stop() {
  {
    std::lock_guard<std::mutex> guard(mu_);
    stop_.store(true, std::memory_order_release);
  }
  cv_.notify_all();
  socket_.Wake();
  if (thread_.joinable()) thread_.join();
}

bool NetDevice::Claim() {
  // A COM port mapped to the network is held exclusively, as its device would
  // be; a link opened by its address alone (port 0) holds no port number.
  if (port_ == 0) return true;
  claimed_ = Held().Claim(port_);
  return claimed_;
}

bool NetDevice::Open() {
  if (!socket_.Valid() || !socket_.Resolve(address_.host, address_.port, address_.numeric)) {
    return false;
  }
  last_attempt_ = SteadyClock::now();
  if (!socket_.Connect(kConnectLimitMs, stop_)) return false;
  {
    std::lock_guard<std::mutex> guard(mu_);
    ConnectedLocked();
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

// --- ISerialDevice ---

bool NetDevice::SetupQueues(uint32_t, uint32_t) {
  return true;
}

bool NetDevice::GetState(Dcb& dcb) {
  std::lock_guard<std::mutex> guard(mu_);
  dcb = dcb_;
  return true;
}

bool NetDevice::SetState(const Dcb& dcb) {
  std::lock_guard<std::mutex> guard(mu_);
  dcb_ = dcb;
  OnStateChanged();
  return true;
}

bool NetDevice::SetTimeouts(const CommTimeouts& timeouts) {
  std::lock_guard<std::mutex> guard(mu_);
  timeouts_ = timeouts;
  return true;
}

bool NetDevice::SetEventMask(uint32_t mask) {
  {
    std::lock_guard<std::mutex> guard(mu_);
    mask_ = mask;
    ++mask_generation_;
  }
  cv_.notify_all();
  return true;
}

WaitResult NetDevice::WaitEvent(uint32_t& events) {
  std::unique_lock<std::mutex> lock(mu_);
  if (mask_ == 0) return {WaitStatus::kRefused, kErrorInvalidParameter};
  const uint64_t generation = mask_generation_;
  // EV_RXCHAR is edge-like, as on Win32: only bytes not announced yet count.
  cv_.wait(lock, [&] {
    return mask_generation_ != generation ||
           ((mask_ & kEvRxChar) != 0 && input_.Count() > announced_);
  });
  if (mask_generation_ != generation) {
    events = 0;
  } else {
    announced_ = static_cast<uint32_t>(input_.Count());
    events = kEvRxChar;
  }
  return {WaitStatus::kComplete, 0};
}

bool NetDevice::ClearError(uint32_t& errors, ComStat& stat) {
  std::lock_guard<std::mutex> guard(mu_);
  errors = 0;
  stat.cbInQue = static_cast<uint32_t>(input_.Count());
  stat.cbOutQue = static_cast<uint32_t>(output_.Count());
  return true;
}

bool NetDevice::Read(uint8_t* buffer, uint32_t count, uint32_t& got) {
  std::lock_guard<std::mutex> guard(mu_);
  const bool wasFull = input_.Room() == 0;
  got = static_cast<uint32_t>(input_.Take(buffer, count));
  announced_ = announced_ > got ? announced_ - got : 0;
  if (wasFull && got > 0) socket_.Wake();  // the device's thread may receive again
  return true;
}

WriteStatus NetDevice::Write(const uint8_t* data, uint32_t count, uint32_t limitMs,
                             uint32_t& written) {
  written = 0;
  std::unique_lock<std::mutex> lock(mu_);
  const auto start = SteadyClock::now();
  auto until = start + std::chrono::milliseconds(limitMs);
  const uint32_t deviceMs =
      timeouts_.WriteTotalTimeoutConstant + timeouts_.WriteTotalTimeoutMultiplier * count;
  if (deviceMs != 0) until = std::min(until, start + std::chrono::milliseconds(deviceMs));
  auto ended = [this] { return interrupted_ || stop_.load(std::memory_order_acquire); };
  if (ended()) return WriteStatus::kInterrupted;

  if (!connected_) {
    // The connection dropped: this request asks for a new one.
    const uint64_t round = connect_rounds_;
    connect_wanted_ = true;
    socket_.Wake();
    if (!cv_.wait_until(lock, until, [&] { return ended() || connect_rounds_ != round; })) {
      return WriteStatus::kTimedOut;
    }
    if (ended()) return WriteStatus::kInterrupted;
    if (!connected_) {
      written = count;  // lost, as on a line with no gauge on it
      return WriteStatus::kComplete;
    }
  }
  cv_.wait_until(lock, until, [&] { return ended() || !holding_; });

  uint32_t queued = 0;
  while (queued < count) {
    if (ended()) return WriteStatus::kInterrupted;
    if (!connected_) {
      written = count;
      return WriteStatus::kComplete;
    }
    bool put = false;
    while (queued < count && output_.Room() >= 2) {
      const uint8_t b = data[queued++];
      output_.Put(b);
      if (Doubled(b)) output_.Put(b);
      put = true;
    }
    if (put) {
      queued_total_ = output_done_ + output_.Count();
      socket_.Wake();
      continue;
    }
    if (!cv_.wait_until(lock, until,
                        [&] { return ended() || !connected_ || output_.Room() >= 2; })) {
      break;  // the device's write time-out: short
    }
  }
  if (queued == 0) return WriteStatus::kTimedOut;
  const uint64_t end = queued_total_;
  cv_.wait_until(lock, until, [&] { return ended() || output_done_ >= end; });
  if (output_done_ < end && ended()) return WriteStatus::kInterrupted;
  written = queued;
  return WriteStatus::kComplete;
}

void NetDevice::InterruptWrites() {
  {
    std::lock_guard<std::mutex> guard(mu_);
    interrupted_ = true;
  }
  cv_.notify_all();
}

bool NetDevice::Purge(uint32_t flags) {
  std::lock_guard<std::mutex> guard(mu_);
  const bool rx = (flags & (kPurgeRxAbort | kPurgeRxClear)) != 0;
  const bool tx = (flags & (kPurgeTxAbort | kPurgeTxClear)) != 0;
  if (rx) {
    if (input_.Room() == 0) socket_.Wake();
    input_.Clear();
    announced_ = 0;
  }
  if (rx || tx) OnPurge(rx, tx);
  return true;
}

// --- for the kinds ---

void NetDevice::QueueLocked(const uint8_t* bytes, size_t n) {
  if (!connected_ || output_.Room() < n) return;
  output_.Put(bytes, n);
  queued_total_ = output_done_ + output_.Count();
  socket_.Wake();
}

void NetDevice::HoldDataLocked(std::chrono::milliseconds limit) {
  holding_ = true;
  hold_end_ = SteadyClock::now() + limit;
}

void NetDevice::ReleaseDataLocked() {
  if (!holding_) return;
  holding_ = false;
  cv_.notify_all();
}

// --- the device's thread ---

void NetDevice::Run() {
  uint8_t chunk[kReceiveChunk];
  std::unique_lock<std::mutex> lock(mu_);
  while (!stop_.load(std::memory_order_acquire)) {
    if (!connected_) {
      if (!connect_wanted_) {
        lock.unlock();
        socket_.Wait(false, false, -1);
        lock.lock();
        continue;
      }
      connect_wanted_ = false;
      const auto now = SteadyClock::now();
      if (now - last_attempt_ >= kReconnectPace) {
        last_attempt_ = now;
        lock.unlock();
        const bool ok = socket_.Connect(kConnectLimitMs, stop_);
        lock.lock();
        if (ok) ConnectedLocked();
      }
      ++connect_rounds_;
      cv_.notify_all();
      continue;
    }
    int timeoutMs = -1;
    if (holding_) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(hold_end_ - SteadyClock::now());
      if (left.count() <= 0) {
        ReleaseDataLocked();
      } else {
        timeoutMs = static_cast<int>(left.count());
      }
    }
    const bool wantRead = input_.Room() > 0;
    const bool wantWrite = output_.Count() > 0;
    lock.unlock();
    const SocketEvents events = socket_.Wait(wantRead, wantWrite, timeoutMs);
    lock.lock();
    if (events.readable) ReceiveLocked(chunk, sizeof chunk);
    if (events.writable && connected_) SendLocked();
  }
}

void NetDevice::ConnectedLocked() {
  connected_ = true;
  holding_ = false;
  OnConnected();
  cv_.notify_all();
}

void NetDevice::DropLocked() {
  socket_.Disconnect();
  connected_ = false;
  holding_ = false;
  // What was not sent belonged to the lost connection.
  output_done_ += output_.Count();
  output_.Clear();
  cv_.notify_all();
}

void NetDevice::ReceiveLocked(uint8_t* chunk, size_t size) {
  size_t got = 0;
  const IoStatus status = socket_.Receive(chunk, std::min(input_.Room(), size), got);
  if (status == IoStatus::kWouldBlock) return;
  if (status != IoStatus::kDone) {
    DropLocked();
    return;
  }
  const size_t data = Decode(chunk, got);
  input_.Put(chunk, data);
  if (data > 0) cv_.notify_all();
}

void NetDevice::SendLocked() {
  size_t n = 0;
  const uint8_t* head = output_.Head(n);
  size_t sent = 0;
  const IoStatus status = socket_.Send(head, n, sent);
  if (status == IoStatus::kWouldBlock) return;
  if (status != IoStatus::kDone) {
    DropLocked();
    return;
  }
  output_.Drop(sent);
  output_done_ += sent;
  cv_.notify_all();
}

std::unique_ptr<ISerialDevice> OpenNetDevice(uint16_t port, const NetAddress& address) {
  std::unique_ptr<NetDevice> device = address.scheme == NetScheme::kRfc2217
                                          ? MakeRfc2217Device(port, address)
                                          : MakeTcpDevice(port, address);
  if (!device->Claim() || !device->Open()) return nullptr;
  return device;
}

}  // namespace vr
