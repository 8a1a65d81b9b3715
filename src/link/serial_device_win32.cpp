// Win32 backend of ISerialDevice: COM<n> through the serial communications
// API, one call per operation of the interface (serial_device.h).
//
// The device handle is opened for overlapped I/O; each of the three requests
// (event wait, read, write) has its own OVERLAPPED record with a manual-reset
// event, because the port issues them from three threads at once.
//
// Where an emulated port (Wine) departs from Windows, the Windows behaviour is
// kept here:
// - a second CreateFileA of a port that is open is refused (no sharing); the
//   process also keeps its own record of the ports it holds, because Wine
//   hands out a second handle;
// - a read with ReadIntervalTimeout MAXDWORD returns at once; Wine leaves it
//   pending while nothing has arrived, so a pending read is given a moment and
//   then cancelled, keeping whatever it got;
// - a change of the event mask ends a pending wait with success and no
//   events; Wine ends it with ERROR_OPERATION_ABORTED instead (and may abort a
//   wait on its own), so an aborted wait is taken as one that ended without
//   events;
// - a wait with the mask 0 is refused with ERROR_INVALID_PARAMETER; Wine lets
//   it pend until the mask changes;
// - a request's result is stored before its event is signalled; Wine's event
//   wait can end before WaitCommEvent has stored "pending", which then stays,
//   so a wait whose event came is taken as ended, with the event word it
//   filled.
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "link/port_claims.h"
#include "link/serial_device.h"

