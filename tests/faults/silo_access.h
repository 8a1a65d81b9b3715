#pragma once
// In-process access to a driver object's link, for the tests that switch the
// connection type (ChangeConnectionType has no slot) and want short reply
// time-outs.
#include <mutex>

#include "driver/silo.h"
#include "link/urovn.h"

namespace vr {

struct SiloTestAccess {
  // Shortens the reply time-out of the current link, if there is one. Under
  // the exchange lock, which also guards the switch of links.
  static bool SetReplyTimeoutMs(TSilo& s, uint32_t ms) {
    std::lock_guard<std::recursive_mutex> guard(s.lock_);
    if (!s.link_) return false;
    s.link_->SetReplyTimeoutMs(ms);
    return true;
  }
  // Switches the connection type and gives the new link the short time-out.
  static void ChangeConnectionType(TSilo& s, uint8_t type, uint32_t replyTimeoutMs) {
    std::lock_guard<std::recursive_mutex> guard(s.lock_);
    s.ChangeConnectionType(type);
    if (s.link_) s.link_->SetReplyTimeoutMs(replyTimeoutMs);
  }
};

}  // namespace vr
