#include "protocol/reply_framer.h"

namespace vr {

FrameEvent ReplyFramer::Feed(uint8_t b) {
  if (state_ == kAwaitingFrame) count_ = 0;
  buffer_[count_++] = b;
  idle_ = false;
  switch (state_) {
    case kAwaitingFrame:
      state_ = kInHeader;
      return FrameEvent::kNone;
    case kInHeader:
      if (count_ >= 1 + kCommandLength) state_ = kInData;
      break;
    case kInData:
      if (buffer_[count_ - 2] == '&' && buffer_[count_ - 1] == '&') {
        checksum_count_ = 0;
        state_ = kInChecksum;
      } else if (b == kEtx && IsUnknownCommandReply(buffer_, count_)) {
        // The console's unknown-command reply has no "&&": it is complete at
        // its ETX, and the reply check refuses it at once.
        idle_ = true;
        state_ = kAwaitingFrame;
        return FrameEvent::kComplete;
      }
      break;
    case kInChecksum:
      if (++checksum_count_ >= 4) state_ = kAtTerminator;
      break;
    case kAtTerminator:
      idle_ = true;
      state_ = kAwaitingFrame;
      return FrameEvent::kComplete;
  }
  // A frame that reaches the limit without having ended cannot end within it
  // (the terminator would lie beyond): it is dropped and the framer waits for
  // a new frame. Idle stays false.
  if (count_ >= limit_) {
    state_ = kAwaitingFrame;
    count_ = 0;
    return FrameEvent::kOverflow;
  }
  return FrameEvent::kNone;
}

void ReplyFramer::SetLimit(size_t limit) {
  limit_ = limit < kFrameBufferSize     ? kFrameBufferSize
           : limit > kAllTanksFrameSize ? kAllTanksFrameSize
                                        : limit;
}

void ReplyFramer::Restart() {
  state_ = kAwaitingFrame;
  count_ = 0;
}

}  // namespace vr
