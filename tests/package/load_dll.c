/* Loads a shipped vrsilo.dll the way a Windows host does and makes one
 * driver object that opens nothing (connection type beyond the ports): its
 * class name, a read and its destruction. Exit status 0 = loaded and checked.
 * Usage: load_dll path\to\vrsilo.dll */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "vrsilo.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: load_dll vrsilo.dll\n");
    return 2;
  }
  HMODULE lib = LoadLibraryA(argv[1]);
  if (!lib) {
    fprintf(stderr, "%s: LoadLibrary failed, error %lu\n", argv[1], GetLastError());
    return 1;
  }
  VrGetSiloEx3Fn ex3 = (VrGetSiloEx3Fn)(void (*)(void))GetProcAddress(lib, "GetSiloEx3");
  if (!ex3 || !GetProcAddress(lib, "GetSiloEx2")) {
    fprintf(stderr, "%s: entry points missing\n", argv[1]);
    return 1;
  }
  VrSilo* silo = ex3(NULL, 20, 0);
  if (!silo) return 1;
  const unsigned char* name = vrsilo_class_name(vrsilo_table(silo));
  double level = VRSILO_SLOT(silo, VrGetDoubleFn, VRSILO_SLOT_GET_LEVEL)(silo, 0);
  int ok = name[0] == 5 && memcmp(name + 1, "TSilo", 5) == 0 && level == 0.0;
  vrsilo_destroy(silo);
  FreeLibrary(lib);
  printf("%s: %s\n", argv[1], ok ? "loaded, TSilo" : "wrong object");
  return ok ? 0 : 1;
}
