#pragma once
// In-process access to a driver object's direct link, for tests that shorten
// its reply time-out or switch the connection type (which has no slot).
#include <mutex>

#include "driver/silo.h"
#include "link/urovn.h"

namespace vr {

struct SiloTestAccess {
  static TUrovn* Link(TSilo& s) {
    std::lock_guard<std::mutex> guard(s.Gauge().lock_);
    return s.Gauge().link_.get();
  }
  // Shortens the reply time-out of the current link and of those opened
  // later; false when there is no link now.
  static bool SetReplyTimeoutMs(TSilo& s, uint32_t ms) {
    s.Gauge().SetReplyTimeoutMs(ms);
    return Link(s) != nullptr;
  }
  // Switches the connection type; the new link has the short time-out.
  static void ChangeConnectionType(TSilo& s, uint8_t type, uint32_t replyTimeoutMs) {
    s.Gauge().SetReplyTimeoutMs(replyTimeoutMs);
    s.ChangeConnectionType(type);
  }
};

}  // namespace vr
