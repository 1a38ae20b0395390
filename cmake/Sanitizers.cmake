# Instruments every target of the build, GoogleTest included, with the sanitizers that
# KZR415_SANITIZE names (declared in the top-level CMakeLists.txt).
if(KZR415_SANITIZE)
    add_compile_options(-fsanitize=${KZR415_SANITIZE} -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=${KZR415_SANITIZE})
    # GCC links its shared sanitizer runtime into every executable and shared object, so the
    # library keeps -Wl,--no-undefined and the instrumented preload loads into any program.
    # Clang links a static runtime into executables only; with -shared-libsan it links the
    # shared one everywhere, as GCC does, found through the build tree's run path.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        execute_process(
            COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libclang_rt.asan-${CMAKE_SYSTEM_PROCESSOR}.so
            OUTPUT_VARIABLE kzr415_sanitizer_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
        get_filename_component(kzr415_sanitizer_runtime_dir "${kzr415_sanitizer_runtime}" DIRECTORY)
        add_link_options(-shared-libsan "LINKER:-rpath,${kzr415_sanitizer_runtime_dir}")
    endif()
endif()
