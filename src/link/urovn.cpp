#include "link/urovn.h"

#include <cstring>
#include <mutex>

#include "protocol/frame.h"

namespace vr {

TUrovn::TUrovn(uint16_t port) : TComPort(port, DeferOpen{}) {
  // The framer is ready (member initialisers) before the port's threads start,
  // so that BytesArrived never runs on a half-built object.
  try {
    // 1. Open the port (5760 baud, 8 data bits, no parity, one stop bit).
    Open();
    // 2. Set up for the gauge.
    SetBaudRate(9600);
    SetDataBits(8);
    SetParity(0);
    // 3.
    PurgeInput();
    // 4.-5.
    std::lock_guard<std::recursive_mutex> guard(PortLock());
    rx_state_ = 0;
    idle_ = true;
    reply_event_.Reset();
    ResetFraming();
  } catch (...) {
    Close();  // the threads must be gone before this object's parts are
    throw;
  }
}

TUrovn::~TUrovn() {
  // Stop the port's threads while this object is whole: the comm-event thread
  // calls BytesArrived, which this class overrides.
  Close();
}

void TUrovn::SetOnReply(ReplyCheckFn fn, void* context) {
  on_reply_ = fn;
  on_reply_context_ = context;
}

void TUrovn::SetReplyTimeoutMs(uint32_t ms) {
  reply_timeout_ms_.store(ms, std::memory_order_relaxed);
}

bool TUrovn::IsIdle() const {
  std::lock_guard<std::recursive_mutex> guard(PortLock());
  return idle_;
}

uint8_t TUrovn::FramerState() const {
  std::lock_guard<std::recursive_mutex> guard(PortLock());
  return rx_state_;
}

uint8_t TUrovn::LastReplySize() const {
  std::lock_guard<std::recursive_mutex> guard(PortLock());
  return reply_size_;
}

void TUrovn::ResetFraming() {
  std::lock_guard<std::recursive_mutex> guard(PortLock());
  rx_state_ = 0;
  rx_count_ = 0;
}

void TUrovn::BytesArrived(int count) {
  try {
    for (int i = 0; i < count; ++i) FeedByte();
  } catch (const ESerialIO&) {
    // The ring was purged or the port closed meanwhile: nothing more to take.
  }
}

void TUrovn::FeedByte() {
  // The port lock is the only lock taken; ReadByte takes it again (recursive).
  std::lock_guard<std::recursive_mutex> guard(PortLock());
  const uint8_t b = ReadByte();
  switch (rx_state_) {
    case 0:  // waiting for a frame: any byte starts one
      rx_buffer_[0] = b;
      rx_count_ = 1;
      idle_ = false;
      rx_state_ = 1;
      return;
    case 1:  // header: SOH and the six echo characters
      rx_buffer_[rx_count_++] = b;
      idle_ = false;
      if (rx_count_ >= 7) rx_state_ = 2;
      break;
    case 2:  // data, up to "&&"
      rx_buffer_[rx_count_++] = b;
      idle_ = false;
      if (rx_buffer_[rx_count_ - 2] == '&' && rx_buffer_[rx_count_ - 1] == '&') {
        checksum_count_ = 0;
        rx_state_ = 3;
      } else if (b == kEtx && IsUnknownCommandReply(rx_buffer_, rx_count_)) {
        // The console's unknown-command reply has no "&&": it is complete at
        // its ETX, and the reply check refuses it at once.
        CompleteFrame();
        return;
      }
      break;
    case 3:  // four checksum characters
      rx_buffer_[rx_count_++] = b;
      ++checksum_count_;
      idle_ = false;
      if (checksum_count_ >= 4) rx_state_ = 4;
      break;
    case 4:  // terminator, stored whatever its value
      rx_buffer_[rx_count_++] = b;
      CompleteFrame();
      return;
    default:
      rx_state_ = 0;
      rx_count_ = 0;
      return;
  }
  // A frame that fills the 255-byte buffer without having ended cannot
  // end within it (the terminator would be byte 256): it is discarded and the
  // framer waits for a new frame. Idle stays false.
  if (rx_count_ >= kFrameBufferSize) {
    rx_state_ = 0;
    rx_count_ = 0;
  }
}

void TUrovn::CompleteFrame() {
  std::memcpy(reply_, rx_buffer_, rx_count_);
  reply_size_ = rx_count_;
  idle_ = true;
  rx_state_ = 0;
  reply_event_.Set();
}

int TUrovn::SendRequest(const uint8_t* frame, uint8_t length) {
  {
    // The reply event is reset together with the framer, before the
    // request is queued, so that a fast reply cannot be missed. Under the port
    // lock, which FeedByte holds for each byte, so every frame completed after
    // this point is made only of bytes framed after it: a stale signal of an
    // earlier frame cannot satisfy the coming wait.
    std::lock_guard<std::recursive_mutex> guard(PortLock());
    ResetFraming();
    reply_event_.Reset();
  }
  try {
    PutBlock(frame, length);
  } catch (const std::exception&) {
    return 3;
  }
  return 0;
}

int TUrovn::AwaitReply(uint8_t* reply, uint8_t& replyLength) {
  // The reply event was reset by SendRequest (see there); not again here.
  if (!reply_event_.WaitFor(reply_timeout_ms_.load(std::memory_order_relaxed))) {
    return IsIdle() ? 2 : 5;
  }
  uint8_t size;
  {
    // The comm-event thread wrote Reply and ReplySize under the port lock
    // before signalling; the copy is taken under it too.
    std::lock_guard<std::recursive_mutex> guard(PortLock());
    size = reply_size_;
    std::memcpy(reply, reply_, size);
  }
  uint8_t expected = replyLength;
  replyLength = size;
  if (on_reply_ == nullptr) return 0;
  return on_reply_(on_reply_context_, 1, reply, replyLength, expected) ? 0 : 5;
}

}  // namespace vr