namespace vr {
namespace {

// How long a read that the device left pending may take before it is
// cancelled; with the port's timeouts a read normally completes at once.
constexpr DWORD kPendingReadGraceMs = 50;

// How long a request may still read as pending after its completion signal
// before its record is taken as stale.
constexpr int kResultLagLimitMs = 50;

// The DCB's bit-field word follows DCBlength and BaudRate.
constexpr size_t kDcbFlagsOffset = offsetof(DCB, BaudRate) + sizeof(DWORD);
static_assert(offsetof(DCB, wReserved) == kDcbFlagsOffset + sizeof(DWORD),
              "the DCB flags are one 32-bit word");

// The ports this process holds open.
PortClaims& HeldPorts() {
  static PortClaims ports;
  return ports;
}

// A Win32 handle closed on destruction (events and the device).
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~Handle() {
    if (h_) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HANDLE h_ = nullptr;
};

HANDLE ManualResetEvent() {
  return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

// Waits for an overlapped request to finish and takes its result (false with
// error set when it failed).
bool FinishRequest(HANDLE device, OVERLAPPED& request, DWORD& transferred, DWORD& error) {
  WaitForSingleObject(request.hEvent, INFINITE);
  for (int ms = 0; !HasOverlappedIoCompleted(&request) && ms < kResultLagLimitMs; ++ms) Sleep(1);
  const BOOL ok = GetOverlappedResult(device, &request, &transferred, FALSE);
  error = ok ? 0 : GetLastError();
  ResetEvent(request.hEvent);
  return ok != FALSE;
}

void ToDcb(const Dcb& from, DCB& to) {
  to.BaudRate = from.BaudRate;
  std::memcpy(reinterpret_cast<char*>(&to) + kDcbFlagsOffset, &from.Flags, sizeof from.Flags);
  to.XonLim = from.XonLim;
  to.XoffLim = from.XoffLim;
  to.ByteSize = from.ByteSize;
  to.Parity = from.Parity;
  to.StopBits = from.StopBits;
  to.XonChar = from.XonChar;
  to.XoffChar = from.XoffChar;
  to.ErrorChar = from.ErrorChar;
  to.EofChar = from.EofChar;
  to.EvtChar = from.EvtChar;
}

void FromDcb(const DCB& from, Dcb& to) {
  to.BaudRate = from.BaudRate;
  std::memcpy(&to.Flags, reinterpret_cast<const char*>(&from) + kDcbFlagsOffset, sizeof to.Flags);
  to.XonLim = from.XonLim;
  to.XoffLim = from.XoffLim;
  to.ByteSize = from.ByteSize;
  to.Parity = from.Parity;
  to.StopBits = from.StopBits;
  to.XonChar = from.XonChar;
  to.XoffChar = from.XoffChar;
  to.ErrorChar = from.ErrorChar;
  to.EofChar = from.EofChar;
  to.EvtChar = from.EvtChar;
}

class Win32SerialDevice final : public ISerialDevice {
 public:
  Win32SerialDevice(uint16_t port, HANDLE device)
      : port_(port),
        device_(device),
        wait_event_(ManualResetEvent()),
        read_event_(ManualResetEvent()),
        write_event_(ManualResetEvent()),
        interrupt_event_(ManualResetEvent()) {
    wait_request_.hEvent = wait_event_.get();
    read_request_.hEvent = read_event_.get();
    write_request_.hEvent = write_event_.get();
  }

  ~Win32SerialDevice() override {
    // The port has stopped its threads, so no request is pending any more.
    HeldPorts().Release(port_);
  }

  bool Valid() const { return wait_event_ && read_event_ && write_event_ && interrupt_event_; }

  bool SetupQueues(uint32_t inputSize, uint32_t outputSize) override {
    return SetupComm(device_.get(), inputSize, outputSize) != FALSE;
  }

  bool GetState(Dcb& dcb) override {
    DCB state{};
    state.DCBlength = sizeof state;
    if (!GetCommState(device_.get(), &state)) return false;
    std::lock_guard<std::mutex> guard(dcb_mu_);
    last_state_ = state;
    have_state_ = true;
    FromDcb(state, dcb);
    return true;
  }

  bool SetState(const Dcb& dcb) override {
    DCB state{};
    state.DCBlength = sizeof state;
    bool known = false;
    {
      // The fields that Dcb does not carry stay as the device reported them.
      std::lock_guard<std::mutex> guard(dcb_mu_);
      if (have_state_) {
        state = last_state_;
        known = true;
      }
    }
    if (!known && !GetCommState(device_.get(), &state)) return false;
    ToDcb(dcb, state);
    return SetCommState(device_.get(), &state) != FALSE;
  }

  bool SetTimeouts(const CommTimeouts& timeouts) override {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
    t.ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
    t.ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
    t.WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
    t.WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
    return SetCommTimeouts(device_.get(), &t) != FALSE;
  }

  bool SetEventMask(uint32_t mask) override {
    std::lock_guard<std::mutex> guard(mask_mu_);
    // Counted first, so that a wait starting meanwhile can tell (WaitEvent).
    mask_changes_.fetch_add(1, std::memory_order_acq_rel);
    if (!SetCommMask(device_.get(), mask)) return false;
    mask_.store(mask, std::memory_order_release);
    return true;
  }

  WaitResult WaitEvent(uint32_t& events) override {
    if (mask_.load(std::memory_order_acquire) == 0) {
      return {WaitStatus::kRefused, kErrorInvalidParameter};
    }
    const uint32_t changes = mask_changes_.load(std::memory_order_acquire);
    event_word_ = 0;
    ResetEvent(wait_event_.get());
    if (WaitCommEvent(device_.get(), &event_word_, &wait_request_)) {
      events = event_word_;
      return {WaitStatus::kComplete, 0};
    }
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) return {WaitStatus::kRefused, error};
    // A mask change that came between the check above and the start of the
    // wait may have found no wait to end (and Wine lets a wait on the mask 0
    // pend): set the mask again so that this one ends.
    if (mask_changes_.load(std::memory_order_acquire) != changes) {
      std::lock_guard<std::mutex> guard(mask_mu_);
      SetCommMask(device_.get(), mask_.load(std::memory_order_acquire));
    }
    // Pending: no time limit; SetEventMask(0) ends it at stop.
    DWORD unused = 0;
    DWORD failure = 0;
    if (FinishRequest(device_.get(), wait_request_, unused, failure)) {
      events = event_word_;
      return {WaitStatus::kComplete, 0};
    }
    if (failure == ERROR_IO_INCOMPLETE && event_word_ != 0) {
      // Signalled but still recorded as pending: Wine's wait can end before
      // WaitCommEvent stores "pending", which then stays. The event word is
      // filled all the same.
      events = event_word_;
      return {WaitStatus::kComplete, 0};
    }
    if (failure == ERROR_OPERATION_ABORTED || failure == ERROR_IO_INCOMPLETE) {
      // Ended without events: by a change of mask (Wine reports it so), or
      // cancelled by the device.
      events = 0;
      return {WaitStatus::kComplete, 0};
    }
    return {WaitStatus::kResultLost, failure};
  }

  bool ClearError(uint32_t& errors, ComStat& stat) override {
    DWORD flags = 0;
    COMSTAT status{};
    if (!ClearCommError(device_.get(), &flags, &status)) return false;
    errors = flags;
    stat.cbInQue = status.cbInQue;
    stat.cbOutQue = status.cbOutQue;
    return true;
  }

  bool Read(uint8_t* buffer, uint32_t count, uint32_t& got) override {
    got = 0;
    if (count == 0) return true;
    ResetEvent(read_event_.get());
    DWORD n = 0;
    if (ReadFile(device_.get(), buffer, count, &n, &read_request_)) {
      got = n;
      return true;
    }
    if (GetLastError() != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(read_event_.get(), kPendingReadGraceMs) != WAIT_OBJECT_0) {
      CancelIoEx(device_.get(), &read_request_);
    }
    // A cancelled read keeps what it had.
    DWORD error = 0;
    if (!FinishRequest(device_.get(), read_request_, n, error) &&
        error != ERROR_OPERATION_ABORTED) {
      return false;
    }
    got = n;
    return true;
  }

  WriteStatus Write(const uint8_t* data, uint32_t count, uint32_t limitMs,
                    uint32_t& written) override {
    written = 0;
    if (WaitForSingleObject(interrupt_event_.get(), 0) == WAIT_OBJECT_0) {
      return WriteStatus::kInterrupted;
    }
    ResetEvent(write_event_.get());
    DWORD n = 0;
    if (WriteFile(device_.get(), data, count, &n, &write_request_)) {
      written = n;
      return WriteStatus::kComplete;
    }
    if (GetLastError() != ERROR_IO_PENDING) return WriteStatus::kFailed;
    const HANDLE waits[2] = {write_event_.get(), interrupt_event_.get()};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, limitMs);
    // Limit passed or interrupted: cancel, and let the request finish either
    // way, so that the record and the buffer may be used again.
    if (woke != WAIT_OBJECT_0) CancelIoEx(device_.get(), &write_request_);
    DWORD error = 0;
    if (FinishRequest(device_.get(), write_request_, n, error)) {
      written = n;  // also when it completed before the cancel took
      return WriteStatus::kComplete;
    }
    if (woke == WAIT_OBJECT_0) return WriteStatus::kFailed;
    return woke == WAIT_OBJECT_0 + 1 ? WriteStatus::kInterrupted : WriteStatus::kTimedOut;
  }

