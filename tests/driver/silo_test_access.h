#pragma once
// The driver object's link, for tests that shorten its reply time-out.
#include "driver/silo.h"
#include "link/urovn.h"

namespace vr {
struct SiloTestAccess {
  static TUrovn* Link(TSilo& s) { return s.link_.get(); }
};
}  // namespace vr
