# 32-bit x86 Linux with Debian's cross compiler; the programs run under
# qemu-i386 (Debian's qemu-user) with the cross libraries as their root. On
# 32-bit x86 the library uses the same callee-pops slots and register-
# convention class entries as the 32-bit Windows DLL, so this build executes
# them on a machine that cannot run 32-bit programs natively.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VR_CROSS_TRIPLET i686-linux-gnu)

include(${CMAKE_CURRENT_LIST_DIR}/cross-tools.cmake)

# The library path matters: the cross ld.so would otherwise follow the build
# machine's ld.so.cache into /lib32 (libc6-i386) and pair itself with a libc
# of another build, which hangs in the first pthread_create.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-i386 -L /usr/${VR_CROSS_TRIPLET}
    -E LD_LIBRARY_PATH=/usr/${VR_CROSS_TRIPLET}/lib)
