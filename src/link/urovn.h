#pragma once
// TUrovn: the direct serial link to the gauge. A TComPort set up at
// 9600 8N1 with a reply framer that cuts the received bytes into Veeder-Root
// reply frames (SOH, six echo characters, data, "&&", four checksum
// characters, terminator) and hands each complete frame to the waiting
// exchange through the reply event. The console's 10-byte unknown-command
// reply, which has no "&&", is complete at its ETX.
#include <atomic>
#include <cstdint>

#include "link/com_port.h"
#include "link/event.h"

namespace vr {

// Reply check called for each completed frame (context = the driver object;
// tag is 1 on the direct link).
using ReplyCheckFn = bool (*)(void* context, uint8_t tag, const uint8_t* reply,
                              uint8_t& replyLength, uint8_t& expected);

class TUrovn : public TComPort {
 public:
  static constexpr uint32_t kReplyTimeoutMs = 1500;
  static constexpr uint32_t kFrameBufferSize = 255;

  // Opens and sets up the port; throws the ESerialIO family.
  explicit TUrovn(uint16_t port);
  ~TUrovn() override;

  void SetOnReply(ReplyCheckFn fn, void* context);
  // Resets the framer and the reply event, then queues the frame: 0, or 3 when
  // the port refused it.
  int SendRequest(const uint8_t* frame, uint8_t length);
  // Waits for a complete frame: 0 (passed the check), 2 (silence since the last
  // complete frame), 5 (a frame began but did not end in time, or failed the check).
  int AwaitReply(uint8_t* reply /*255 bytes*/, uint8_t& replyLength);
  void SetReplyTimeoutMs(uint32_t ms);  // 1500 by default; tests may shorten it

  // Views of the framer (for tests).
  bool IsIdle() const;
  uint8_t FramerState() const;
  uint8_t LastReplySize() const;
  bool IsReplySignalled() const { return reply_event_.IsSet(); }

 protected:
  void BytesArrived(int count) override;
  // One framer step: takes exactly one byte with ReadByte.
  void FeedByte();
  void ResetFraming();

 private:
  // Hands the collected frame to the waiting exchange; port lock held.
  void CompleteFrame();

  // Framer state: written on the comm-event thread (FeedByte) and by
  // SendRequest, read by AwaitReply; guarded by the port lock.
  uint8_t rx_state_ = 0;
  uint8_t rx_count_ = 0;
  uint8_t reply_size_ = 0;
  uint8_t rx_buffer_[kFrameBufferSize] = {};
  uint8_t reply_[kFrameBufferSize] = {};
  Event reply_event_{Event::Mode::kManualReset};
  bool idle_ = true;
  uint8_t checksum_count_ = 0;
  ReplyCheckFn on_reply_ = nullptr;
  void* on_reply_context_ = nullptr;
  std::atomic<uint32_t> reply_timeout_ms_{kReplyTimeoutMs};
};

}  // namespace vr
