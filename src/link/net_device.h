#pragma once
// ISerialDevice over TCP, for a COM<n> that [Ports] maps to "tcp://HOST:PORT"
// (tcp_device.cpp: the bytes as they are; the line settings are accepted and
// do nothing) or "rfc2217://HOST:PORT" (rfc2217_device.cpp: Telnet with the
// COM-PORT-OPTION; the line settings and purges go to the access server, IAC
// is doubled both ways).
//
// NetDevice, the part both share, owns one thread that alone touches the
// socket: it connects, sends the output queue, and puts what arrives, decoded
// by the kind, into the input queue. The port's threads block on a condition
// variable for input (WaitEvent) and for the output to leave (Write), so
// TComPort and TUrovn run over it unchanged. Nothing is allocated after Open.
//
// Connection life: the first connection is made by OpenNetDevice (3 s at
// most; failing, the port fails to open). A connection that drops is made
// again when the next request is written, at most once a second; bytes
// written while there is none are lost, as on a line without a gauge.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "config/port_address.h"
#include "link/net_socket.h"
#include "link/serial_device.h"

namespace vr {

// Connects to `address` for COM<port>; nullptr when the connection cannot be
// made or this process holds the link of COM<port> already.
std::unique_ptr<ISerialDevice> OpenNetDevice(uint16_t port, const NetAddress& address);

// A byte ring of fixed size, allocated once.
class ByteRing {
 public:
  explicit ByteRing(size_t size) : data_(new uint8_t[size]), size_(size) {}
  size_t Count() const { return count_; }
  size_t Room() const { return size_ - count_; }
  void Put(uint8_t b) {
    data_[(head_ + count_) % size_] = b;
    ++count_;
  }
  void Put(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) Put(p[i]);
  }
  size_t Take(uint8_t* p, size_t n);
  // The bytes from the head up to the end of the storage.
  const uint8_t* Head(size_t& n) const {
    n = count_ < size_ - head_ ? count_ : size_ - head_;
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

class NetDevice : public ISerialDevice {
 public:
  ~NetDevice() override;

  // Takes COM<port> for this process; false when it is held already.
  bool Claim();
  // Resolves the address and makes the first connection in the caller's
  // thread, then starts the device's thread.
  bool Open();

  bool SetupQueues(uint32_t inputSize, uint32_t outputSize) final;
  bool GetState(Dcb& dcb) final;
  bool SetState(const Dcb& dcb) final;
  bool SetTimeouts(const CommTimeouts& timeouts) final;
  bool SetEventMask(uint32_t mask) final;
  WaitResult WaitEvent(uint32_t& events) final;
  bool ClearError(uint32_t& errors, ComStat& stat) final;
  bool Read(uint8_t* buffer, uint32_t count, uint32_t& got) final;
  WriteStatus Write(const uint8_t* data, uint32_t count, uint32_t limitMs, uint32_t& written) final;
  void InterruptWrites() final;
  bool Purge(uint32_t flags) final;

 protected:
  NetDevice(uint16_t port, const NetAddress& address);
  // Ends the device's thread. The destructor of each kind calls it first:
  // the thread calls the hooks below.
  void Stop();

  // The kind's hooks, called with the device's lock held.
  // A connection was made (also the first one).
  virtual void OnConnected() {}
  // Bytes received: the data bytes, decoded in place; returns their count.
  virtual size_t Decode(uint8_t* /*bytes*/, size_t n) { return n; }
  // Whether a data byte goes on the wire twice.
  virtual bool Doubled(uint8_t) const { return false; }
  // SetState stored new line settings.
  virtual void OnStateChanged() {}
  // Purge was asked for (after the input queue was emptied for rx).
  virtual void OnPurge(bool /*rx*/, bool /*tx*/) {}

  // For the hooks, with the lock held.
  // Control bytes go whole or not at all, and only while connected (the
  // output is full only when the peer reads nothing).
  void QueueLocked(const uint8_t* bytes, size_t n);
  // Written data waits until ReleaseDataLocked or until `limit` has passed.
  void HoldDataLocked(std::chrono::milliseconds limit);
  void ReleaseDataLocked();
  const Dcb& StateLocked() const { return dcb_; }

 private:
  using SteadyClock = std::chrono::steady_clock;

  void Run();
  void ConnectedLocked();
  void DropLocked();
  void ReceiveLocked(uint8_t* chunk, size_t size);
  void SendLocked();

  const uint16_t port_;
  const NetAddress address_;
  bool claimed_ = false;
  NetSocket socket_;
  std::thread thread_;
  std::atomic<bool> stop_{false};

  std::mutex mu_;  // guards everything below
  std::condition_variable cv_;
  ByteRing input_;             // decoded data
  ByteRing output_;            // bytes for the socket
  uint64_t queued_total_ = 0;  // bytes ever put into output_
  uint64_t output_done_ = 0;   // bytes ever sent from output_ or dropped with a connection
  bool connected_ = false;
  bool connect_wanted_ = false;
  uint64_t connect_rounds_ = 0;  // connection requests handled
  SteadyClock::time_point last_attempt_{};
  bool holding_ = false;
  SteadyClock::time_point hold_end_{};
  bool interrupted_ = false;
  uint32_t mask_ = 0;
  uint64_t mask_generation_ = 0;
  uint32_t announced_ = 0;  // input bytes reported by EV_RXCHAR and not read since
  CommTimeouts timeouts_;
  Dcb dcb_;
};

// The two kinds.
std::unique_ptr<NetDevice> MakeTcpDevice(uint16_t port, const NetAddress& address);
std::unique_ptr<NetDevice> MakeRfc2217Device(uint16_t port, const NetAddress& address);

}  // namespace vr
