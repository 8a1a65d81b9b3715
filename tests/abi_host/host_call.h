#pragma once
// One call into the library made the way a 32-bit Object Pascal host makes
// it: stack arguments pushed last first, up to three register arguments in
// EAX/EDX/ECX, the host's x87 control word (and MXCSR) in force, and markers
// in EBX/ESI/EDI. Afterwards: what the callee left behind.
#include <cstddef>
#include <cstdint>

struct HostCall {
  const void* fn;
  const uint32_t* args;  // stack arguments, first argument first
  uint32_t count;
  uint32_t eax, edx, ecx;
  uint32_t control;         // x87 control word set before the call
  uint32_t returns_double;  // result in ST(0), stored to st0
  uint32_t eax_out, edx_out;
  uint32_t control_after, status_after;
  int32_t stack_delta;         // ESP after the call minus ESP before the pushes
  uint32_t callee_saved_kept;  // EBX, ESI, EDI unchanged
  double st0;
  uint32_t mxcsr;  // set before the call when nonzero
  uint32_t mxcsr_after;
  uint32_t status_before;
};
static_assert(offsetof(HostCall, control) == 24 && offsetof(HostCall, st0) == 56 &&
              offsetof(HostCall, status_before) == 72);

extern "C" void vr_host_call(HostCall* call);
