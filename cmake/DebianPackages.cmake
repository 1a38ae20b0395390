# Debian packages, one per install component (cpack -G DEB in the build folder):
#   libkzr-415-drv1     runtime      the shared library, named after its SONAME's major number
#   libkzr-415-drv-dev  development  header, .so link, pkg-config file, CMake package
#   kzr-415-tool        tool         the program, its man page, the example udev rule
#   kzr-415-sim         sim          the emulated bus: for development machines and tests,
#                                    never needed on a board, so kept out of the others
# The architecture is the target's, from the toolchain, never the build machine's.
set(KZR415_PACKAGE_CONTACT "kzr-415 driver developers <kzr-415-drv@localhost>"
    CACHE STRING "Maintainer field of the Debian packages")
set(KZR415_DEB_ARCHITECTURE "" CACHE STRING
    "Debian architecture of the packages (empty: from the target's toolchain)")

# Debian architecture of the target: its multiarch triplet, or an unambiguous processor.
set(kzr415_deb_arch "${KZR415_DEB_ARCHITECTURE}")
set(kzr415_triplet_arches
    x86_64-linux-gnu=amd64 i386-linux-gnu=i386 aarch64-linux-gnu=arm64
    arm-linux-gnueabihf=armhf arm-linux-gnueabi=armel riscv64-linux-gnu=riscv64)
foreach(pair IN LISTS kzr415_triplet_arches)
    if(NOT kzr415_deb_arch AND pair MATCHES "^${CMAKE_LIBRARY_ARCHITECTURE}=(.+)$")
        set(kzr415_deb_arch ${CMAKE_MATCH_1})
    endif()
endforeach()
if(NOT kzr415_deb_arch)
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
        set(kzr415_deb_arch amd64)
    elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
        set(kzr415_deb_arch arm64)
    endif()
endif()

set(CPACK_GENERATOR DEB)
if(kzr415_deb_arch)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${kzr415_deb_arch})
elseif(CMAKE_CROSSCOMPILING)
    # Leaving it to CPack would name the build machine's architecture: no .debs then.
    message(STATUS "Debian packages off: set KZR415_DEB_ARCHITECTURE for this target")
    set(CPACK_GENERATOR TGZ)
endif()

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KZR415_PACKAGE_CONTACT}")
# CPack puts a summary that differs from its default in front of every component's own
# description; each package's first line must be its own synopsis.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON) # "(= version)" on the components listed

set(CPACK_COMPONENTS_ALL runtime development tool)
if(KZR415_BUILD_SIM)
    list(APPEND CPACK_COMPONENTS_ALL sim)
endif()

# The C library's version that every binary's symbol versions fit (GLIBC_2.34: the programs'
# __libc_start_main, and __ioctl_time64 of the 32-bit targets). The package check compares
# it with the binaries. Set explicitly, since dpkg-shlibdeps cannot resolve a cross build's
# libraries to their Debian packages.
set(KZR415_DEB_LIBC_DEPENDS "libc6 (>= 2.34)")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkzr-415-drv${KZR415_ABI_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${KZR415_DEB_LIBC_DEPENDS}")
# DEBIAN/shlibs tells dpkg-shlibdeps of other packages what to depend on for the SONAME:
# any release since the one that brought this ABI version. DEBIAN/triggers updates the
# loader's cache through the C library's ldconfig trigger, without maintainer scripts.
set(KZR415_DEB_SHLIBS_VERSION ${PROJECT_VERSION})
set(kzr415_runtime_control ${PROJECT_BINARY_DIR}/debian/runtime)
file(WRITE ${kzr415_runtime_control}/shlibs
     "libkzr-415-drv ${KZR415_ABI_MAJOR} libkzr-415-drv${KZR415_ABI_MAJOR} (>= ${KZR415_DEB_SHLIBS_VERSION})\n")
file(WRITE ${kzr415_runtime_control}/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${kzr415_runtime_control}/shlibs ${kzr415_runtime_control}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "kzr-415 temperature sensor driver: shared library
The user-space driver for the kzr-415 two-channel temperature sensor on an
I2C bus, through the kernel's i2c-dev interface. Needs only the C library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkzr-415-drv-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "kzr-415 temperature sensor driver: development files
Header, linker name, pkg-config file (kzr-415-drv) and CMake package
(find_package(kzr-415-drv), target kzr415::drv) of libkzr-415-drv.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME kzr-415-tool)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
# What the runtime package's shlibs file asks of the library's users.
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS
    "libkzr-415-drv${KZR415_ABI_MAJOR} (>= ${KZR415_DEB_SHLIBS_VERSION}), ${KZR415_DEB_LIBC_DEPENDS}")
set(CPACK_COMPONENT_TOOL_DESCRIPTION
    "kzr-415 temperature sensor: configure-and-read program
kzr-415-tool puts the kzr-415 at address 0x48 on /dev/i2c-4 into a fixed
configuration and prints both channels' temperatures.")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME kzr-415-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS
    "${KZR415_DEB_LIBC_DEPENDS}, libstdc++6 (>= 12), libgcc-s1 (>= 3.0)")
set(CPACK_COMPONENT_SIM_DESCRIPTION
    "kzr-415 temperature sensor: emulated i2c-dev bus
A preload library that makes one bus node behave as an i2c-dev bus with a
simulated kzr-415, for running programs without the hardware.")

include(CPack)
