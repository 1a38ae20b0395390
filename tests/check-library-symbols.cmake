# Checks the built library's dynamic interface: it exports exactly the functions of the
# version script lib/kzr-415-drv.map (the names between "global:" and "local:", one a line),
# it calls none of them through the dynamic linker (a program's function of the same name
# would take the call), its SONAME is the one given, and the C library is the only shared
# library it needs:
# libc.so.6, and possibly the dynamic loader, which belongs to the C library too (a
# stack-protected build for 32-bit ARM takes __stack_chk_guard from it).
# Usage: cmake -DLIBRARY=... -DNM=... -DREADELF=... -DSONAME=... -P check-library-symbols.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(exported "")
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^.* " "" name "${line}")
    list(APPEND exported "${name}")
endforeach()
list(SORT exported)
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../lib/kzr-415-drv.map script)
set(expected "")
set(in_global FALSE)
foreach(line IN LISTS script)
    if(line MATCHES "^[ \t]*global:")
        set(in_global TRUE)
    elseif(line MATCHES "^[ \t]*local:")
        set(in_global FALSE)
    elseif(in_global AND line MATCHES "^[ \t]*([A-Za-z_][A-Za-z0-9_]*);")
        list(APPEND expected "${CMAKE_MATCH_1}")
    endif()
endforeach()
list(SORT expected)
if(NOT expected)
    message(FATAL_ERROR "no exported function found in lib/kzr-415-drv.map")
endif()
if(NOT exported STREQUAL expected)
    message(FATAL_ERROR "exported symbols differ:\n  got:      ${exported}\n  expected: ${expected}")
endif()

# No relocation of the library's own may name an exported function: its calls between its
# functions are bound inside it.
execute_process(COMMAND ${READELF} -rW ${LIBRARY}
                OUTPUT_VARIABLE relocations COMMAND_ERROR_IS_FATAL ANY)
foreach(name IN LISTS expected)
    if(relocations MATCHES "[ \t]${name}[ @+]")
        message(FATAL_ERROR "the library calls its exported ${name} through the dynamic linker:\n"
                            "${relocations}")
    endif()
endforeach()

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
