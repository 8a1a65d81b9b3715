#include "link/net_device.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "link/net_socket.h"
#include "protocol/telnet.h"

namespace vr {
namespace {

using SteadyClock = std::chrono::steady_clock;
namespace comport = telnet::comport;

constexpr uint32_t kConnectLimitMs = 3000;
constexpr auto kReconnectPace = std::chrono::seconds(1);
// How long data waits for the access server to answer WILL COM-PORT-OPTION;
// without an answer the bytes go as they are.
constexpr auto kNegotiationLimit = std::chrono::milliseconds(500);
constexpr size_t kInputSize = 8192;
constexpr size_t kOutputSize = 8192;
constexpr size_t kReceiveChunk = 1024;

// The COM numbers whose network link this process holds.
class HeldLinks {
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

HeldLinks& Held() {
  static HeldLinks links;
  return links;
}

// A byte ring of fixed size, allocated once.
class Ring {
 public:
  explicit Ring(size_t size) : data_(new uint8_t[size]), size_(size) {}
  size_t Count() const { return count_; }
  size_t Room() const { return size_ - count_; }
  void Put(uint8_t b) {
    data_[(head_ + count_) % size_] = b;
    ++count_;
  }
  void Put(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) Put(p[i]);
  }
  size_t Take(uint8_t* p, size_t n) {
    n = std::min(n, count_);
    for (size_t i = 0; i < n; ++i) p[i] = data_[(head_ + i) % size_];
    Drop(n);
    return n;
  }
  // The bytes from the head up to the end of the storage.
  const uint8_t* Head(size_t& n) const {
    n = std::min(count_, size_ - head_);
    return data_.get() + head_;
  }
  void Drop(size_t n) {
    head_ = (head_ + n) % size_;
    count_ -= n;
  }
  void Clear() { head_ = count_ = 0; }

 private:
  std::unique_ptr<uint8_t[]> data_;
  const size_t size_;
  size_t head_ = 0;
  size_t count_ = 0;
};

// The RFC 2217 values of the Win32 line settings.
struct LineSettings {
  uint32_t baud = 0;
  uint8_t dataSize = 0;
  uint8_t parity = 0;
  uint8_t stopSize = 0;
  uint8_t control = 0;
};

LineSettings ToLineSettings(const Dcb& d) {
  static constexpr uint8_t kParity[] = {comport::kParityNone, comport::kParityOdd,
                                        comport::kParityEven, comport::kParityMark,
                                        comport::kParitySpace};
  LineSettings s;
  s.baud = d.BaudRate;
  s.dataSize = d.ByteSize;
  s.parity = d.Parity < 5 ? kParity[d.Parity] : comport::kParityNone;
  s.stopSize = d.StopBits == kTwoStopBits    ? comport::kStopTwo
               : d.StopBits == kOne5StopBits ? comport::kStopOneAndHalf
                                             : comport::kStopOne;
  const bool rtsHandshake = ((d.Flags & dcb::kRtsControlMask) >> dcb::kRtsControlShift) == 2;
  if ((d.Flags & dcb::kOutxCtsFlow) != 0 || rtsHandshake) {
    s.control = comport::kFlowHardware;
  } else if ((d.Flags & (dcb::kOutX | dcb::kInX)) != 0) {
    s.control = comport::kFlowXonXoff;
  } else {
    s.control = comport::kFlowNone;
  }
  return s;
}

class NetDevice final : public ISerialDevice, private telnet::Handler {
 public:
  NetDevice(uint16_t port, const NetAddress& address)
      : port_(port),
        address_(address),
        telnet_(address.scheme == NetScheme::kRfc2217),
        input_(kInputSize),
        output_(kOutputSize) {
    dcb_.BaudRate = 9600;
    dcb_.Flags = dcb::kBinary;
  }

  ~NetDevice() override {
    {
      std::lock_guard<std::mutex> guard(mu_);
      stop_.store(true, std::memory_order_release);
    }
    cv_.notify_all();
    socket_.Wake();
    if (thread_.joinable()) thread_.join();
    Held().Release(port_);
  }

