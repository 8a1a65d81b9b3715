# Windows with Debian's mingw-w64, POSIX thread model (std::thread).
# VR_MINGW_ARCH picks the architecture: i686 (default: the 32-bit DLL that the
# hosts load) or x86_64.
if(NOT VR_MINGW_ARCH)
  set(VR_MINGW_ARCH i686)
endif()
# try_compile projects read this file again and need the same architecture.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VR_MINGW_ARCH)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VR_MINGW_ARCH})
set(VR_CROSS_TRIPLET ${VR_MINGW_ARCH}-w64-mingw32)
set(VR_CROSS_SUFFIX -posix)
include(${CMAKE_CURRENT_LIST_DIR}/cross-tools.cmake)
set(CMAKE_RC_COMPILER ${VR_CROSS_TRIPLET}-windres)

# Programs of this build run under Wine when it is there: wine64, or for
# 32 bits Wine's 32-bit loader (Debian's wine32:i386).
if(VR_MINGW_ARCH STREQUAL "x86_64")
  find_program(VR_WINE NAMES wine64 PATHS /usr/lib/wine)
else()
  find_program(VR_WINE NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
endif()
if(VR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VR_WINE})
endif()
