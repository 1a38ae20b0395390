# Warnings for the project's own targets. They become errors only where a preset or CI sets
# CMAKE_COMPILE_WARNING_AS_ERROR, never in other people's builds.
add_library(kzr415_warnings INTERFACE)
target_compile_options(kzr415_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow -Wcast-qual -Wformat=2
    -Wundef -Wnull-dereference -Wdouble-promotion -Wmissing-declarations
    $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual>
    $<$<COMPILE_LANGUAGE:C>:-Wstrict-prototypes -Wmissing-prototypes>)
