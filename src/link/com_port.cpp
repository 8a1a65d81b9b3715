#include "link/com_port.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "link/thread_priority.h"

namespace vr {

std::string FormatPortMessage(const char* format, uint16_t port) {
  std::string text(format);
  const auto at = text.find("%d");
  if (at != std::string::npos) text.replace(at, 2, std::to_string(port));
  return text;
}

namespace {

template <class E>
[[noreturn]] void Throw(const char* format, uint16_t port) {
  throw E(FormatPortMessage(format, port));
}

// Unread bytes of a ring: w - r, or across the end, or the full flag when equal.
uint32_t RingCount(uint32_t read, uint32_t write, bool full, uint32_t size) {
  if (read < write) return write - read;
  if (read > write) return size - read + write;
  return full ? size : 0;
}

}  // namespace

TComPort::TComPort(uint16_t port) : TComPort(port, DeferOpen{}) {
  if (port_ != 0) Open();
}

TComPort::TComPort(uint16_t port, DeferOpen) : port_(port) {}

TComPort::TComPort(std::string address, DeferOpen) : address_(std::move(address)) {}

TComPort::~TComPort() {
  Close();
}

// ---------------------------------------------------------------------------
// Open / Close

void TComPort::Open() {
  // Port 0 is never opened, unless an address names the device.
  if ((port_ == 0 && address_.empty()) || IsOpen() || device_) return;
  // A fresh start: nothing of an earlier opening survives.
  rx_write_ = rx_read_ = tx_write_ = tx_read_ = 0;
  rx_full_ = tx_full_ = false;
  rx_purge_count_ = 0;
  stop_.store(0, std::memory_order_release);
  comm_ack_.Reset();
  transmit_ack_.Reset();
  wake_.Reset();
  stop_event_.Reset();
  try {
    // The device, exclusively.
    try {
      device_ = address_.empty() ? OpenSerialDevice(port_) : OpenSerialDeviceAt(address_);
    } catch (const std::exception&) {
      device_.reset();
    }
    if (!device_) Throw<EOpenPortFail>(kMsgOpenPortFail, port_);
    // The device's own queues.
    if (!device_->SetupQueues(input_queue_size_, output_queue_size_)) {
      Throw<ENotSupported>(kMsgSetupNotSupported, port_);
    }
    // Rings: the only allocation of the port's life.
    rx_ring_.reset(new uint8_t[kReceiveRingSize]);
    tx_ring_.reset(new uint8_t[output_queue_size_]);
    // Start from the device's current settings.
    {
      std::lock_guard<std::recursive_mutex> guard(lock_);
      Dcb current;
      if (device_->GetState(current)) dcb_ = current;
    }
    // Open from here on, so that the settings below reach the device.
    open_.store(true, std::memory_order_release);
    ApplySettings(baud_rate_, parity_, data_bits_, stop_bits_);
    // Clears any error condition left in the device.
    ComStat stat;
    GetStatus(stat);
    StartThreads();
  } catch (...) {
    StopThreads();
    ReleaseResources();
    throw;
  }
}

void TComPort::Close() {
  if (!device_ && !IsOpen()) return;
  StopThreads();
  ReleaseResources();
}

void TComPort::ReleaseResources() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  open_.store(false, std::memory_order_release);
  rx_ring_.reset();
  tx_ring_.reset();
  rx_write_ = rx_read_ = tx_write_ = tx_read_ = 0;
  rx_full_ = tx_full_ = false;
  device_.reset();  // closes the device
}

// ---------------------------------------------------------------------------
// Settings

void TComPort::SetBaudRate(uint32_t rate) {
  baud_rate_ = rate;
  if (IsOpen()) ApplySettings(rate, 5, 9, 3);
}

void TComPort::SetDataBits(uint8_t bits) {
  data_bits_ = bits;
  if (IsOpen()) ApplySettings(0, 5, bits, 3);
}

void TComPort::SetParity(uint8_t parity) {
  parity_ = parity;
  if (IsOpen()) ApplySettings(0, parity, 9, 3);
}

