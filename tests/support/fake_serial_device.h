#pragma once
// An in-memory serial device for deterministic tests of the port, the direct
// link and the exchange. The test keeps a FakeSerialPort (the shared state) and
// hands devices made by MakeDevice() to the port through the factory hook, so
// it can still reach the device after TComPort owns it:
//
//   auto fake = std::make_shared<FakeSerialPort>();
//   ScopedFakeSerialPorts ports({{3, fake}});   // COM3 opens `fake`
//   TUrovn link(3);
//   fake->SetOnWrite([&](const uint8_t* p, size_t n) { fake->InjectInput(reply); });
//
// Behaves like a UART behind the Win32 interface: an input queue of 4096 bytes
// (excess is dropped and flagged CE_RXOVER), EV_RXCHAR raised by InjectInput
// and remembered until the next wait, a change of mask ending a pending wait,
// mask 0 refused with 87. Everything written is recorded, chunk by chunk.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "link/serial_device.h"

namespace vr {

class FakeSerialPort : public std::enable_shared_from_this<FakeSerialPort> {
 public:
  static constexpr size_t kInputQueueSize = 4096;
  using WriteHook = std::function<void(const uint8_t* data, size_t count)>;

  FakeSerialPort();
  FakeSerialPort(const FakeSerialPort&) = delete;
  FakeSerialPort& operator=(const FakeSerialPort&) = delete;

  // A device on this state (nullptr when RefuseOpen is set or a device made
  // here is still open, as an exclusive port would).
  std::unique_ptr<ISerialDevice> MakeDevice();

  // --- Behaviour switches -------------------------------------------------
  void RefuseOpen(bool refuse);
  void RefuseQueueSizes(bool refuse);  // SetupQueues fails
  void RefuseSettings(bool refuse);    // SetState fails (the settings stay as they were)
  void RefuseMask21FD(bool refuse);    // waits refused with 87 while the mask holds 0x2000
  void FailWrites(bool fail);          // Write fails at once (kFailed)
  void FailWaits(bool fail);           // WaitEvent refused at once with kErrorGenFailure
  // Every write takes this long (interruptible); 0 = completes at once.
  void SetWriteDelayMs(uint32_t ms);
  // While blocked, writes wait (for Unblock, an interrupt or their limit).
  void BlockWrites(bool block);
  // Called on the writing (transmit) thread after each completed write, with no
  // lock of the fake held; it may call InjectInput to answer.
  void SetOnWrite(WriteHook hook);

  // --- Input --------------------------------------------------------------
  // Appends bytes to the input queue (beyond 4096 they are dropped) and raises
  // EV_RXCHAR when at least one was taken.
  void InjectInput(const uint8_t* data, size_t count);
  void InjectInput(const std::vector<uint8_t>& bytes) { InjectInput(bytes.data(), bytes.size()); }
  void InjectInput(const std::string& bytes);
  // Raises device events (e.g. kEvBreak) and error flags for ClearError.
  void RaiseEvents(uint32_t events, uint32_t errorFlags = 0);

  // --- Observation ----------------------------------------------------------
  std::vector<uint8_t> Written() const;                   // all bytes written
  std::vector<std::vector<uint8_t>> WriteChunks() const;  // one entry per completed write
  void ClearWritten();
  size_t InputQueued() const;
  Dcb State() const;
  void SetInitialState(const Dcb& dcb);  // what GetState reports before any SetState
  uint32_t EventMask() const;
  CommTimeouts Timeouts() const;
  uint32_t QueueInputSize() const;
  uint32_t QueueOutputSize() const;
  // Counters of calls.
  int OpenDevices() const;  // devices made here and not yet destroyed
  int DevicesMade() const;  // all devices made here
  int WaitCalls() const;
  // True while no input is queued and a waiter is parked in WaitEvent: the
  // receive pass that took the last input has run to its end.
  bool InputTakenAndWaiting() const;
  int WriteCalls() const;
  int PurgeCalls() const;
  std::vector<uint32_t> ReadRequests() const;  // the count asked by each Read

  // Waits until pred(*this) holds or ms pass; true when it holds. The fake's
  // lock is not held while pred runs.
  bool WaitUntil(const std::function<bool()>& pred, uint32_t ms) const;

 private:
  friend class FakeSerialDevice;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  // switches
  bool refuse_open_ = false;
  bool refuse_queues_ = false;
  bool refuse_settings_ = false;
  bool refuse_21fd_ = false;
  bool fail_writes_ = false;
  bool fail_waits_ = false;
  uint32_t write_delay_ms_ = 0;
  bool block_writes_ = false;
  WriteHook on_write_;
  // device state
  Dcb dcb_;
  CommTimeouts timeouts_;
  uint32_t queue_in_ = 0;
  uint32_t queue_out_ = 0;
  uint32_t mask_ = 0;
  uint64_t mask_generation_ = 0;
  uint32_t pending_events_ = 0;
  uint32_t error_flags_ = 0;
  std::deque<uint8_t> input_;
  bool interrupted_ = false;
  std::vector<uint8_t> written_;
  std::vector<std::vector<uint8_t>> chunks_;
  // counters
  int open_devices_ = 0;
  int devices_made_ = 0;
  int wait_calls_ = 0;
  int parked_waiters_ = 0;
  int write_calls_ = 0;
  int purge_calls_ = 0;
  std::vector<uint32_t> read_requests_;
  uint64_t change_counter_ = 0;  // bumped on every change; WaitUntil wakes on it
};

// Installs a factory that opens the given fakes by port number (other numbers
// are missing ports) for the life of the object.
class ScopedFakeSerialPorts {
 public:
  explicit ScopedFakeSerialPorts(std::map<uint16_t, std::shared_ptr<FakeSerialPort>> ports);
  ~ScopedFakeSerialPorts();
  ScopedFakeSerialPorts(const ScopedFakeSerialPorts&) = delete;
  ScopedFakeSerialPorts& operator=(const ScopedFakeSerialPorts&) = delete;
  int OpenAttempts() const;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace vr
