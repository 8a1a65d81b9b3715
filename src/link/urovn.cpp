#include "link/urovn.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "protocol/frame.h"

namespace vr {

TUrovn::TUrovn(uint16_t port) : TComPort(port, DeferOpen{}) {
  SetUp();
}

TUrovn::TUrovn(const std::string& address) : TComPort(address, DeferOpen{}) {
  SetUp();
}

void TUrovn::SetUp() {
  // The framer is ready (member initialisers) before the port's threads start,
  // so that BytesArrived never runs on a half-built object.
  try {
    Open();  // opens at 5760 baud, 8 data bits, no parity, one stop bit
    SetBaudRate(9600);
    SetDataBits(8);
    SetParity(0);
    PurgeInput();
    std::lock_guard<std::recursive_mutex> guard(PortLock());
    framer_ = ReplyFramer{};
    reply_event_.Reset();
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

void TUrovn::SetReplyTimeoutMs(uint32_t ms) {
  reply_timeout_ms_.store(ms, std::memory_order_relaxed);
}

bool TUrovn::IsIdle() const {
  std::lock_guard<std::recursive_mutex> guard(PortLock());
  return framer_.Idle();
}

vr::FramerState TUrovn::FramerState() const {
  std::lock_guard<std::recursive_mutex> guard(PortLock());
  return framer_.State();
}

size_t TUrovn::LastReplySize() const {
  std::lock_guard<std::recursive_mutex> guard(PortLock());
  return reply_size_;
}

size_t TUrovn::CopyPartialFrame(uint8_t* out, size_t capacity) const {
  std::lock_guard<std::recursive_mutex> guard(PortLock());
  if (framer_.Idle() || framer_.State() == kAwaitingFrame) return 0;
  const size_t n = std::min(framer_.FrameLength(), capacity);
  std::memcpy(out, framer_.Frame(), n);
  return n;
}

void TUrovn::BytesArrived(int count) {
  for (int i = 0; i < count && FeedByte(); ++i) {
  }
}

bool TUrovn::FeedByte() {
  // The port lock is the only lock taken; ReadByte takes it again (recursive).
  std::lock_guard<std::recursive_mutex> guard(PortLock());
  // The ring was purged or the port closed since the count was told: nothing
  // more to take.
  if (!IsOpen() || ReceiveCount() == 0) return false;
  bytes_fed_.fetch_add(1, std::memory_order_relaxed);
  if (framer_.Feed(ReadByte()) != FrameEvent::kComplete) return true;
  reply_size_ = framer_.FrameLength();
  std::memcpy(reply_, framer_.Frame(), reply_size_);
  reply_event_.Set();
  return true;
}

ExchangeOutcome TUrovn::SendRequest(const uint8_t* frame, size_t length, size_t replyLimit) {
  {
    // The reply event is reset together with the framer, before the
    // request is queued, so that a fast reply cannot be missed. Under the port
    // lock, which FeedByte holds for each byte, so every frame completed after
    // this point is made only of bytes framed after it: a stale signal of an
    // earlier frame cannot satisfy the coming wait.
    std::lock_guard<std::recursive_mutex> guard(PortLock());
    framer_.Restart();
    framer_.SetLimit(replyLimit);
    long_reply_ = replyLimit > kFrameBufferSize;
    reply_event_.Reset();
  }
  try {
    PutBlock(frame, static_cast<uint16_t>(length));
  } catch (const std::exception&) {
    return ExchangeOutcome::kSendRefused;
  }
  return ExchangeOutcome::kOk;
}

ExchangeReply TUrovn::AwaitReply(uint8_t* reply, size_t capacity) {
  // The reply event was reset by SendRequest (see there); not again here.
  const uint32_t timeout = reply_timeout_ms_.load(std::memory_order_relaxed);
  uint64_t fed = bytes_fed_.load(std::memory_order_relaxed);
  while (!reply_event_.WaitFor(timeout)) {
    const uint64_t now = bytes_fed_.load(std::memory_order_relaxed);
    if (!long_reply_ || now == fed || IsIdle())
      return {IsIdle() ? ExchangeOutcome::kNoReply : ExchangeOutcome::kHalfFrame, 0};
    fed = now;  // still arriving: another time-out from here
  }
  // The comm-event thread wrote the frame under the port lock before
  // signalling; the copy is taken under it too.
  std::lock_guard<std::recursive_mutex> guard(PortLock());
  const size_t length = std::min(reply_size_, capacity);
  std::memcpy(reply, reply_, length);
  return {ExchangeOutcome::kOk, length};
}

}  // namespace vr