void TComPort::ApplySettings(uint32_t rate, uint8_t parity, uint8_t dataBits, uint8_t stopBitCode) {
  if (!IsOpen()) return;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  // Read again, so that other changes made to the device meanwhile survive.
  Dcb current;
  if (device_->GetState(current)) dcb_ = current;
  // Stop-bit code: 3 means unchanged; 0 becomes 1; 4 and above become 2.
  if (stopBitCode == 0) {
    stopBitCode = 1;
  } else if (stopBitCode >= 4) {
    stopBitCode = 2;
  }
  // The sentinels 0, 5, 9 and 3 leave their setting as it is.
  if (rate != 0) dcb_.BaudRate = rate;
  if (parity != 5) dcb_.Parity = parity;
  if (dataBits != 9) dcb_.ByteSize = dataBits;
  if (stopBitCode != 3) dcb_.StopBits = stopBitCode == 1 ? kOneStopBit : kTwoStopBits;
  // RTS_CONTROL_DISABLE and the reserved bits 16..31 cleared; all else kept.
  dcb_.Flags &= ~(dcb::kRtsControlMask | dcb::kReservedMask);
  if (!device_->SetState(dcb_)) Throw<ENotSupported>(kMsgParamNotSupported, port_);
}

uint32_t TComPort::GetStatus(ComStat& stat) {
  uint32_t errors = 0;
  stat = ComStat{};
  if (!device_ || !device_->ClearError(errors, stat)) {
    errors = 0;
    stat.cbInQue = 0;
  }
  std::lock_guard<std::recursive_mutex> guard(lock_);
  stat.cbOutQue = TransmitCountLocked();
  return errors;
}

// ---------------------------------------------------------------------------
// Rings, caller side

uint32_t TComPort::TransmitCountLocked() const {
  return RingCount(tx_read_, tx_write_, tx_full_, output_queue_size_);
}

uint32_t TComPort::ReceiveCountLocked() const {
  return RingCount(rx_read_, rx_write_, rx_full_, kReceiveRingSize);
}

uint32_t TComPort::ReceiveCount() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return IsOpen() ? ReceiveCountLocked() : 0;
}

uint32_t TComPort::TransmitCount() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return IsOpen() ? TransmitCountLocked() : 0;
}

uint8_t TComPort::PeekByte(uint32_t position) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!IsOpen() || position == 0 || ReceiveCountLocked() < position) {
    Throw<EBufferIsEmpty>(kMsgBufferIsEmpty, port_);
  }
  return rx_ring_[(rx_read_ + position - 1) % kReceiveRingSize];
}

uint8_t TComPort::ReadByte() {
  if (!IsOpen()) Throw<EPortNotOpen>(kMsgPortNotOpen, port_);
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const uint8_t b = PeekByte(1);
  rx_read_ = static_cast<uint16_t>((rx_read_ + 1) % kReceiveRingSize);
  rx_full_ = false;
  return b;
}

void TComPort::PurgeInput() {
  if (!IsOpen()) Throw<EPortNotOpen>(kMsgPortNotOpen, port_);
  std::lock_guard<std::recursive_mutex> guard(lock_);
  device_->Purge(kPurgeRxAbort | kPurgeRxClear);
  rx_read_ = rx_write_;
  rx_full_ = false;
  ++rx_purge_count_;
}

void TComPort::PutBlock(const uint8_t* buffer, uint16_t count) {
  if (!IsOpen()) Throw<EPortNotOpen>(kMsgPortNotOpen, port_);
  if (count == 0) return;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  ComStat stat;
  GetStatus(stat);
  const uint32_t size = output_queue_size_;
  const uint32_t room = size - std::min<uint32_t>(stat.cbOutQue, size);
  if (count > room) Throw<EOutputBufferTooSmall>(kMsgBufferTooSmall, port_);
  if (count == room) tx_full_ = true;
  uint32_t stored = 0;
  if (tx_write_ + count <= size) {
    std::memcpy(tx_ring_.get() + tx_write_, buffer, count);
    tx_write_ = static_cast<uint16_t>((tx_write_ + count) % size);
    stored = count;
  } else {
    const uint32_t first = size - tx_write_;
    std::memcpy(tx_ring_.get() + tx_write_, buffer, first);
    std::memcpy(tx_ring_.get(), buffer + first, count - first);
    tx_write_ = static_cast<uint16_t>(count - first);
    stored = count;
  }
  wake_.Set();
  if (stored == 0) {
    GetStatus(stat);
    Throw<EPutBlockFail>(kMsgOutputError, port_);
  }
}

