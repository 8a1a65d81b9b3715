#pragma once
// The floating-point environment the library computes in. Hosts on 32-bit x86
// may run with x87 exceptions unmasked (an Object Pascal host: control word
// 0x1332) or with reduced precision; the library must neither trap on a NaN
// from a faulty gauge nor give results that depend on the caller's settings.
//
// FpuScope: on entry from the host (entry points, slots, class entries,
// callbacks) it saves the caller's x87 control word (and MXCSR when the
// library is built with SSE) and installs the library's: all exceptions
// masked, round to nearest, 64-bit precision. On leaving, it clears the
// exception flags the library raised (a flag left pending would trap at the
// host's next x87 instruction once its control word unmasks it) and restores
// the caller's words. Scopes nest; only the outermost one of a thread records
// the host's words.
//
// HostFpuScope: while the library calls into the host (its communication
// block, message boxes), the host's words of the outermost FpuScope are in
// force; the library's come back afterwards.
//
// On targets other than 32-bit x86 both are empty.
#include <cstdint>

namespace vr {

struct FpuWords {
  uint16_t control = 0;
  uint32_t mxcsr = 0;
};

// Reads and installs the words (the flags are cleared before installing).
FpuWords ReadFpuWords();
void InstallFpuWords(const FpuWords& words);
// The library's words; x87 control word 0x037F.
FpuWords LibraryFpuWords();
// True where the scopes do anything (32-bit x86).
bool FpuScopesActive();

class FpuScope {
 public:
  FpuScope() noexcept;
  ~FpuScope();
  FpuScope(const FpuScope&) = delete;
  FpuScope& operator=(const FpuScope&) = delete;

 private:
  FpuWords saved_;
};

class HostFpuScope {
 public:
  HostFpuScope() noexcept;
  ~HostFpuScope();
  HostFpuScope(const HostFpuScope&) = delete;
  HostFpuScope& operator=(const HostFpuScope&) = delete;

 private:
  FpuWords saved_;
  [[maybe_unused]] bool active_ = false;  // used by the x87 scopes only
};

// Calls a host function with the host's words in force.
template <typename Fn, typename... Args>
auto CallHost(Fn fn, Args... args) {
  HostFpuScope host;
  return fn(args...);
}

}  // namespace vr
