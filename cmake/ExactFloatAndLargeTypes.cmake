# Two code-generation settings that the project's results depend on, as interface targets.

# Floating-point results must be rounded exactly as written: no fused multiply-add, which
# would change the last printed digit of some temperature readings.
add_library(kzr415_exact_float INTERFACE)
target_compile_options(kzr415_exact_float INTERFACE -ffp-contract=off)

# 32-bit targets use 64-bit file offsets and time (open64, __ioctl_time64), as a board's
# other programs do; a no-op on 64-bit targets.
add_library(kzr415_large_types INTERFACE)
target_compile_definitions(kzr415_large_types INTERFACE _FILE_OFFSET_BITS=64 _TIME_BITS=64)
