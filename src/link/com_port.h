#pragma once
// TComPort: exclusive use of one serial port COM<n>. Outgoing blocks
// go through a 4096-byte transmit ring drained by the port's transmit thread;
// incoming bytes are moved into an 8192-byte receive ring by the port's
// comm-event thread, which then calls BytesArrived. Callers never wait on the
// device. The device is an ISerialDevice (serial_device.h) opened through
// OpenSerialDevice, so the logic here is written once for every platform.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "link/event.h"
#include "link/serial_device.h"

namespace vr {

// The serial port's exception family. ESerialIO itself is never raised.
class ESerialIO : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class ENotSupported : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
};
class EOpenPortFail : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
};
class EPutBlockFail : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
};
class EOutputBufferTooSmall : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
};
class EBufferIsEmpty : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
};
class EPortNotOpen : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
};

// Message formats; "%d" is replaced by the port number.
inline constexpr const char* kMsgOpenPortFail = "Невозможно открыть COM%d";
inline constexpr const char* kMsgSetupNotSupported = "Setup parameter not supported for COM%d";
inline constexpr const char* kMsgParamNotSupported = "Parameter not supported for COM%d";
inline constexpr const char* kMsgPortNotOpen = "Port COM%d not open";
inline constexpr const char* kMsgBufferIsEmpty = "Buffer is empty for port COM%d";
inline constexpr const char* kMsgBufferTooSmall = "Buffer too small for port COM%d";
inline constexpr const char* kMsgOutputError = "Output error for port COM%d";

// The format with its "%d" replaced by the decimal port number.
std::string FormatPortMessage(const char* format, uint16_t port);

class TComPort {
 public:
  static constexpr uint32_t kReceiveRingSize = 8192;
  static constexpr uint16_t kDefaultQueueSize = 4096;
  static constexpr uint32_t kDefaultBaudRate = 5760;  // sic: not 57600
  static constexpr uint32_t kEventMask = 0x21FD;
  static constexpr uint32_t kEventMaskFallback = 0x01FD;
  static constexpr uint32_t kStartAckMs = 3000;
  static constexpr uint32_t kStopAckMs = 200;
  static constexpr uint32_t kWriteCompletionLimitMs = 60000;
  static constexpr uint32_t kDeviceWriteTimeoutMs = 20000;
  // A device that fails outright is retried at this pace, not at once.
  static constexpr uint32_t kFailurePaceMs = 50;

  // Stores the defaults; opens the port at once when port is not 0 (throws the
  // ESerialIO family; nothing stays acquired then).
  explicit TComPort(uint16_t port);
  virtual ~TComPort();
  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;

  // Store the value; on an open port apply it (ENotSupported when refused; the
  // value stays stored).
  void SetBaudRate(uint32_t rate);
  void SetDataBits(uint8_t bits);
  void SetParity(uint8_t parity);

  // Discards all received, unread bytes in the device and in the receive ring.
  void PurgeInput();
  // Takes the oldest unread byte; never waits (EBufferIsEmpty when none).
  uint8_t ReadByte();
  // Copies count bytes into the transmit ring and wakes the transmit thread.
  void PutBlock(const uint8_t* buffer, uint16_t count);

  // Read-only views (for users and tests).
  bool IsOpen() const { return open_.load(std::memory_order_acquire); }
  uint32_t BaudRate() const { return baud_rate_; }
  uint8_t DataBits() const { return data_bits_; }
  uint8_t Parity() const { return parity_; }
  // Unread bytes in the receive ring / bytes waiting in the transmit ring.
  uint32_t ReceiveCount() const;
  uint32_t TransmitCount() const;

 protected:
  // Tag for a derived class that must finish its own construction before the
  // threads start (they call BytesArrived): it calls Open() itself.
  struct DeferOpen {};
  TComPort(uint16_t port, DeferOpen);
  // A port reached by an address rather than a number (OpenSerialDeviceAt);
  // its number, in messages, is 0.
  TComPort(std::string address, DeferOpen);

