#pragma once
// The driver library as a host loads it: dlopen, then its two entry points.
#include <dlfcn.h>

#include <string>

#include "vrsilo.h"

namespace vr::tools {

struct DriverLibrary {
  void* handle = nullptr;
  VrGetSiloEx2Fn ex2 = nullptr;
  VrGetSiloEx3Fn ex3 = nullptr;
};

// The library at `path` with both entry points; else no handle and the
// reason in `error`.
inline DriverLibrary LoadDriverLibrary(const std::string& path, std::string& error) {
  DriverLibrary lib;
  lib.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib.handle) {
    error = dlerror();
    return lib;
  }
  lib.ex2 = reinterpret_cast<VrGetSiloEx2Fn>(dlsym(lib.handle, "GetSiloEx2"));
  lib.ex3 = reinterpret_cast<VrGetSiloEx3Fn>(dlsym(lib.handle, "GetSiloEx3"));
  if (!lib.ex2 || !lib.ex3) {
    error = path + " lacks the entry points";
    dlclose(lib.handle);
    return {};
  }
  return lib;
}

}  // namespace vr::tools