  // The first connection, in the caller's thread, then the device's thread.
  bool Open() {
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

  bool SetupQueues(uint32_t, uint32_t) override { return true; }

  bool GetState(Dcb& dcb) override {
    std::lock_guard<std::mutex> guard(mu_);
    dcb = dcb_;
    return true;
  }

  bool SetState(const Dcb& dcb) override {
    std::lock_guard<std::mutex> guard(mu_);
    dcb_ = dcb;
    if (comport_on_) QueueLineSettingsLocked();
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
    cv_.notify_all();
    return true;
  }

  WaitResult WaitEvent(uint32_t& events) override {
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

  bool ClearError(uint32_t& errors, ComStat& stat) override {
    std::lock_guard<std::mutex> guard(mu_);
    errors = 0;
    stat.cbInQue = static_cast<uint32_t>(input_.Count());
    stat.cbOutQue = static_cast<uint32_t>(output_.Count());
    return true;
  }

  bool Read(uint8_t* buffer, uint32_t count, uint32_t& got) override {
    std::lock_guard<std::mutex> guard(mu_);
    const bool wasFull = input_.Room() == 0;
    got = static_cast<uint32_t>(input_.Take(buffer, count));
    announced_ = announced_ > got ? announced_ - got : 0;
    if (wasFull && got > 0) socket_.Wake();  // the device's thread may receive again
    return true;
  }

  WriteStatus Write(const uint8_t* data, uint32_t count, uint32_t limitMs,
                    uint32_t& written) override {
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
    // Data goes after the line settings that the negotiation brings.
    cv_.wait_until(lock, until, [&] { return ended() || !negotiating_; });

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
        if (telnet_ && b == telnet::kIac) output_.Put(b);
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

  void InterruptWrites() override {
    {
      std::lock_guard<std::mutex> guard(mu_);
      interrupted_ = true;
    }
    cv_.notify_all();
  }

  bool Purge(uint32_t flags) override {
    std::lock_guard<std::mutex> guard(mu_);
    const bool rx = (flags & (kPurgeRxAbort | kPurgeRxClear)) != 0;
    const bool tx = (flags & (kPurgeTxAbort | kPurgeTxClear)) != 0;
    if (rx) {
      if (input_.Room() == 0) socket_.Wake();
      input_.Clear();
      announced_ = 0;
    }
    if (rx || tx) {
      // The values combine bitwise: receive 1 | transmit 2 = both 3.
      const uint8_t what = static_cast<uint8_t>((rx ? comport::kPurgeReceive : 0) |
                                                (tx ? comport::kPurgeTransmit : 0));
      if (comport_on_) {
        QueueComPortLocked(comport::kPurgeData, &what, 1);
      } else if (negotiating_) {
        pending_purge_ |= what;  // sent once the access server agrees
      }
    }
    return true;
  }

 private:
  // --- the device's thread ---

  void Run() {
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
      if (negotiating_) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(negotiation_end_ - SteadyClock::now());
        if (left.count() <= 0) {
          negotiating_ = false;
          pending_purge_ = 0;
          cv_.notify_all();
        } else {
          timeoutMs = static_cast<int>(left.count());
        }
      }
      const bool wantRead = input_.Room() > 0;
      const bool wantWrite = output_.Count() > 0;
      lock.unlock();
      const SocketEvents events = socket_.Wait(wantRead, wantWrite, timeoutMs);
      lock.lock();
      if (events.readable) ReceiveLocked(chunk);
      if (events.writable && connected_) SendLocked();
    }
  }

  void ConnectedLocked() {
    connected_ = true;
    decoder_.Reset();
    options_.Reset();
    comport_on_ = false;
    sent_valid_ = false;
    negotiating_ = false;
    pending_purge_ = 0;
    if (telnet_ && options_.RequestLocal(telnet::kOptionComPort)) {
      QueueNegotiationLocked(telnet::kWill, telnet::kOptionComPort);
      negotiating_ = true;
      negotiation_end_ = SteadyClock::now() + kNegotiationLimit;
    }
    cv_.notify_all();
  }

  void DropLocked() {
    socket_.Disconnect();
    connected_ = false;
    negotiating_ = false;
    comport_on_ = false;
    // What was not sent belonged to the lost connection.
    output_done_ += output_.Count();
    output_.Clear();
    cv_.notify_all();
  }

  void ReceiveLocked(uint8_t* chunk) {
    size_t got = 0;
    const IoStatus status = socket_.Receive(chunk, std::min(input_.Room(), kReceiveChunk), got);
    if (status == IoStatus::kWouldBlock) return;
    if (status != IoStatus::kDone) {
      DropLocked();
      return;
    }
    // Decoded in place: data never runs ahead of the bytes it came from.
    const size_t data = telnet_ ? decoder_.Feed(chunk, got, chunk, *this) : got;
    input_.Put(chunk, data);
    if (data > 0) cv_.notify_all();
  }

  void SendLocked() {
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

  // --- Telnet ---

  void OnNegotiation(uint8_t verb, uint8_t option) override {
    const uint8_t answer = options_.Receive(verb, option);
    if (answer != 0) QueueNegotiationLocked(answer, option);
    const bool on = options_.LocalEnabled(telnet::kOptionComPort);
    if (on && !comport_on_) {
      comport_on_ = true;
      QueueLineSettingsLocked();
      if (pending_purge_ != 0) QueueComPortLocked(comport::kPurgeData, &pending_purge_, 1);
    }
    comport_on_ = on;
    if (!options_.LocalPending(telnet::kOptionComPort)) pending_purge_ = 0;
    if (negotiating_ && !options_.LocalPending(telnet::kOptionComPort)) {
      negotiating_ = false;
      cv_.notify_all();
    }
  }

  // The access server's answers and notifications carry nothing the port needs.
  void OnSubnegotiation(const uint8_t*, size_t) override {}

  // Control bytes go whole or not at all (the output is full only when the
  // peer reads nothing).
  void QueueLocked(const uint8_t* bytes, size_t n) {
    if (!connected_ || output_.Room() < n) return;
    output_.Put(bytes, n);
    queued_total_ = output_done_ + output_.Count();
    socket_.Wake();
  }

  void QueueNegotiationLocked(uint8_t verb, uint8_t option) {
    const uint8_t bytes[3] = {telnet::kIac, verb, option};
    QueueLocked(bytes, sizeof bytes);
  }

  void QueueComPortLocked(uint8_t code, const uint8_t* value, size_t n) {
    uint8_t bytes[telnet::ComPortCommandSize(4)];
    QueueLocked(bytes, telnet::ComPortCommand(code, value, n, bytes));
  }

  // The settings that differ from those sent on this connection.
  void QueueLineSettingsLocked() {
    const LineSettings now = ToLineSettings(dcb_);
    const bool all = !sent_valid_;
    if (all || now.baud != sent_.baud) {
      const uint8_t baud[4] = {static_cast<uint8_t>(now.baud >> 24),
                               static_cast<uint8_t>(now.baud >> 16),
                               static_cast<uint8_t>(now.baud >> 8), static_cast<uint8_t>(now.baud)};
      QueueComPortLocked(comport::kSetBaudRate, baud, 4);
    }
    if (all || now.dataSize != sent_.dataSize) {
      QueueComPortLocked(comport::kSetDataSize, &now.dataSize, 1);
    }
    if (all || now.parity != sent_.parity) QueueComPortLocked(comport::kSetParity, &now.parity, 1);
    if (all || now.stopSize != sent_.stopSize) {
      QueueComPortLocked(comport::kSetStopSize, &now.stopSize, 1);
    }
    if (all || now.control != sent_.control) {
      QueueComPortLocked(comport::kSetControl, &now.control, 1);
    }
    sent_ = now;
    sent_valid_ = true;
  }

  const uint16_t port_;
  const NetAddress address_;
  const bool telnet_;
  NetSocket socket_;
  std::thread thread_;
  std::atomic<bool> stop_{false};

  std::mutex mu_;  // guards everything below
  std::condition_variable cv_;
  Ring input_;                 // decoded data
  Ring output_;                // encoded bytes for the socket
  uint64_t queued_total_ = 0;  // bytes ever put into output_
  uint64_t output_done_ = 0;   // bytes ever sent from output_ or dropped with a connection
  bool connected_ = false;
  bool connect_wanted_ = false;
  uint64_t connect_rounds_ = 0;  // connection requests handled
  SteadyClock::time_point last_attempt_{};
  bool negotiating_ = false;
  SteadyClock::time_point negotiation_end_{};
  bool interrupted_ = false;
  uint32_t mask_ = 0;
  uint64_t mask_generation_ = 0;
  uint32_t announced_ = 0;  // input bytes reported by EV_RXCHAR and not read since
  CommTimeouts timeouts_;
  Dcb dcb_;
  telnet::Decoder decoder_;
  telnet::Options options_{
      {telnet::kOptionBinary, telnet::kOptionSuppressGoAhead, telnet::kOptionComPort},
      {telnet::kOptionBinary, telnet::kOptionSuppressGoAhead, telnet::kOptionComPort}};
  bool comport_on_ = false;
  uint8_t pending_purge_ = 0;  // PURGE-DATA asked for while negotiating
  bool sent_valid_ = false;
  LineSettings sent_;
};

}  // namespace

std::unique_ptr<ISerialDevice> OpenNetDevice(uint16_t port, const NetAddress& address) {
  if (!Held().Claim(port)) return nullptr;
  auto device = std::make_unique<NetDevice>(port, address);  // releases the claim when it goes
  if (!device->Open()) return nullptr;
  return device;
}

}  // namespace vr
