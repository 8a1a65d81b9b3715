#pragma once
// The serial device under TComPort: exactly the behaviours that the
// port needs of the Win32 serial communications interface, one operation per
// row of the Win32 serial operations the port relies on, so that a Win32 backend maps one
// to one (noted at each operation) and a POSIX backend or an in-memory fake can
// stand in for it. The values (DCB flags, event bits, error flags, purge flags,
// error codes) are the Win32 ones.
//
// Threads: the port calls a device from three threads at once (the caller's,
// the comm-event thread and the transmit thread); every implementation must be
// safe for that. SetEventMask and InterruptWrites are the two operations that
// are meant to be called from another thread to end a blocking call.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vr {

// The Win32 DCB fields that the port reads and writes. `Flags` is the DCB's
// bit-field word, laid out as in Win32 (bit 0 first).
struct Dcb {
  uint32_t BaudRate = 0;
  uint32_t Flags = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = 0;    // NOPARITY 0, ODDPARITY 1, EVENPARITY 2, MARKPARITY 3, SPACEPARITY 4
  uint8_t StopBits = 0;  // ONESTOPBIT 0, ONE5STOPBITS 1, TWOSTOPBITS 2
  char XonChar = 0x11;
  char XoffChar = 0x13;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
};

// DCB flag bits (Win32 bit-field order).
namespace dcb {
constexpr uint32_t kBinary = 1u << 0;
constexpr uint32_t kParity = 1u << 1;
constexpr uint32_t kOutxCtsFlow = 1u << 2;
constexpr uint32_t kOutxDsrFlow = 1u << 3;
constexpr uint32_t kDtrControlShift = 4;  // 2 bits: DISABLE 0, ENABLE 1, HANDSHAKE 2
constexpr uint32_t kDtrControlMask = 3u << kDtrControlShift;
constexpr uint32_t kDsrSensitivity = 1u << 6;
constexpr uint32_t kTxContinueOnXoff = 1u << 7;
constexpr uint32_t kOutX = 1u << 8;
constexpr uint32_t kInX = 1u << 9;
constexpr uint32_t kErrorChar = 1u << 10;
constexpr uint32_t kNull = 1u << 11;
constexpr uint32_t kRtsControlShift =
    12;  // 2 bits (12-13): DISABLE 0, ENABLE 1, HANDSHAKE 2, TOGGLE 3
constexpr uint32_t kRtsControlMask = 3u << kRtsControlShift;
constexpr uint32_t kAbortOnError = 1u << 14;
// What ApplySettings clears: fRtsControl (RTS_CONTROL_DISABLE) and bits 16..31.
constexpr uint32_t kReservedMask = 0xFFFF0000u;
}  // namespace dcb

constexpr uint8_t kOneStopBit = 0;
constexpr uint8_t kOne5StopBits = 1;
constexpr uint8_t kTwoStopBits = 2;

// COMMTIMEOUTS.
struct CommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

// COMSTAT: the counts the port uses (the status bits are not needed).
struct ComStat {
  uint32_t cbInQue = 0;   // bytes in the device's input queue
  uint32_t cbOutQue = 0;  // device output count; the port puts its transmit-ring count here
};

// Event mask bits (SetCommMask / WaitCommEvent: EV_RXCHAR, ...). Named apart from the
// Win32 macros so that a backend can include <windows.h> beside this header.
constexpr uint32_t kEvRxChar = 0x0001;
constexpr uint32_t kEvRxFlag = 0x0002;
constexpr uint32_t kEvTxEmpty = 0x0004;
constexpr uint32_t kEvCts = 0x0008;
constexpr uint32_t kEvDsr = 0x0010;
constexpr uint32_t kEvRlsd = 0x0020;
constexpr uint32_t kEvBreak = 0x0040;
constexpr uint32_t kEvErr = 0x0080;
constexpr uint32_t kEvRing = 0x0100;
constexpr uint32_t kEvRingTe = 0x2000;  // ring trailing edge; some devices refuse it

// ClearCommError error flags (CE_RXOVER, ...).
constexpr uint32_t kCeRxOver = 0x0001;
constexpr uint32_t kCeOverrun = 0x0002;
constexpr uint32_t kCeRxParity = 0x0004;
constexpr uint32_t kCeFrame = 0x0008;
constexpr uint32_t kCeBreak = 0x0010;

// PurgeComm flags (PURGE_TXABORT, ...).
constexpr uint32_t kPurgeTxAbort = 0x0001;
constexpr uint32_t kPurgeRxAbort = 0x0002;
constexpr uint32_t kPurgeTxClear = 0x0004;
constexpr uint32_t kPurgeRxClear = 0x0008;

// Win32 error codes that the port looks at.
constexpr uint32_t kErrorGenFailure = 31;         // ERROR_GEN_FAILURE (device failed)
constexpr uint32_t kErrorInvalidParameter = 87;   // ERROR_INVALID_PARAMETER
constexpr uint32_t kErrorOperationAborted = 995;  // ERROR_OPERATION_ABORTED

