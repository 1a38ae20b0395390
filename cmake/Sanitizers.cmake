# Instruments every target of the build, GoogleTest included, with the sanitizers that
# KZR415_SANITIZE names (a -fsanitize= list: "address,undefined", "thread"). Empty, the
# default, builds without them. Set by the asan, tsan and fuzz presets.
set(KZR415_SANITIZE "" CACHE STRING "Sanitizers for every target (a -fsanitize= list)")

if(KZR415_SANITIZE)
    add_compile_options(-fsanitize=${KZR415_SANITIZE} -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=${KZR415_SANITIZE})
    # GCC links its sanitizer runtimes into shared libraries, so the library keeps
    # -Wl,--no-undefined. Clang links them into executables only: a shared library would be
    # left with undefined runtime symbols, so a Clang sanitizer build is a static one.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND BUILD_SHARED_LIBS)
        message(FATAL_ERROR "KZR415_SANITIZE with Clang needs BUILD_SHARED_LIBS=OFF")
    endif()
endif()
