#pragma once
// The gauge's channel through the host's communication block (connection
// types 0..2 = blocks 1..3). The block is the host's object: it is reached
// only through its slot table, and it calls back through two handlers.
#include <cstdint>
#include <stdexcept>

#include "link/reply_check.h"

namespace vr {

// Raised when the block refuses a call; the host sees the message through the
// application object, never the exception.
class ECommBlock : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
inline constexpr const char* kCommBlockError = "Ошибка связи с БС";

// The block's channel number of the gauge on block index 0..2.
inline uint32_t BlockChannel(uint8_t block) {
  return static_cast<uint32_t>(block) * 16 + 17;
}

class CommBlockChannel {
 public:
  using ConfigureFn = void (*)(void* context);

  explicit CommBlockChannel(void* host) : host_(host) {}
  CommBlockChannel(const CommBlockChannel&) = delete;
  CommBlockChannel& operator=(const CommBlockChannel&) = delete;

  // Gives the block the handler it calls whenever the channel needs its set-up
  // again, then sets it up. Throws ECommBlock.
  void Open(uint8_t block, ConfigureFn configure, void* context);
  // Sets the channel up for the gauge: 9600 baud, 1.5 s for a reply.
  void Configure(uint8_t block);
  // One request-reply transaction; the block calls `check` on the reply.
  // Returns the channel's state afterwards (its low byte). Throws ECommBlock.
  uint8_t Transact(uint8_t block, const uint8_t* frame, uint8_t frameLength, uint8_t* reply,
                   uint8_t expected, ReplyCheckFn check, void* context);
  uint32_t ChannelState(uint8_t block) const;
  void SetChannelState(uint8_t block, uint32_t state);
  // Tells the block object (when the host has one) how its reply was judged.
  void ReportStatus(uint8_t block, uint8_t tag, uint8_t status);

 private:
  struct Thunks;  // the handlers the block calls, in its calling convention
  friend struct Thunks;

  void* host_;
  ReplyCheckFn check_ = nullptr;
  void* check_context_ = nullptr;
  ConfigureFn configure_ = nullptr;
  void* configure_context_ = nullptr;
};

}  // namespace vr
