# Cross build for 32-bit ARM hard-float boards (Debian's armhf) with Debian's cross compiler
# (g++-arm-linux-gnueabihf). Optional: any SDK's, Yocto's or Buildroot's toolchain file does
# as well, since nothing in the project names a compiler, CPU flags or a sysroot.
#   cmake --preset armhf   or   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(KZR415_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${KZR415_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KZR415_CROSS_TRIPLET}-g++)

# Debian's cross packages put the target's C library and headers under /usr/<triplet>.
set(KZR415_CROSS_ROOT /usr/${KZR415_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH ${KZR415_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run on this machine under user-mode emulation. The dynamic loader and the C
# library must come from one place: `qemu-arm -L ROOT` takes the loader from ROOT but falls
# back to this machine's own paths for whatever ROOT lacks, and the armhf loader looks in
# /lib/arm-linux-gnueabihf first. With Debian's multiarch armhf C library installed
# (libc6:armhf, which cross-building Debian packages brings), the cross root's loader would
# load that other, newer C library, and any program that starts a thread crashes. So the
# root is / when the multiarch C library is there, and the cross root otherwise. An emulator
# given on the command line wins.
find_program(KZR415_QEMU_ARM qemu-arm)
if(KZR415_QEMU_ARM AND NOT DEFINED CACHE{CMAKE_CROSSCOMPILING_EMULATOR})
    set(KZR415_MULTIARCH_LIBDIR /usr/lib/${KZR415_CROSS_TRIPLET})
    if(EXISTS ${KZR415_MULTIARCH_LIBDIR}/libc.so.6)
        if(NOT EXISTS ${KZR415_MULTIARCH_LIBDIR}/libstdc++.so.6)
            message(WARNING "libc6:armhf is installed without libstdc++6:armhf: C++ programs "
                            "will not start under qemu-arm (apt-get install libstdc++6:armhf)")
        endif()
        set(CMAKE_CROSSCOMPILING_EMULATOR ${KZR415_QEMU_ARM} -L /)
    else()
        set(CMAKE_CROSSCOMPILING_EMULATOR ${KZR415_QEMU_ARM} -L ${KZR415_CROSS_ROOT})
    endif()
endif()
