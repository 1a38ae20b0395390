# A board build as an SDK makes it, checked from configure to the built files: testing off,
# the standard library's assertions on (-D_GLIBCXX_ASSERTIONS, which hardened distributions
# add; verbose, so that they call into the C++ runtime as GCC 13 and later always do) and no
# optimisation to prove them away. It must build the library and the program and nothing of
# the emulated bus (whose glibc extensions a board's C library need not have), and the
# library must still export the functions of its version script and need the C library alone.
# Usage: cmake -DSOURCE_DIR=... -DBINARY_DIR=... -DGENERATOR=... -DC_COMPILER=...
#              -DCXX_COMPILER=... [-DTOOLCHAIN_FILE=...] -DNM=... -DREADELF=...
#              -DABI_VERSION=... -P check-board-build.cmake
file(REMOVE_RECURSE "${BINARY_DIR}")
set(options -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=None -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    "-DCMAKE_CXX_FLAGS=-O0 -D_GLIBCXX_ASSERTIONS -D_GLIBCXX_VERBOSE_ASSERT")
if(TOOLCHAIN_FILE)
    list(APPEND options "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}")
else()
    list(APPEND options "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${BINARY_DIR}" -G "${GENERATOR}"
                        ${options}
                OUTPUT_VARIABLE log ERROR_VARIABLE log RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "configuring the board build failed:\n${log}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build "${BINARY_DIR}"
                OUTPUT_VARIABLE log ERROR_VARIABLE log RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "building the board build failed:\n${log}")
endif()

file(GLOB_RECURSE built RELATIVE "${BINARY_DIR}" "${BINARY_DIR}/*.so*" "${BINARY_DIR}/*.a")
list(SORT built)
string(REGEX MATCH "^[0-9]+" abi_major "${ABI_VERSION}")
set(expected lib/libkzr-415-drv.so lib/libkzr-415-drv.so.${abi_major}
    lib/libkzr-415-drv.so.${ABI_VERSION})
if(NOT built STREQUAL expected OR NOT EXISTS "${BINARY_DIR}/tool/kzr-415-tool"
   OR EXISTS "${BINARY_DIR}/sim")
    message(FATAL_ERROR "the board build should make the library and kzr-415-tool alone; "
                        "libraries: ${built}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND}
                        -DLIBRARY=${BINARY_DIR}/lib/libkzr-415-drv.so.${ABI_VERSION}
                        -DNM=${NM} -DREADELF=${READELF} -DSONAME=libkzr-415-drv.so.${abi_major}
                        -P ${CMAKE_CURRENT_LIST_DIR}/check-library-symbols.cmake
                COMMAND_ERROR_IS_FATAL ANY)
