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

# Test programs run on this machine under user-mode emulation, with the target's dynamic
# loader and libraries taken from the cross root. An emulator given on the command line wins.
find_program(KZR415_QEMU_ARM qemu-arm)
if(KZR415_QEMU_ARM AND NOT DEFINED CACHE{CMAKE_CROSSCOMPILING_EMULATOR})
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KZR415_QEMU_ARM} -L ${KZR415_CROSS_ROOT})
endif()
