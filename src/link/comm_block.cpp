// The channel through the host's communication block (connection types 0..2).
// The block is the host's object; it is reached only through its slot table.
#include <exception>
#include <string>

#include "common/fpu.h"
#include "driver/silo.h"

namespace vr {
namespace {

VrCommBlock* Block(void* p) {
  auto* cb = static_cast<VrCommBlock*>(p);
  if (!cb || !cb->table) throw ECommBlock(kCommBlockError);
  return cb;
}

uint32_t VRSILO_CALL ReplyCheckThunk(void* context, uint32_t tag, const uint8_t* reply,
                                     uint8_t* replyLength, uint8_t*) {
  if (!context || !reply || !replyLength || *replyLength == 0) return 0;
  FpuScope fpu;
  try {
    return static_cast<TSilo*>(context)->CheckReply(static_cast<uint8_t>(tag), reply, *replyLength)
               ? 1
               : 0;
  } catch (...) {
    return 0;
  }
}

void VRSILO_CALL ConfigureThunk(void* context) {
  FpuScope fpu;
  try {
    if (context) static_cast<TSilo*>(context)->ConfigureChannel();
  } catch (...) {
    // Called back by the host's block: nothing may propagate into it.
  }
}

uint32_t Channel(uint8_t type) {
  return static_cast<uint32_t>(type) * 16 + 17;
}

}  // namespace

void TSilo::ConfigureChannel() {
  const uint8_t type = GetConnectionType();
  if (!IsBlockType(type)) return;
  VrCommBlock* cb = Block(comm_block_);
  auto setup = reinterpret_cast<VrCbSetupChannelFn>(cb->table[VRSILO_CB_SETUP_CHANNEL]);
  if (CallHost(setup, cb, Channel(type), 3u, 9600u, 1500u, 1000u, 1u) != 0)
    throw ECommBlock(kCommBlockError);
}

void TSilo::OpenCommBlock() {
  const uint8_t type = GetConnectionType();
  if (!IsBlockType(type)) return;
  try {
    VrCommBlock* cb = Block(comm_block_);
    auto setHandler =
        reinterpret_cast<VrCbSetConfigHandlerFn>(cb->table[VRSILO_CB_SET_CONFIG_HANDLER]);
    CallHost(setHandler, cb, Channel(type), &ConfigureThunk, static_cast<void*>(this));
    ConfigureChannel();
  } catch (const std::exception& e) {
    // Passed on with a blank in front of the block's message.
    throw ECommBlock(std::string(" ") + e.what());
  }
}

int TSilo::CommBlockTransfer(const uint8_t* frame, uint8_t frameLength, uint8_t* reply,
                             uint8_t expected) {
  const uint8_t type = GetConnectionType();
  VrCommBlock* cb = Block(comm_block_);
  auto setHandler = reinterpret_cast<VrCbSetReplyHandlerFn>(cb->table[VRSILO_CB_SET_REPLY_HANDLER]);
  auto transact = reinterpret_cast<VrCbTransactFn>(cb->table[VRSILO_CB_TRANSACT]);
  auto getState = reinterpret_cast<VrCbGetChannelStateFn>(cb->table[VRSILO_CB_GET_CHANNEL_STATE]);
  const uint32_t block = type;
  CallHost(setHandler, cb, block, 17u, &ReplyCheckThunk, static_cast<void*>(this));
  if (CallHost(transact, cb, block, 17u, 17u, frame, uint32_t{frameLength}, reply,
               uint32_t{expected}, 1u) != 0)
    throw ECommBlock(kCommBlockError);
  return static_cast<int>(CallHost(getState, cb, Channel(type)) & 0xFF);
}

}  // namespace vr
