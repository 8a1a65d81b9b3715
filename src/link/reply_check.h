#pragma once
#include <cstdint>

namespace vr {

// The reply check a link calls on each complete frame: true when the frame
// answers the request in flight. context is the caller's (the driver object);
// tag is 1 on the direct link, the block's own tag on a communication block.
using ReplyCheckFn = bool (*)(void* context, uint8_t tag, const uint8_t* reply,
                              uint8_t& replyLength, uint8_t& expected);

}  // namespace vr
