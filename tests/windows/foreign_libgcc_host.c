/* A 32-bit host process that already has libgcc_s_dw2-1.dll loaded (a host or
 * plug-in built with a shared libgcc) when it loads vrsilo.dll. The DLL's
 * start-up code then hands its unwind tables to that libgcc; the library must
 * still catch its own exceptions: opening the missing COM6 throws inside the
 * library, which must end in a driver object, not in std::terminate.
 * Exit status 0 = passed. Usage: foreign_libgcc_host vrsilo.dll */
#include <stdio.h>
#include <windows.h>

#include "vrsilo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  if (!LoadLibraryA("libgcc_s_dw2-1.dll")) {
    fprintf(stderr, "libgcc_s_dw2-1.dll could not be loaded first\n");
    return 2;
  }
  HMODULE lib = LoadLibraryA(argv[1]);
  VrGetSiloEx3Fn ex3 = lib ? (VrGetSiloEx3Fn)(void*)GetProcAddress(lib, "GetSiloEx3") : NULL;
  if (!ex3) {
    fprintf(stderr, "%s has no GetSiloEx3\n", argv[1]);
    return 2;
  }
  VrSilo* silo = ex3(NULL, 6, 0);
  if (!silo) {
    fprintf(stderr, "no driver object\n");
    return 1;
  }
  vrsilo_destroy(silo);
  printf("the library caught its own exception with libgcc_s_dw2-1.dll in the process\n");
  return 0;
}
