// The FPU scopes where the host's floating-point settings need no guarding.
#include "common/fpu.h"

namespace vr {

FpuWords ReadFpuWords() {
  return {};
}
void InstallFpuWords(const FpuWords&) {}
FpuWords LibraryFpuWords() {
  return {};
}
bool FpuScopesActive() {
  return false;
}
FpuScope::FpuScope() noexcept {}
FpuScope::~FpuScope() {}
HostFpuScope::HostFpuScope() noexcept {}
HostFpuScope::~HostFpuScope() {}

}  // namespace vr
