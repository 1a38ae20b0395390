# Warnings for the project's own targets. They become errors only where a preset or CI sets
# CMAKE_COMPILE_WARNING_AS_ERROR, never in other people's builds.
add_library(kzr415_warnings INTERFACE)
target_compile_options(kzr415_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow -Wcast-qual -Wformat=2
    -Wundef -Wnull-dereference -Wdouble-promotion -Wmissing-declarations
    $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual>
    $<$<COMPILE_LANGUAGE:C>:-Wstrict-prototypes -Wmissing-prototypes>)

# Floating-point results must be rounded exactly as written: no fused multiply-add.
add_library(kzr415_exact_float INTERFACE)
target_compile_options(kzr415_exact_float INTERFACE -ffp-contract=off)

# 32-bit targets use 64-bit file offsets and time (open64, __ioctl_time64); a no-op on
# 64-bit targets.
add_library(kzr415_large_types INTERFACE)
target_compile_definitions(kzr415_large_types INTERFACE _FILE_OFFSET_BITS=64 _TIME_BITS=64)
