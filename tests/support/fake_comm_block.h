#pragma once
// A host communication block built the way a host lays it out (table pointer
// first, block array as the first data field), answering requests through a
// responder function.
#include <functional>
#include <string>
#include <vector>

#include "link/comm_block_channel.h"
#include "vrsilo.h"

namespace vr::test {

class FakeCommBlock {
 public:
  using Responder = std::function<std::vector<uint8_t>(const std::string& request)>;

  FakeCommBlock() {
    table_[VRSILO_CB_SET_CHANNEL_STATE] = reinterpret_cast<VrSlotFn>(&SetChannelState);
    table_[VRSILO_CB_GET_CHANNEL_STATE] = reinterpret_cast<VrSlotFn>(&GetChannelState);
    table_[VRSILO_CB_SET_REPLY_HANDLER] = reinterpret_cast<VrSlotFn>(&SetReplyHandler);
    table_[VRSILO_CB_TRANSACT] = reinterpret_cast<VrSlotFn>(&Transact);
    table_[VRSILO_CB_SETUP_CHANNEL] = reinterpret_cast<VrSlotFn>(&SetupChannel);
    table_[VRSILO_CB_SET_CONFIG_HANDLER] = reinterpret_cast<VrSlotFn>(&SetConfigHandler);
    block_table_[VRSILO_BLOCK_STATUS] = reinterpret_cast<VrSlotFn>(&BlockStatus);
    for (auto& b : block_objects_) b.header.table = block_table_;
    for (int i = 0; i < 3; ++i) {
      block_objects_[i].owner = this;
      block_ptrs_[i] = &block_objects_[i].header;
    }
    host_.header.table = table_;
    host_.header.blocks = block_ptrs_;
    host_.self = this;
  }

  void* Host() { return &host_.header; }
  void SetResponder(Responder r) { responder_ = std::move(r); }

  // Called inside Transact after the library's reply check has returned.
  std::function<void()> after_check;

  // Set to make Transact refuse or SetupChannel fail.
  bool refuse_transact = false;
  bool fail_setup = false;

  std::vector<std::string> requests;                    // command text and payload of each Transact
  std::vector<uint32_t> transact_blocks;                // block index of each Transact
  std::vector<std::pair<uint32_t, uint32_t>> statuses;  // BlockStatus (tag, status)
  std::vector<uint32_t> setups;                         // channels set up
  uint32_t config_channel = 0;
  uint32_t channel_state[64] = {};

  void CallConfigHandler() {
    if (configure_) configure_(configure_context_);
  }

 private:
  struct HostObject {
    VrCommBlock header;
    FakeCommBlock* self;
  };
  struct Block {
    VrBlockObject header;
    FakeCommBlock* owner;
  };
  static FakeCommBlock* Of(VrCommBlock* cb) { return reinterpret_cast<HostObject*>(cb)->self; }

  static void VRSILO_CALL SetChannelState(VrCommBlock* cb, uint32_t channel, uint32_t state) {
    Of(cb)->channel_state[channel % 64] = state;
  }
  static uint32_t VRSILO_CALL GetChannelState(VrCommBlock* cb, uint32_t channel) {
    return Of(cb)->channel_state[channel % 64];
  }
  static void VRSILO_CALL SetReplyHandler(VrCommBlock* cb, uint32_t, uint32_t tag,
                                          VrReplyCheckFn check, void* context) {
    Of(cb)->check_ = check;
    Of(cb)->check_context_ = context;
    Of(cb)->tag_ = tag;
  }
  static int32_t VRSILO_CALL Transact(VrCommBlock* cb, uint32_t block, uint32_t, uint32_t,
                                      const uint8_t* frame, uint32_t frameLength, uint8_t* reply,
                                      uint32_t expected, uint32_t) {
    FakeCommBlock* self = Of(cb);
    self->requests.emplace_back(reinterpret_cast<const char*>(frame) + 1, frameLength - 1);
    self->transact_blocks.push_back(block);
    if (self->refuse_transact) return 1;
    std::vector<uint8_t> r =
        self->responder_ ? self->responder_(self->requests.back()) : std::vector<uint8_t>{};
    const uint32_t channel = BlockChannel(static_cast<uint8_t>(block));
    if (r.empty()) {
      self->channel_state[channel] = 2;  // nothing came back
      return 0;
    }
    if (r.size() > 255) r.resize(255);
    std::copy(r.begin(), r.end(), reply);
    uint8_t length = static_cast<uint8_t>(r.size());
    uint8_t exp = static_cast<uint8_t>(expected);
    if (self->check_) self->check_(self->check_context_, self->tag_, reply, &length, &exp);
    if (self->after_check) self->after_check();
    return 0;
  }
  static int32_t VRSILO_CALL SetupChannel(VrCommBlock* cb, uint32_t channel, uint32_t, uint32_t,
                                          uint32_t, uint32_t, uint32_t) {
    Of(cb)->setups.push_back(channel);
    return Of(cb)->fail_setup ? 1 : 0;
  }
  static void VRSILO_CALL SetConfigHandler(VrCommBlock* cb, uint32_t channel,
                                           VrConfigureFn configure, void* context) {
    Of(cb)->config_channel = channel;
    Of(cb)->configure_ = configure;
    Of(cb)->configure_context_ = context;
  }
  static void VRSILO_CALL BlockStatus(VrBlockObject* b, uint32_t tag, uint32_t status) {
    reinterpret_cast<Block*>(b)->owner->statuses.emplace_back(tag, status);
  }

  VrSlotFn table_[28] = {};
  VrSlotFn block_table_[9] = {};
  HostObject host_{};
  Block block_objects_[3]{};
  VrBlockObject* block_ptrs_[3] = {};
  Responder responder_;
  VrReplyCheckFn check_ = nullptr;
  void* check_context_ = nullptr;
  uint32_t tag_ = 0;
  VrConfigureFn configure_ = nullptr;
  void* configure_context_ = nullptr;
};

}  // namespace vr::test
