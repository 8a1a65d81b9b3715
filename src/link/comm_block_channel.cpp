#include "link/comm_block_channel.h"

#include "common/fpu.h"
#include "vrsilo.h"

namespace vr {
namespace {

VrCommBlock* Block(void* p) {
  auto* cb = static_cast<VrCommBlock*>(p);
  if (!cb || !cb->table) throw ECommBlock(kCommBlockError);
  return cb;
}

template <typename Fn>
Fn Slot(VrCommBlock* cb, int index) {
  return reinterpret_cast<Fn>(cb->table[index]);
}

}  // namespace

// The block calls these on its own threads: the library's FPU settings are
// installed, and nothing may propagate into the host.
struct CommBlockChannel::Thunks {
  static uint32_t VRSILO_CALL Check(void* context, uint32_t tag, const uint8_t* reply,
                                    uint8_t* replyLength, uint8_t* expected) {
    if (!context || !reply || !replyLength || *replyLength == 0) return 0;
    FpuScope fpu;
    try {
      auto* self = static_cast<CommBlockChannel*>(context);
      uint8_t wanted = expected ? *expected : 0;
      return self->check_ && self->check_(self->check_context_, static_cast<uint8_t>(tag), reply,
                                          *replyLength, wanted)
                 ? 1
                 : 0;
    } catch (...) {
      return 0;
    }
  }

  static void VRSILO_CALL Configure(void* context) {
    FpuScope fpu;
    try {
      auto* self = static_cast<CommBlockChannel*>(context);
      if (self && self->configure_) self->configure_(self->configure_context_);
    } catch (...) {
    }
  }
};

void CommBlockChannel::Open(uint8_t block, ConfigureFn configure, void* context) {
  VrCommBlock* cb = Block(host_);
  configure_ = configure;
  configure_context_ = context;
  CallHost(Slot<VrCbSetConfigHandlerFn>(cb, VRSILO_CB_SET_CONFIG_HANDLER), cb, BlockChannel(block),
           &Thunks::Configure, static_cast<void*>(this));
  Configure(block);
}

void CommBlockChannel::Configure(uint8_t block) {
  VrCommBlock* cb = Block(host_);
  if (CallHost(Slot<VrCbSetupChannelFn>(cb, VRSILO_CB_SETUP_CHANNEL), cb, BlockChannel(block), 3u,
               9600u, 1500u, 1000u, 1u) != 0)
    throw ECommBlock(kCommBlockError);
}

uint8_t CommBlockChannel::Transact(uint8_t block, const uint8_t* frame, uint8_t frameLength,
                                   uint8_t* reply, uint8_t expected, ReplyCheckFn check,
                                   void* context) {
  VrCommBlock* cb = Block(host_);
  check_ = check;
  check_context_ = context;
  CallHost(Slot<VrCbSetReplyHandlerFn>(cb, VRSILO_CB_SET_REPLY_HANDLER), cb, uint32_t{block}, 17u,
           &Thunks::Check, static_cast<void*>(this));
  if (CallHost(Slot<VrCbTransactFn>(cb, VRSILO_CB_TRANSACT), cb, uint32_t{block}, 17u, 17u, frame,
               uint32_t{frameLength}, reply, uint32_t{expected}, 1u) != 0)
    throw ECommBlock(kCommBlockError);
  return static_cast<uint8_t>(ChannelState(block) & 0xFF);
}

uint32_t CommBlockChannel::ChannelState(uint8_t block) const {
  VrCommBlock* cb = Block(host_);
  return CallHost(Slot<VrCbGetChannelStateFn>(cb, VRSILO_CB_GET_CHANNEL_STATE), cb,
                  BlockChannel(block));
}

void CommBlockChannel::SetChannelState(uint8_t block, uint32_t state) {
  VrCommBlock* cb = Block(host_);
  CallHost(Slot<VrCbSetChannelStateFn>(cb, VRSILO_CB_SET_CHANNEL_STATE), cb, BlockChannel(block),
           state);
}

void CommBlockChannel::ReportStatus(uint8_t block, uint8_t tag, uint8_t status) {
  VrCommBlock* cb = Block(host_);
  VrBlockObject* object = cb->blocks ? cb->blocks[block] : nullptr;
  if (object)
    CallHost(reinterpret_cast<VrBlockStatusFn>(object->table[VRSILO_BLOCK_STATUS]), object,
             uint32_t{tag}, uint32_t{status});
}

}  // namespace vr
