// The root class and the standard class entries (register convention). The
// entries do nothing with floating point, so they need no FPU guard.
#include "driver/class_table.h"

namespace vr {

// E_UNEXPECTED: the library raises no safe-call exceptions of its own.
int32_t VRSILO_REGISTER SafeCallExceptionEntry(VrSilo*, void*, void*) {
  return static_cast<int32_t>(0x8000FFFFu);
}
void VRSILO_REGISTER ObjectEntry(VrSilo*) {}
void VRSILO_REGISTER MessageEntry(VrSilo*, void*) {}
VrSilo* VRSILO_REGISTER NewInstanceEntry(const VrSlotFn*) {
  return nullptr;
}
void VRSILO_REGISTER RootDestroyEntry(VrSilo*, uint8_t) {}

namespace {
constexpr unsigned char kRootName[] = "\x07TObject";
constexpr ClassTable<0> kRootClass = {
    StandardHeader(&kRootClass + 1, kRootName, sizeof(void*), nullptr, &RootDestroyEntry)};
}  // namespace

const void* const kRootClassPointer = &kRootClass + 1;

}  // namespace vr
