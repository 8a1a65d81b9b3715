#pragma once
#include <cstdint>

namespace vr {

// What one attempt of a request-reply exchange came to. Plain values: the
// link and the driver hand them on as numbers too.
enum ExchangeResult : int {
  kReplyOk = 0,      // a complete reply that passed the reply check
  kNoReply = 2,      // silence: no byte since the last complete frame
  kSendRefused = 3,  // the link did not take the request
  kBadReply = 5,     // a frame began but did not end in time, or failed the check
};

}  // namespace vr
