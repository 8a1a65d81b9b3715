#pragma once
// Priority of the port's threads: the comm-event thread runs at
// THREAD_PRIORITY_TIME_CRITICAL, the transmit thread at THREAD_PRIORITY_HIGHEST.
// Each thread sets its own priority as it starts (the Win32 design set it from
// the starting thread after the acknowledgment; the effect is the same and no
// native thread handle has to be dug out of std::thread).

namespace vr {

enum class ThreadPriority { kHighest, kTimeCritical };

// Best effort on the calling thread; a no-op on POSIX, where raising a
// priority needs privileges that the host process normally does not have.
void SetCurrentThreadPriority(ThreadPriority priority);

}  // namespace vr
