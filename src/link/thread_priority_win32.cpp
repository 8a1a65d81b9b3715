// Priorities of the port's threads on Windows. Each thread raises its own
// priority as it starts: THREAD_PRIORITY_TIME_CRITICAL for the comm-event
// thread, THREAD_PRIORITY_HIGHEST for the transmit thread.
//
// Stack size: the threads are std::thread objects, which take no stack size;
// with mingw-w64 they are started by winpthreads with the process default,
// the stack reserve in the host executable's header (1 MB for most hosts), of
// which only the pages in use are committed. The threads need far less than
// the 16384 bytes a stack of their own would have had: a few locals, no
// recursion, no large buffers (the rings live in the port).
#include <windows.h>

#include "link/thread_priority.h"

namespace vr {

void SetCurrentThreadPriority(ThreadPriority priority) {
  ::SetThreadPriority(::GetCurrentThread(), priority == ThreadPriority::kTimeCritical
                                                ? THREAD_PRIORITY_TIME_CRITICAL
                                                : THREAD_PRIORITY_HIGHEST);
}

}  // namespace vr