  void InterruptWrites() override { SetEvent(interrupt_event_.get()); }

  bool Purge(uint32_t flags) override { return PurgeComm(device_.get(), flags) != FALSE; }

 private:
  const uint16_t port_;
  Handle device_;
  Handle wait_event_;
  Handle read_event_;
  Handle write_event_;
  Handle interrupt_event_;  // set by InterruptWrites, never reset
  OVERLAPPED wait_request_{};
  OVERLAPPED read_request_{};
  OVERLAPPED write_request_{};
  DWORD event_word_ = 0;  // filled by the pending wait
  std::mutex mask_mu_;    // orders the mask changes
  std::atomic<uint32_t> mask_{0};
  std::atomic<uint32_t> mask_changes_{0};
  std::mutex dcb_mu_;
  DCB last_state_{};  // as last read, for the fields that Dcb does not carry
  bool have_state_ = false;
};

}  // namespace

std::unique_ptr<ISerialDevice> OpenPlatformSerialDevice(uint16_t port) {
  if (!HeldPorts().Claim(port)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  char path[32];
  std::snprintf(path, sizeof path, "\\\\.\\COM%d", static_cast<int>(port));
  const HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    HeldPorts().Release(port);
    return nullptr;
  }
  auto device = std::make_unique<Win32SerialDevice>(port, h);  // owns h and the claim
  if (!device->Valid()) return nullptr;
  return device;
}

// Device paths are a POSIX form of address.
std::unique_ptr<ISerialDevice> OpenPlatformSerialDeviceAt(const std::string&) {
  return nullptr;
}

}  // namespace vr
