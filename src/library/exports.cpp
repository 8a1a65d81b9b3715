// The library's only exported symbols.
#include <new>

#include "common/fpu.h"
#include "driver/silo.h"
#include "library/unwind_tables.h"
#ifdef VR_HAVE_UI
#include "ui/model/register.h"
#endif

#if defined(_WIN32)
#define VRSILO_EXPORT __declspec(dllexport)
#else
#define VRSILO_EXPORT __attribute__((visibility("default")))
#endif

namespace {
// The windows live in a static library; nothing else references them, so the
// entry points register them (menu hooks and application object) explicitly.
// First, the unwinder must know the library's code.
void PrepareLibrary() {
  vr::EnsureOwnUnwindTables();
#ifdef VR_HAVE_UI
  vr::ui::RegisterUi();
#endif
}
}  // namespace

extern "C" {

VRSILO_EXPORT VrSilo* VRSILO_CALL GetSiloEx2(void* host, uint32_t reserved, uintptr_t mainWindow) {
  vr::FpuScope fpu;
  try {
    PrepareLibrary();
    return vr::CreateSiloEx2(host, reserved, mainWindow)->ToHost();
  } catch (...) {
    return nullptr;  // out of memory
  }
}

VRSILO_EXPORT VrSilo* VRSILO_CALL GetSiloEx3(void* host, int32_t number, uint32_t viaBlock) {
  vr::FpuScope fpu;
  try {
    PrepareLibrary();
    return vr::CreateSiloEx3(host, number, viaBlock)->ToHost();
  } catch (...) {
    return nullptr;
  }
}

}  // extern "C"
