# 32-bit Windows (i686) with Debian's mingw-w64, POSIX thread model (std::thread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VR_MINGW_TRIPLET i686-w64-mingw32)

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

# Programs of this build run under Wine's 32-bit loader (Debian's wine32:i386)
# when it is there.
find_program(VR_WINE32 NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(VR_WINE32)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VR_WINE32})
endif()