  // Slot 0: called on the comm-event thread after each receive pass that found
  // bytes waiting in the device, with the number of bytes the pass moved into
  // the receive ring (possibly 0). No lock is held. An override takes exactly
  // count bytes with ReadByte.
  virtual void BytesArrived(int count);

  void Open();
  // Stops the threads and releases everything; does nothing on a closed port.
  // A derived class that overrides BytesArrived calls it in its own destructor,
  // so that the comm-event thread is gone before the derived part is.
  void Close();
  // rate 0, parity 5, data bits 9 and stop-bit code 3 mean "leave unchanged".
  void ApplySettings(uint32_t rate, uint8_t parity, uint8_t dataBits, uint8_t stopBitCode);
  // Device error flags (0 when the request fails); stat gets the device input
  // count and, as output count, the bytes waiting in the transmit ring.
  uint32_t GetStatus(ComStat& stat);
  // The byte at 1-based position among the unread bytes, not taken.
  uint8_t PeekByte(uint32_t position);

  // The port lock (recursive); a derived class may guard its own state with it.
  std::recursive_mutex& PortLock() const { return lock_; }

  // The write-completion limit (60000 ms; tests shorten it).
  void SetWriteCompletionLimitMs(uint32_t ms) { write_limit_ms_.store(ms); }

  // The device while the port is open (for tests of derived classes).
  ISerialDevice* Device() const { return device_.get(); }

 private:
  void StartThreads();
  void StopThreads();
  void CommEventThread();
  void TransmitThread();
  void ReceivePass();
  void TransmitPump();
  void ReleaseResources();
  uint32_t TransmitCountLocked() const;
  uint32_t ReceiveCountLocked() const;
  bool Stopping() const { return stop_.load(std::memory_order_acquire) != 0; }

  // The port's fields (the Win32 OVERLAPPED records, the status record and
  // the event word live inside the device and the threads).
  uint32_t baud_rate_ = kDefaultBaudRate;
  uint16_t port_ = 0;
  std::string address_;
  uint8_t data_bits_ = 8;
  uint8_t stop_bits_ = 1;
  uint8_t parity_ = 0;
  uint16_t output_queue_size_ = kDefaultQueueSize;
  uint16_t input_queue_size_ = kDefaultQueueSize;
  std::atomic<bool> open_{false};
  std::unique_ptr<ISerialDevice> device_;
  Dcb dcb_;  // as last read from the device (under lock_)
  bool rx_full_ = false;
  std::atomic<int32_t> stop_{0};  // 0 run, -1 stop
  std::thread comm_thread_;
  std::thread transmit_thread_;
  mutable std::recursive_mutex lock_;
  // Acknowledgments: one event per thread. (The Win32 design shares one
  // auto-reset event; when both threads acknowledge before StopThreads waits,
  // the two signals merge into one and the second wait runs out its 200 ms.)
  Event comm_ack_{Event::Mode::kAutoReset};
  Event transmit_ack_{Event::Mode::kAutoReset};
  Event wake_{Event::Mode::kAutoReset};
  // Set by StopThreads so that every paced wait of the threads ends at once.
  Event stop_event_{Event::Mode::kManualReset};
  std::atomic<uint32_t> write_limit_ms_{kWriteCompletionLimitMs};
  std::unique_ptr<uint8_t[]> tx_ring_;
  uint16_t tx_write_ = 0;
  uint16_t tx_read_ = 0;
  bool tx_full_ = false;
  std::unique_ptr<uint8_t[]> rx_ring_;
  uint16_t rx_write_ = 0;
  uint16_t rx_read_ = 0;
  // Counts PurgeInput calls, so that a receive pass that overlapped a purge
  // drops what it read from before the purge (under lock_).
  uint32_t rx_purge_count_ = 0;
};

}  // namespace vr
