// One request-reply exchange with the gauge over the configured link: up to
// three attempts, and the link state the last one leaves.
#include <chrono>
#include <cstring>

#include "driver/silo.h"
#include "link/urovn.h"
#include "protocol/reply_framer.h"

namespace vr {
namespace {

constexpr int kAttempts = 3;

std::chrono::microseconds Since(std::chrono::steady_clock::time_point started) {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                               started);
}

bool CheckReplyThunk(void* context, uint8_t tag, const uint8_t* reply, uint8_t& replyLength,
                     uint8_t&) {
  return static_cast<TSilo*>(context)->CheckReply(tag, reply, replyLength);
}

VrLinkState LinkStateOf(ExchangeResult result) {
  return result == kReplyOk   ? VRSILO_LINK_OK
         : result == kNoReply ? VRSILO_LINK_SILENT
                              : VRSILO_LINK_BAD_REPLY;
}

}  // namespace

ExchangeOutcome TSilo::Exchange(std::string_view command, const uint8_t* payload,
                                uint8_t payloadLength, uint8_t& replyLength, uint8_t* reply) {
  // The trace is written once the exchange lock is released, also when the
  // exchange ends with an error.
  struct Flush {
    TSilo* self;
    ~Flush() { self->FlushTrace(); }
  } flush{this};
  return ExchangeLocked(command, payload, payloadLength, replyLength, reply);
}

ExchangeOutcome TSilo::ExchangeLocked(std::string_view command, const uint8_t* payload,
                                      uint8_t payloadLength, uint8_t& replyLength, uint8_t* reply) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const auto started = std::chrono::steady_clock::now();
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
  if (trace_) trace_->ExchangeDone(Since(started));
  return outcome;
}

ExchangeResult TSilo::Transfer(const uint8_t* frame, uint8_t frameLength, uint8_t* reply,
                               uint8_t& replyLength, bool& replyValid) {
  const uint8_t type = GetConnectionType();
  replyValid = false;
  if (IsBlockType(type))
    return TransferOverBlock(type, frame, frameLength, reply, replyLength, replyValid);
  if (!IsPortType(type)) return kReplyOk;  // nothing to send over

  ExchangeResult result = kNoReply;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const auto started = std::chrono::steady_clock::now();
    last_check_ = {};
    if (!link_) {
      result = kNoReply;
    } else {
      link_->SetOnReply(&CheckReplyThunk, this);
      result = link_->SendRequest(frame, frameLength);
      // A frame that echoes another command or tank (a late reply to an
      // earlier request) fails the reply check: kBadReply.
      if (result == kReplyOk) result = link_->AwaitReply(reply, replyLength);
    }
    if (trace_) TraceAttempt(result, started, frame, frameLength, reply);
    if (result == kReplyOk) break;
  }
  // A request the port could not queue leaves the state as it was.
  if (result != kSendRefused) SetLinkState(LinkStateOf(result));
  replyValid = result == kReplyOk;
  return result;
}

ExchangeResult TSilo::TransferOverBlock(uint8_t block, const uint8_t* frame, uint8_t frameLength,
                                        uint8_t* reply, uint8_t expected, bool& replyValid) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const auto started = std::chrono::steady_clock::now();
    last_check_ = {};
    uint8_t state = 0;
    try {
      state = block_channel_.Transact(block, frame, frameLength, reply, expected, &CheckReplyThunk,
                                      this);
    } catch (const ECommBlock&) {
      if (trace_)
        TraceBlockAttempt(AttemptOutcome::kBlockError, started, frame, frameLength, reply);
      throw;
    }
    if (trace_) {
      const AttemptOutcome outcome = state == VRSILO_LINK_OK && ReplyLength() != 0
                                         ? AttemptOutcome::kOk
                                     : state == VRSILO_LINK_SILENT ? AttemptOutcome::kNoReply
                                     : last_check_.ran             ? FaultOutcome()
                                                                   : AttemptOutcome::kBadFrame;
      TraceBlockAttempt(outcome, started, frame, frameLength, reply);
    }
    // The attempts end when the block reports 0, or 1 once our check accepted
    // its reply: repeating an answered request would only load the line (and
    // write a calibration table twice).
    if (state == 0 || (state == VRSILO_LINK_OK && ReplyLength() != 0)) break;
  }
  // The block's own channel state becomes the link state, unchanged.
  const uint32_t state = block_channel_.ChannelState(block);
  SetLinkState(static_cast<uint8_t>(state));
  replyValid = (state & 0xFF) == VRSILO_LINK_OK && ReplyLength() != 0;
  if (replyValid) return kReplyOk;
  return (state & 0xFF) == VRSILO_LINK_SILENT ? kNoReply : kBadReply;
}

