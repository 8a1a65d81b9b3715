#include "link/thread_priority.h"

namespace vr {

void SetCurrentThreadPriority(ThreadPriority /*priority*/) {}

}  // namespace vr