// Outcome of WaitEvent.
enum class WaitStatus {
  kComplete,    // the wait ended; `events` holds what occurred (0 when the mask was changed)
  kRefused,     // WaitCommEvent refused at once with `error` (e.g. 87); `events` untouched
  kResultLost,  // a pending wait ended but its result could not be fetched
};
struct WaitResult {
  WaitStatus status;
  uint32_t error;  // Win32 error code for kRefused / kResultLost, else 0
};

// Outcome of Write.
enum class WriteStatus {
  kComplete,     // the write completed (possibly short, after the device write timeout)
  kFailed,       // the write was refused or completed with an error
  kTimedOut,     // no completion within the caller's limit; the write has been cancelled
  kInterrupted,  // InterruptWrites was called; the write has been cancelled
};

class ISerialDevice {
 public:
  virtual ~ISerialDevice() = default;  // CloseHandle

  // SetupComm: the device's input and output queue sizes.
  virtual bool SetupQueues(uint32_t inputSize, uint32_t outputSize) = 0;
  // GetCommState: the complete current line settings.
  virtual bool GetState(Dcb& dcb) = 0;
  // SetCommState.
  virtual bool SetState(const Dcb& dcb) = 0;
  // SetCommTimeouts. The port sets reads to return at once with what the device
  // holds (interval MAXDWORD, totals 0) and writes to complete within
  // WriteTotalTimeoutConstant ms.
  virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;
  // SetCommMask. Callable from any thread: a change of the mask ends a pending
  // WaitEvent at once with kComplete and events 0 (mask 0 is the stop request).
  virtual bool SetEventMask(uint32_t mask) = 0;
  // WaitCommEvent + GetOverlappedResult(wait): blocks until one of the masked
  // events occurs (events that occurred since the last wait count at once) or
  // the mask is changed. Refused at once (kRefused, 87) while the mask is 0, or
  // when the device does not accept the mask; kRefused with another code when
  // the device has failed (hang-up, adapter removed).
  virtual WaitResult WaitEvent(uint32_t& events) = 0;
  // ClearCommError: the error flags since the last call (the device's error
  // condition is cleared) and the count of bytes in its input queue; false when
  // the request fails.
  virtual bool ClearError(uint32_t& errors, ComStat& stat) = 0;
  // ReadFile + GetOverlappedResult with the port's time-outs: takes at most
  // `count` bytes that the device holds now, never waits; false on failure
  // (`got` is then 0).
  virtual bool Read(uint8_t* buffer, uint32_t count, uint32_t& got) = 0;
  // WriteFile + wait for the completion signal (up to limitMs, or until
  // InterruptWrites) + GetOverlappedResult. On kTimedOut and kInterrupted the
  // write has been cancelled and finished (CancelIo + GetOverlappedResult) before
  // it returns, so the buffer may be used again. `written`: bytes reported.
  virtual WriteStatus Write(const uint8_t* data, uint32_t count, uint32_t limitMs,
                            uint32_t& written) = 0;
  // From any thread: a pending Write ends with kInterrupted at once, and so does
  // every later one (the device is about to be closed). Win32: a manual-reset
  // event that the write waits on beside the completion event.
  virtual void InterruptWrites() = 0;
  // PurgeComm (the port uses kPurgeRxAbort | kPurgeRxClear).
  virtual bool Purge(uint32_t flags) = 0;
};

using SerialDeviceFactory = std::function<std::unique_ptr<ISerialDevice>(uint16_t port)>;

// Opens serial port COM<port> exclusively through the installed factory, else:
// the network link when [Ports] maps COM<port> to "tcp://" or "rfc2217://"
// (net_device.h), otherwise the device (CreateFileA "\\.\COM<n>" on Windows;
// SerialDevicePath(port) on POSIX). nullptr when the port is missing, in use,
// unreachable or its address is malformed.
std::unique_ptr<ISerialDevice> OpenSerialDevice(uint16_t port);
// Installs a process-wide factory (tests inject fakes); an empty function
// restores the platform's.
void SetSerialDeviceFactory(SerialDeviceFactory factory);
// The platform's own opener (what an empty factory means).
std::unique_ptr<ISerialDevice> OpenPlatformSerialDevice(uint16_t port);
// The device an address names: "COMn" as OpenSerialDevice(n), "tcp://" and
// "rfc2217://" a network link, anything else a device path (POSIX; Windows
// reaches its ports as COMn). nullptr as OpenSerialDevice.
std::unique_ptr<ISerialDevice> OpenSerialDeviceAt(const std::string& address);
std::unique_ptr<ISerialDevice> OpenPlatformSerialDeviceAt(const std::string& path);

// RAII: installs a factory for the life of the object, then restores the
// platform's.
class ScopedSerialDeviceFactory {
 public:
  explicit ScopedSerialDeviceFactory(SerialDeviceFactory factory) {
    SetSerialDeviceFactory(std::move(factory));
  }
  ~ScopedSerialDeviceFactory() { SetSerialDeviceFactory(nullptr); }
  ScopedSerialDeviceFactory(const ScopedSerialDeviceFactory&) = delete;
  ScopedSerialDeviceFactory& operator=(const ScopedSerialDeviceFactory&) = delete;
};

}  // namespace vr
