# Checks that the library and the program are what a 32-bit ARM hard-float board runs:
# 32-bit little-endian ARM EABI5 objects, floating-point arguments and results passed in VFP
# registers (the hard-float calling convention that temperature_reg_read's float result
# depends on), and the program asking for the hard-float dynamic loader.
# Usage: cmake -DFILE_COMMAND=... -DREADELF=... -DLIBRARY=... -DPROGRAM=... -P check-board-binaries.cmake
set(problems "")
foreach(binary IN ITEMS "${LIBRARY}" "${PROGRAM}")
    execute_process(COMMAND ${FILE_COMMAND} -L ${binary}
                    OUTPUT_VARIABLE description COMMAND_ERROR_IS_FATAL ANY)
    string(STRIP "${description}" description)
    message(STATUS "${description}")
    if(NOT description MATCHES "ELF 32-bit LSB .*, ARM, EABI5 ")
        string(APPEND problems "\n  ${binary}: not a 32-bit little-endian ARM EABI5 object")
    endif()

    execute_process(COMMAND ${READELF} -h -A ${binary}
                    OUTPUT_VARIABLE headers COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCH "Flags:[^\n]*" flags "${headers}")
    string(REGEX MATCH "Tag_ABI_VFP_args:[^\n]*" float_arguments "${headers}")
    message(STATUS "  ${flags}; ${float_arguments}")
    if(NOT flags MATCHES "hard-float ABI")
        string(APPEND problems "\n  ${binary}: the ELF header does not mark the hard-float ABI")
    endif()
    if(NOT float_arguments MATCHES "VFP registers")
        string(APPEND problems "\n  ${binary}: floating-point values are not passed in VFP registers")
    endif()
endforeach()

execute_process(COMMAND ${READELF} -l ${PROGRAM}
                OUTPUT_VARIABLE segments COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCH "program interpreter: ([^]]+)" interpreter "${segments}")
if(NOT CMAKE_MATCH_1 STREQUAL "/lib/ld-linux-armhf.so.3")
    string(APPEND problems "\n  ${PROGRAM}: asks for loader '${CMAKE_MATCH_1}', not /lib/ld-linux-armhf.so.3")
endif()

if(problems)
    message(FATAL_ERROR "not a 32-bit ARM hard-float build:${problems}")
endif()
