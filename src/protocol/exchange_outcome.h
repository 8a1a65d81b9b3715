#pragma once
#include <cstddef>
#include <cstdint>

namespace vr {

// What one attempt of a request-reply exchange came to, from the link's
// silence to the reply check's verdict: the link state, the trace and the
// callers all read it from here.
enum class ExchangeOutcome : uint8_t {
  kOk,            // a complete reply that answers the request
  kNoReply,       // silence: no byte since the last complete frame
  kHalfFrame,     // a frame began but did not end in time
  kBadChecksum,   // the checksum characters do not match
  kOtherRequest,  // a well-formed reply that does not echo this request
  kBadFrame,      // no SOH in front or no ETX at the end
  kSendRefused,   // the link did not take the request
  kBlockError,    // the communication block refused the call
  kNoLink,        // no link to send over (its port did not open)
  kCount
};

// An exchange's result: its outcome and, when kOk, the length of the reply
// in the caller's buffer (0 otherwise).
struct ExchangeReply {
  ExchangeOutcome outcome = ExchangeOutcome::kNoReply;
  size_t length = 0;
  bool Ok() const { return outcome == ExchangeOutcome::kOk; }
};

}  // namespace vr