bool TSilo::ExchangeAllTanks(std::string_view command, uint8_t* reply, size_t& length) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  length = 0;
  if (!link_) return false;
  FrameBuffer frame{};
  const uint8_t frameLength = BuildRequest(command, nullptr, 0, frame.data());
  // One attempt: a gauge that fails it is asked per tank, with the attempts
  // and link states of every exchange.
  const auto started = std::chrono::steady_clock::now();
  last_check_ = {};
  ExchangeResult result = link_->SendRequest(frame.data(), frameLength, kAllTanksFrameSize);
  if (result == kReplyOk) result = link_->AwaitLongReply(reply, kAllTanksFrameSize, length);
  if (result == kReplyOk) {
    const ReplyVerdict verdict = VerifyReply(reply, length, frame.data() + 1);
    if (!verdict.valid) {
      last_check_ = {true, verdict.fault, length};
      result = kBadReply;
    }
  }
  if (result != kSendRefused) SetLinkState(LinkStateOf(result));
  if (trace_) {
    if (result == kReplyOk) last_check_ = {true, ReplyFault::kNone, length};
    TraceAttempt(result, started, frame.data(), frameLength, reply);
    trace_->ExchangeDone(Since(started));
  }
  return result == kReplyOk;
}

bool TSilo::CheckReply(uint8_t tag, const uint8_t* reply, uint8_t& replyLength) {
  reply_length_.store(0, std::memory_order_relaxed);
  ReplyVerdict verdict{false, replyLength > 0 ? reply[0] : uint8_t{0}, ReplyFault::kOtherRequest};
  if (request_pending_.load(std::memory_order_acquire))
    verdict = VerifyReply(reply, replyLength, request_echo_.data());
  if (verdict.valid) reply_length_.store(replyLength, std::memory_order_relaxed);
  last_check_ = {true, verdict.fault, replyLength};
  const uint8_t type = GetConnectionType();
  const VrLinkState state = verdict.valid ? VRSILO_LINK_OK : VRSILO_LINK_BAD_REPLY;
  if (IsBlockType(type)) {
    block_channel_.ReportStatus(type, tag, verdict.status);
    block_channel_.SetChannelState(type, state);
  } else {
    SetLinkState(state);
  }
  return verdict.valid;
}

AttemptOutcome TSilo::FaultOutcome() const {
  if (!last_check_.ran) return AttemptOutcome::kHalfFrame;
  switch (last_check_.fault) {
    case ReplyFault::kNone:
      return AttemptOutcome::kOk;
    case ReplyFault::kBadChecksum:
      return AttemptOutcome::kBadChecksum;
    case ReplyFault::kOtherRequest:
      return AttemptOutcome::kOtherRequest;
    case ReplyFault::kBadFrame:
      break;
  }
  return AttemptOutcome::kBadFrame;
}

void TSilo::TraceAttempt(ExchangeResult result, std::chrono::steady_clock::time_point started,
                         const uint8_t* frame, uint8_t frameLength, const uint8_t* reply) {
  AttemptOutcome outcome = result == kReplyOk       ? AttemptOutcome::kOk
                           : result == kNoReply     ? AttemptOutcome::kNoReply
                           : result == kSendRefused ? AttemptOutcome::kSendRefused
                                                    : FaultOutcome();
  if (outcome == AttemptOutcome::kHalfFrame && link_) {
    // What arrived of the frame that did not end.
    uint8_t partial[kAllTanksFrameSize];
    const size_t n = link_->CopyPartialFrame(partial, sizeof partial);
    trace_->Attempt(LinkName(), outcome, Since(started), frame, frameLength, partial, n);
    return;
  }
  trace_->Attempt(LinkName(), outcome, Since(started), frame, frameLength, reply,
                  last_check_.ran ? last_check_.length : 0);
}

void TSilo::TraceBlockAttempt(AttemptOutcome outcome, std::chrono::steady_clock::time_point started,
                              const uint8_t* frame, uint8_t frameLength, const uint8_t* reply) {
  trace_->Attempt(LinkName(), outcome, Since(started), frame, frameLength, reply,
                  last_check_.ran ? last_check_.length : 0);
}

}  // namespace vr