void TComPort::BytesArrived(int /*count*/) {}

// ---------------------------------------------------------------------------
// Threads

void TComPort::StartThreads() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  stop_.store(0, std::memory_order_release);
  stop_event_.Reset();
  // A missing acknowledgment is not an error: after 3000 ms the start goes on.
  comm_thread_ = std::thread([this] { CommEventThread(); });
  comm_ack_.WaitFor(kStartAckMs);
  transmit_thread_ = std::thread([this] { TransmitThread(); });
  transmit_ack_.WaitFor(kStartAckMs);
}

void TComPort::StopThreads() {
  if (!comm_thread_.joinable() && !transmit_thread_.joinable()) return;
  // The flag and the wake-ups are set under the lock, but the waits for
  // the acknowledgments are made outside it, because a thread may need the lock
  // to finish what it is doing (BytesArrived -> ReadByte, the transmit pump).
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    stop_.store(-1, std::memory_order_release);
    stop_event_.Set();           // ends every paced wait at once
    device_->InterruptWrites();  // a stop never waits for a slow write
    wake_.Set();
  }
  // Each thread is given 200 ms to acknowledge. The Win32 design then ends it
  // by force (TerminateThread). Here a thread is never cancelled by force: all
  // its waits are interruptible (stop event, wake event, InterruptWrites, event
  // mask 0), so it ends promptly, and it is joined whether or not the
  // acknowledgment came within the bound. Forcing it would leave the port lock
  // or the device in an unknown state, which a join cannot do.
  if (transmit_thread_.joinable()) {
    transmit_ack_.WaitFor(kStopAckMs);
    transmit_thread_.join();
  }
  device_->SetEventMask(0);  // completes the comm-event thread's pending wait
  if (comm_thread_.joinable()) {
    comm_ack_.WaitFor(kStopAckMs);
    comm_thread_.join();
  }
}

void TComPort::CommEventThread() {
  SetCurrentThreadPriority(ThreadPriority::kTimeCritical);
  uint32_t mask = kEventMask;
  device_->SetEventMask(mask);
  CommTimeouts timeouts;
  timeouts.ReadIntervalTimeout = 0xFFFFFFFFu;  // reads return at once
  timeouts.WriteTotalTimeoutConstant = kDeviceWriteTimeoutMs;
  device_->SetTimeouts(timeouts);
  comm_ack_.Set();

  uint32_t eventWord = 0;
  for (;;) {
    // A stop that came before the first wait (a start acknowledged late) is
    // seen here; later stops end the pending wait through the mask.
    if (Stopping()) break;
    bool pace = false;
    const WaitResult result = device_->WaitEvent(eventWord);
    if (result.status == WaitStatus::kResultLost) {
      // The result of a pending wait cannot be fetched: the thread ends at
      // once, without acknowledgment; the port receives nothing until closed.
      return;
    }
    if (result.status == WaitStatus::kRefused) {
      if (result.error == kErrorInvalidParameter && (mask & kEvRingTe) != 0) {
        mask = kEventMaskFallback;
        device_->SetEventMask(mask);
      } else {
        pace = true;  // a failed device is retried at a pace, not at once
      }
    }
    if (Stopping()) break;
    if (pace) {
      stop_event_.WaitFor(kFailurePaceMs);
      if (Stopping()) break;
    }
    // After a refused wait the word still holds the previous wait's events.
    if ((eventWord & (kEvBreak | kEvErr)) != 0) {
      ComStat stat;
      GetStatus(stat);
    }
    if ((eventWord & kEvRxChar) != 0) ReceivePass();
    if (Stopping()) break;
  }
  comm_ack_.Set();
}

