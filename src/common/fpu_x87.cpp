// The FPU scopes on 32-bit x86 (x87, and MXCSR when built with SSE).
#include "common/fpu.h"

namespace vr {
namespace {

constexpr uint16_t kLibraryControl = 0x037F;  // all masked, 64-bit precision, nearest
constexpr uint32_t kLibraryMxcsr = 0x1F80;    // all masked, nearest, no flush to zero

// Per thread: how deep the scopes are, and the host's words of the outermost.
thread_local int t_depth = 0;
thread_local FpuWords t_host;

}  // namespace

FpuWords ReadFpuWords() {
  FpuWords w;
  __asm__ volatile("fnstcw %0" : "=m"(w.control));
#ifdef __SSE__
  __asm__ volatile("stmxcsr %0" : "=m"(w.mxcsr));
#endif
  return w;
}

void InstallFpuWords(const FpuWords& w) {
  __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(w.control));
#ifdef __SSE__
  __asm__ volatile("ldmxcsr %0" : : "m"(w.mxcsr));
#endif
}

FpuWords LibraryFpuWords() {
  FpuWords w;
  w.control = kLibraryControl;
  w.mxcsr = kLibraryMxcsr;
  return w;
}

bool FpuScopesActive() {
  return true;
}

FpuScope::FpuScope() noexcept : saved_(ReadFpuWords()) {
  if (t_depth++ == 0) t_host = saved_;
  InstallFpuWords(LibraryFpuWords());
}

FpuScope::~FpuScope() {
  --t_depth;
  InstallFpuWords(saved_);
}

HostFpuScope::HostFpuScope() noexcept : active_(t_depth > 0) {
  if (!active_) return;
  saved_ = ReadFpuWords();
  InstallFpuWords(t_host);
}

HostFpuScope::~HostFpuScope() {
  if (active_) InstallFpuWords(saved_);
}

}  // namespace vr
