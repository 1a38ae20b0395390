# Checks the built library's dynamic interface: exactly the nine driver functions are
# exported, and the C library is the only shared library it needs: libc.so.6, and possibly
# the dynamic loader, which belongs to the C library too (a stack-protected build for 32-bit
# ARM takes __stack_chk_guard from it).
# Usage: cmake -DLIBRARY=... -DNM=... -DREADELF=... -P check-library-symbols.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(exported "")
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^.* " "" name "${line}")
    list(APPEND exported "${name}")
endforeach()
list(SORT exported)
set(expected alert_mode_set configurature_reg_control i2c_close i2c_open kzr_415_read
    kzr_415_write t_high_reg_control t_low_reg_control temperature_reg_read)
if(NOT exported STREQUAL expected)
    message(FATAL_ERROR "exported symbols differ:\n  got:      ${exported}\n  expected: ${expected}")
endif()

execute_process(COMMAND ${READELF} -d ${LIBRARY}
                OUTPUT_VARIABLE dynamic COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]]+\\]" needed "${dynamic}")
list(TRANSFORM needed REPLACE ".*\\[(.+)\\]" "\\1")
set(beyond_libc ${needed})
list(FILTER beyond_libc EXCLUDE REGEX "^ld-linux[-_a-z0-9]*\\.so\\.[0-9]+$")
if(NOT beyond_libc STREQUAL "libc.so.6")
    message(FATAL_ERROR "NEEDED entries should be libc.so.6 (and the loader) alone, got: ${needed}")
endif()
string(REGEX MATCH "\\(SONAME\\)[^\n]*\\[([^]]+)\\]" soname "${dynamic}")
if(NOT CMAKE_MATCH_1 STREQUAL "${SONAME}")
    message(FATAL_ERROR "SONAME should be ${SONAME}, got: ${CMAKE_MATCH_1}")
endif()
message(STATUS "exports: ${exported}; needs: ${needed}; soname: ${CMAKE_MATCH_1}")
