#include "comm_block.h"

#include <chrono>
#include <exception>

#include "link/urovn.h"

namespace vr::agent {
namespace {

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

AgentCommBlock::AgentCommBlock(uint16_t port) : port_(port) {
  table_[VRSILO_CB_SET_CHANNEL_STATE] = reinterpret_cast<VrSlotFn>(&SetChannelState);
  table_[VRSILO_CB_GET_CHANNEL_STATE] = reinterpret_cast<VrSlotFn>(&GetChannelState);
  table_[VRSILO_CB_SET_REPLY_HANDLER] = reinterpret_cast<VrSlotFn>(&SetReplyHandler);
  table_[VRSILO_CB_TRANSACT] = reinterpret_cast<VrSlotFn>(&Transact);
  table_[VRSILO_CB_SETUP_CHANNEL] = reinterpret_cast<VrSlotFn>(&SetupChannel);
  table_[VRSILO_CB_SET_CONFIG_HANDLER] = reinterpret_cast<VrSlotFn>(&SetConfigHandler);
  block_table_[VRSILO_BLOCK_STATUS] = reinterpret_cast<VrSlotFn>(&BlockStatus);
  for (int i = 0; i < 3; ++i) {
    blocks_[i].table = block_table_;
    block_ptrs_[i] = &blocks_[i];
  }
  host_.header.table = table_;
  host_.header.blocks = block_ptrs_;
  host_.self = this;
  EnsureOpen();
}

AgentCommBlock::~AgentCommBlock() = default;

bool AgentCommBlock::EnsureOpen() {
  if (link_) return true;
  const int64_t now = NowMs();
  if (now < next_open_ms_) return false;
  next_open_ms_ = now + 1000;
  try {
    link_ = std::make_unique<TUrovn>(port_);
  } catch (const std::exception&) {
    return false;  // missing or in use: the gauge reads as silent
  }
  return true;
}

void VRSILO_CALL AgentCommBlock::SetChannelState(VrCommBlock* cb, uint32_t channel,
                                                 uint32_t state) {
  Of(cb)->channel_state_[channel % 64] = state;
}

uint32_t VRSILO_CALL AgentCommBlock::GetChannelState(VrCommBlock* cb, uint32_t channel) {
  return Of(cb)->channel_state_[channel % 64];
}

void VRSILO_CALL AgentCommBlock::SetReplyHandler(VrCommBlock* cb, uint32_t, uint32_t tag,
                                                 VrReplyCheckFn check, void* context) {
  AgentCommBlock* self = Of(cb);
  self->check_ = check;
  self->check_context_ = context;
  self->tag_ = tag;
}

// The library's check runs on each complete frame; it records the channel
// state (1 valid, 3 not) through SetChannelState.
bool AgentCommBlock::CheckThunk(void* self, uint8_t, const uint8_t* reply, uint8_t& replyLength,
                                uint8_t& expected) {
  auto* block = static_cast<AgentCommBlock*>(self);
  if (!block->check_) return false;
  return block->check_(block->check_context_, block->tag_, reply, &replyLength, &expected) != 0;
}

int32_t VRSILO_CALL AgentCommBlock::Transact(VrCommBlock* cb, uint32_t block, uint32_t, uint32_t,
                                             const uint8_t* frame, uint32_t frameLength,
                                             uint8_t* reply, uint32_t, uint32_t) {
  AgentCommBlock* self = Of(cb);
  const uint32_t channel = (block & 0xFF) * 16 + 17;
  // Silence unless a frame arrives: a closed port, a refused send and a
  // reply that never came all read as a silent gauge (link state 2).
  self->channel_state_[channel % 64] = VRSILO_LINK_SILENT;
  if (frameLength == 0 || frameLength > 255 || !self->EnsureOpen()) return 0;
  TUrovn& link = *self->link_;
  if (link.SendRequest(frame, frameLength) == ExchangeOutcome::kOk) {
    const ExchangeReply r = link.AwaitReply(reply, 255);
    if (r.Ok()) {
      uint8_t length = static_cast<uint8_t>(r.length), expected = 0;
      CheckThunk(self, 0, reply, length, expected);
    } else if (r.outcome == ExchangeOutcome::kHalfFrame) {
      // A frame that began and did not end never reached the check.
      self->channel_state_[channel % 64] = VRSILO_LINK_BAD_REPLY;
    }
  }
  return 0;
}

int32_t VRSILO_CALL AgentCommBlock::SetupChannel(VrCommBlock*, uint32_t, uint32_t, uint32_t,
                                                 uint32_t, uint32_t, uint32_t) {
  return 0;  // the port is set up at 9600 8N1 when it opens
}

void VRSILO_CALL AgentCommBlock::SetConfigHandler(VrCommBlock*, uint32_t, VrConfigureFn, void*) {}

void VRSILO_CALL AgentCommBlock::BlockStatus(VrBlockObject*, uint32_t, uint32_t) {}

}  // namespace vr::agent
