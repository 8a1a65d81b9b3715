#pragma once
// The agent's own communication block, laid out as a host lays its block out
// (table pointer first, then the array of block objects). Block No. 1 carries
// its traffic over a serial port of the agent (a COM number mapped as usual in
// [Ports]), so a driver object made with viaBlock reads that port through the
// library's communication-block path. This reaches gauges on ports the
// library's own connection types cannot name (COM7 and up), one block object
// per gauge, each used by one reader thread.
#include <cstdint>
#include <memory>

#include "vrsilo.h"

namespace vr {
class TUrovn;
}

namespace vr::agent {

class AgentCommBlock {
 public:
  explicit AgentCommBlock(uint16_t port);
  ~AgentCommBlock();
  AgentCommBlock(const AgentCommBlock&) = delete;
  AgentCommBlock& operator=(const AgentCommBlock&) = delete;

  // What GetSiloEx2/GetSiloEx3 take as the host's block.
  void* Host() { return &host_.header; }

 private:
  struct HostObject {
    VrCommBlock header;
    AgentCommBlock* self;
  };
  static AgentCommBlock* Of(VrCommBlock* cb) { return reinterpret_cast<HostObject*>(cb)->self; }

  static void VRSILO_CALL SetChannelState(VrCommBlock* cb, uint32_t channel, uint32_t state);
  static uint32_t VRSILO_CALL GetChannelState(VrCommBlock* cb, uint32_t channel);
  static void VRSILO_CALL SetReplyHandler(VrCommBlock* cb, uint32_t block, uint32_t tag,
                                          VrReplyCheckFn check, void* context);
  static int32_t VRSILO_CALL Transact(VrCommBlock* cb, uint32_t block, uint32_t a, uint32_t b,
                                      const uint8_t* frame, uint32_t frameLength, uint8_t* reply,
                                      uint32_t expected, uint32_t c);
  static int32_t VRSILO_CALL SetupChannel(VrCommBlock* cb, uint32_t channel, uint32_t mode,
                                          uint32_t baud, uint32_t replyMs, uint32_t gapMs,
                                          uint32_t flags);
  static void VRSILO_CALL SetConfigHandler(VrCommBlock* cb, uint32_t channel,
                                           VrConfigureFn configure, void* context);
  static void VRSILO_CALL BlockStatus(VrBlockObject* block, uint32_t tag, uint32_t status);
  static bool CheckThunk(void* self, uint8_t tag, const uint8_t* reply, uint8_t& replyLength,
                         uint8_t& expected);

  // Opens the port when it is not open; a missing port is tried again at
  // most once a second. False while it stays closed.
  bool EnsureOpen();

  const uint16_t port_;
  std::unique_ptr<TUrovn> link_;
  int64_t next_open_ms_ = 0;
  VrReplyCheckFn check_ = nullptr;
  void* check_context_ = nullptr;
  uint32_t tag_ = 0;
  uint32_t channel_state_[64] = {};

  VrSlotFn table_[VRSILO_CB_SET_CONFIG_HANDLER + 1] = {};
  VrSlotFn block_table_[VRSILO_BLOCK_STATUS + 1] = {};
  VrBlockObject blocks_[3] = {};
  VrBlockObject* block_ptrs_[3] = {};
  HostObject host_{};
};

}  // namespace vr::agent
