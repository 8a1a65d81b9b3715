#pragma once
// The reply framer: cuts the bytes received from the gauge into reply frames
// (SOH, six echo characters, data, "&&", four checksum characters, a
// terminator). A step machine without threads or locks; the link feeds it one
// byte at a time and takes each complete frame.
#include <cstddef>
#include <cstdint>

#include "protocol/frame.h"

namespace vr {

enum FramerState : uint8_t {
  kAwaitingFrame = 0,  // any byte starts a frame
  kInHeader = 1,       // SOH and the six echo characters
  kInData = 2,         // data, up to "&&"
  kInChecksum = 3,     // four checksum characters
  kAtTerminator = 4,   // the next byte ends the frame, whatever its value
};

enum class FrameEvent : uint8_t {
  kNone,      // the byte was taken; no frame ended
  kComplete,  // a frame ended with this byte: Frame() and FrameLength() hold it
  kOverflow,  // the frame filled the buffer without ending and was discarded
};

// The reply to a request for every tank at once (tank 00) may be this long;
// every other reply fits the 255-byte frame buffer.
constexpr size_t kAllTanksFrameSize = 4096;

class ReplyFramer {
 public:
  FrameEvent Feed(uint8_t byte);
  // The longest frame taken until the next call: kFrameBufferSize (the
  // default) or up to kAllTanksFrameSize.
  void SetLimit(size_t limit);
  // Drops a frame begun (before a new request). Idle is kept: bytes of a half
  // frame still make the coming silence a half frame.
  void Restart();

  FramerState State() const { return state_; }
  // No byte has arrived since the last complete frame (or since construction).
  bool Idle() const { return idle_; }
  const uint8_t* Frame() const { return buffer_; }
  size_t FrameLength() const { return count_; }

 private:
  FramerState state_ = kAwaitingFrame;
  size_t count_ = 0;
  size_t limit_ = kFrameBufferSize;
  uint8_t checksum_count_ = 0;
  bool idle_ = true;
  uint8_t buffer_[kAllTanksFrameSize] = {};
};

}  // namespace vr