void TComPort::ReceivePass() {
  uint32_t write;
  uint32_t read;
  uint32_t purges;
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    // Full ring: the bytes stay in the device, BytesArrived is not called.
    if (rx_full_) return;
  }
  // Nothing queued in the device: nothing to take.
  ComStat stat;
  GetStatus(stat);
  if (stat.cbInQue == 0) return;
  // The snapshot of the indices; the read index can only move forward
  // (ReadByte) or onto the write index (PurgeInput) meanwhile, which only
  // makes more room, never less.
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    write = rx_write_;
    read = rx_read_;
    purges = rx_purge_count_;
    if (rx_full_) return;
  }
  const uint32_t unread = RingCount(read, write, false, kReceiveRingSize);
  const uint32_t free = kReceiveRingSize - unread;
  const uint32_t run = read <= write ? kReceiveRingSize - write : read - write;
  const uint32_t wanted = std::min(free, stat.cbInQue);
  int total = 0;

  // Stores `got` bytes just read at the write index (under the lock).
  // A purge that ran during the read drops them: they may be from before it.
  auto commit = [&](uint32_t got) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (got > 0) {
      rx_write_ = static_cast<uint16_t>((rx_write_ + got) % kReceiveRingSize);
      rx_full_ = rx_write_ == rx_read_;
      total += static_cast<int>(got);
    }
    if (rx_purge_count_ != purges) {
      rx_read_ = rx_write_;
      rx_full_ = false;
      purges = rx_purge_count_;
      total = 0;
    }
    write = rx_write_;
  };

  // First read: up to the contiguous free run at the write index.
  uint32_t got = 0;
  device_->Read(rx_ring_.get() + write, run, got);
  got = std::min(got, run);
  commit(got);
  // Second read, across the end of the ring.
  if (wanted > run && got == run && write == 0) {
    uint32_t got2 = 0;
    device_->Read(rx_ring_.get(), wanted - run, got2);
    got2 = std::min(got2, wanted - run);
    commit(got2);
  }
  // One notification with the total, without any lock held.
  try {
    BytesArrived(total);
  } catch (...) {
    // Nothing may leave the comm-event thread.
  }
}

void TComPort::TransmitThread() {
  SetCurrentThreadPriority(ThreadPriority::kHighest);
  transmit_ack_.Set();
  for (;;) {
    wake_.Wait();
    if (Stopping()) break;
    TransmitPump();
    // The Win32 design ends here without acknowledgment; acknowledging (the
    // thread does end on request) saves StopThreads its 200 ms wait.
    if (Stopping()) break;
  }
  transmit_ack_.Set();
}

void TComPort::TransmitPump() {
  const uint32_t size = output_queue_size_;
  for (;;) {
    if (Stopping()) return;
    uint32_t start;
    uint32_t length;
    bool wraps;
    {
      std::lock_guard<std::recursive_mutex> guard(lock_);
      if (!tx_full_ && tx_read_ == tx_write_) return;
      start = tx_read_;
      if (tx_write_ > tx_read_) {
        length = tx_write_ - tx_read_;
        wraps = false;
      } else {
        length = size - tx_read_;  // up to the end of the ring
        wraps = true;
      }
    }
    uint32_t written = 0;
    const WriteStatus status =
        device_->Write(tx_ring_.get() + start, length, write_limit_ms_.load(), written);
    switch (status) {
      case WriteStatus::kComplete: {
        // The reported count is not consulted: a completed write releases the
        // whole chunk.
        std::lock_guard<std::recursive_mutex> guard(lock_);
        tx_read_ = static_cast<uint16_t>(wraps ? 0 : start + length);
        tx_full_ = false;
        break;
      }
      case WriteStatus::kTimedOut:
        // The device has cancelled and finished the write before
        // returning, so the same chunk can be taken again at once.
        break;
      case WriteStatus::kInterrupted:
        return;
      case WriteStatus::kFailed:
        // A device that fails outright is retried at a pace.
        stop_event_.WaitFor(kFailurePaceMs);
        break;
    }
  }
}

}  // namespace vr
