# Shared by the cross toolchain files: Debian's cross compiler and binutils
# named by VR_CROSS_TRIPLET (VR_CROSS_SUFFIX: the compiler drivers' thread
# model suffix, if any), and libraries, headers and packages looked up under
# the triplet's root only.
set(CMAKE_C_COMPILER ${VR_CROSS_TRIPLET}-gcc${VR_CROSS_SUFFIX})
set(CMAKE_CXX_COMPILER ${VR_CROSS_TRIPLET}-g++${VR_CROSS_SUFFIX})
set(CMAKE_AR /usr/bin/${VR_CROSS_TRIPLET}-gcc-ar${VR_CROSS_SUFFIX} CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/${VR_CROSS_TRIPLET}-gcc-ranlib${VR_CROSS_SUFFIX} CACHE FILEPATH "")
set(CMAKE_NM /usr/bin/${VR_CROSS_TRIPLET}-nm CACHE FILEPATH "")
set(CMAKE_OBJDUMP /usr/bin/${VR_CROSS_TRIPLET}-objdump CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${VR_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
