# 64-bit Windows (x86_64) with Debian's mingw-w64, POSIX thread model (std::thread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VR_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${VR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VR_MINGW_TRIPLET}-windres)
set(CMAKE_AR /usr/bin/${VR_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/${VR_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "")
set(CMAKE_NM /usr/bin/${VR_MINGW_TRIPLET}-nm CACHE FILEPATH "")
set(CMAKE_OBJDUMP /usr/bin/${VR_MINGW_TRIPLET}-objdump CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${VR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs of this build run under Wine (Debian's wine64) when it is there.
find_program(VR_WINE64 NAMES wine64 PATHS /usr/lib/wine)
if(VR_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VR_WINE64})
endif()
