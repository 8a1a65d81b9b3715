// The library's only exported symbols.
#include <new>

#include "driver/silo.h"

#if defined(_WIN32)
#define VRSILO_EXPORT __declspec(dllexport)
#else
#define VRSILO_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

VRSILO_EXPORT VrSilo* VRSILO_CALL GetSiloEx2(void* host, uint32_t reserved, uintptr_t mainWindow) {
  try {
    return vr::CreateSiloEx2(host, reserved, mainWindow)->ToHost();
  } catch (...) {
    return nullptr;  // out of memory
  }
}

VRSILO_EXPORT VrSilo* VRSILO_CALL GetSiloEx3(void* host, int32_t number, uint32_t viaBlock) {
  try {
    return vr::CreateSiloEx3(host, number, viaBlock)->ToHost();
  } catch (...) {
    return nullptr;
  }
}

}  // extern "C"
