#pragma once
// TUrovn: the direct serial link to the gauge. A TComPort set up at
// 9600 8N1 that feeds the received bytes to the reply framer and hands each
// complete frame, unchecked, to the waiting exchange: judging it is the
// caller's business.
#include <atomic>
#include <cstdint>
#include <string>

#include "link/com_port.h"
#include "link/event.h"
#include "protocol/exchange_outcome.h"
#include "protocol/reply_framer.h"

namespace vr {

class TUrovn : public TComPort {
 public:
  static constexpr uint32_t kReplyTimeoutMs = 1500;

  // Opens and sets up the port; throws the ESerialIO family.
  explicit TUrovn(uint16_t port);
  // The same on the device an address names (OpenSerialDeviceAt).
  explicit TUrovn(const std::string& address);
  ~TUrovn() override;

  // Restarts the framer for replies of up to replyLimit bytes (255, or up to
  // kAllTanksFrameSize for a request for every tank), resets the reply event,
  // then queues the frame: kOk, or kSendRefused when the port refused it.
  ExchangeOutcome SendRequest(const uint8_t* frame, size_t length,
                              size_t replyLimit = kFrameBufferSize);
  // Waits for a complete frame and copies it (at most capacity bytes): kOk
  // with its length, kNoReply (silence since the request) or kHalfFrame (a
  // frame began but did not end in time). A reply longer than 255 bytes may
  // take longer than the time-out on the line (1448 bytes of sixteen tanks
  // are 1.5 s at 9600 baud): its wait goes on while its bytes keep coming.
  ExchangeReply AwaitReply(uint8_t* reply, size_t capacity);
  void SetReplyTimeoutMs(uint32_t ms);  // 1500 by default; tests may shorten it

  // Views of the framer (for tests).
  bool IsIdle() const;
  vr::FramerState FramerState() const;
  size_t LastReplySize() const;
  // The bytes of a frame begun but not ended (for the trace); 0 when idle.
  size_t CopyPartialFrame(uint8_t* out, size_t capacity) const;
  bool IsReplySignalled() const { return reply_event_.IsSet(); }

 protected:
  void BytesArrived(int count) override;
  // One framer step: takes exactly one byte with ReadByte; false when the
  // ring holds none.
  bool FeedByte();

 private:
  void SetUp();

  // The framer and the last complete frame: written on the comm-event thread
  // (FeedByte) and by SendRequest, read by AwaitReply; guarded by the port lock.
  ReplyFramer framer_;
  size_t reply_size_ = 0;
  uint8_t reply_[kAllTanksFrameSize] = {};
  Event reply_event_{Event::Mode::kManualReset};
  std::atomic<uint32_t> reply_timeout_ms_{kReplyTimeoutMs};
  bool long_reply_ = false;             // the request in flight allows more than 255 bytes
  std::atomic<uint64_t> bytes_fed_{0};  // bytes framed since the port opened
};

}  // namespace vr
