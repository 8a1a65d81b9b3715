// One request-reply exchange with the gauge over the configured link.
#include <cstring>

#include "common/fpu.h"
#include "driver/silo.h"
#include "link/urovn.h"

namespace vr {
namespace {

constexpr int kAttempts = 3;

bool CheckReplyThunk(void* context, uint8_t tag, const uint8_t* reply, uint8_t& replyLength,
                     uint8_t&) {
  return static_cast<TSilo*>(context)->CheckReply(tag, reply, replyLength);
}

}  // namespace

ExchangeOutcome TSilo::Exchange(std::string_view command, const uint8_t* payload,
                                uint8_t payloadLength, uint8_t& replyLength, uint8_t* reply) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  // A reply buffer that this exchange did not fill must never be decoded:
  // start every exchange from an empty buffer and no checked length.
  std::memset(reply, 0, kFrameBufferSize);
  reply_length_.store(0, std::memory_order_relaxed);

  FrameBuffer frame{};
  uint8_t frameLength = BuildRequest(command, payload, payloadLength, frame.data());
  // The reply check accepts only the answer to this request; outside an
  // exchange it accepts nothing.
  std::memcpy(request_echo_.data(), frame.data() + 1, kCommandLength);
  request_pending_.store(true, std::memory_order_release);
  struct EndRequest {
    std::atomic<bool>& pending;
    ~EndRequest() { pending.store(false, std::memory_order_release); }
  } endRequest{request_pending_};
  ExchangeOutcome outcome;
  outcome.result = Transfer(frame.data(), frameLength, reply, replyLength, outcome.replyValid);
  outcome.replyLength = outcome.replyValid ? ReplyLength() : 0;
  return outcome;
}

int TSilo::Transfer(const uint8_t* frame, uint8_t frameLength, uint8_t* reply, uint8_t& replyLength,
                    bool& replyValid) {
  const uint8_t type = GetConnectionType();
  int result = 0;
  replyValid = false;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    result = 0;
    if (IsBlockType(type)) {
      result = CommBlockTransfer(frame, frameLength, reply, replyLength);
      // The block reports 1 once our check accepted its reply; repeating a
      // request that was answered would only load the line (and write a
      // calibration table twice), so a valid reply ends the attempts too.
      if (result == 1 && ReplyLength() != 0) result = 0;
    } else if (IsPortType(type)) {
      if (!link_) {
        result = 2;
      } else {
        link_->SetOnReply(&CheckReplyThunk, this);
        result = link_->SendRequest(frame, frameLength);
        // A frame that echoes another command or tank (a late reply to an
        // earlier request) fails the reply check: result 5.
        if (result == 0) result = link_->AwaitReply(reply, replyLength);
      }
    }
    if (result == 0) break;
  }

  if (IsBlockType(type)) {
    // The block's own channel state becomes the link state, unchanged.
    auto* cb = static_cast<VrCommBlock*>(comm_block_);
    uint32_t channel = static_cast<uint32_t>(type) * 16 + 17;
    uint32_t state =
        CallHost(reinterpret_cast<VrCbGetChannelStateFn>(cb->table[VRSILO_CB_GET_CHANNEL_STATE]),
                 cb, channel);
    SetLinkState(static_cast<uint8_t>(state));
    replyValid = result == 0 && (state & 0xFF) == 1 && ReplyLength() != 0;
  } else if (IsPortType(type)) {
    switch (result) {
      case 0:
        SetLinkState(1);
        break;
      case 2:
        SetLinkState(2);
        break;
      case 5:
        SetLinkState(3);
        break;
      default:
        break;  // the request could not be queued: the state stays
    }
    replyValid = result == 0;
  }
  return result;
}

bool TSilo::CheckReply(uint8_t tag, const uint8_t* reply, uint8_t& replyLength) {
  reply_length_.store(0, std::memory_order_relaxed);
  ReplyVerdict verdict{false, replyLength > 0 ? reply[0] : uint8_t{0}};
  if (request_pending_.load(std::memory_order_acquire))
    verdict = VerifyReply(reply, replyLength, request_echo_.data());
  if (verdict.valid) reply_length_.store(replyLength, std::memory_order_relaxed);
  const uint8_t type = GetConnectionType();
  if (IsBlockType(type)) {
    auto* cb = static_cast<VrCommBlock*>(comm_block_);
    VrBlockObject* block = cb->blocks ? cb->blocks[type] : nullptr;
    if (block)
      CallHost(reinterpret_cast<VrBlockStatusFn>(block->table[VRSILO_BLOCK_STATUS]), block,
               uint32_t{tag}, uint32_t{verdict.status});
    uint32_t channel = static_cast<uint32_t>(type) * 16 + 17;
    CallHost(reinterpret_cast<VrCbSetChannelStateFn>(cb->table[VRSILO_CB_SET_CHANNEL_STATE]), cb,
             channel, verdict.valid ? 1u : 3u);
  } else {
    SetLinkState(verdict.valid ? 1 : 3);
  }
  return verdict.valid;
}

}  // namespace vr
