#include <windows.h>

#include "link/thread_priority.h"

namespace vr {

void SetCurrentThreadPriority(ThreadPriority priority) {
  ::SetThreadPriority(::GetCurrentThread(), priority == ThreadPriority::kTimeCritical
                                                ? THREAD_PRIORITY_TIME_CRITICAL
                                                : THREAD_PRIORITY_HIGHEST);
}

}  // namespace vr
