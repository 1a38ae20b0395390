# kzr-415-sim of a cross build, itself run under the emulator, wraps the cross-built
# kzr-415-tool through the same emulator: the preload reaches the guest program alone.
# Usage: cmake -DEMULATOR=<list> -DSIM=... -DPRELOAD=... -DTOOL=... -P this-file
list(JOIN EMULATOR " " emulator_command)

function(run_wrapped expected_status expected_out expected_err)
    execute_process(
        COMMAND ${EMULATOR} ${SIM} --emulator "${emulator_command}" --preload ${PRELOAD}
                ${ARGN} -- ${TOOL}
        OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
    if(NOT status EQUAL expected_status OR NOT out STREQUAL expected_out
       OR NOT err STREQUAL expected_err)
        message(FATAL_ERROR "kzr-415-sim ${ARGN} -- kzr-415-tool: status ${status}\n"
                            "expected status ${expected_status}\n"
                            "stdout:\n${out}\nexpected:\n${expected_out}\n"
                            "stderr:\n${err}\nexpected:\n${expected_err}")
    endif()
endfunction()

set(address "slave address of kzr-415      : 0x48\n")
set(raw "raw value 1:3 32 0\nraw value 2:2 160 0\n")
run_wrapped(0 "${address}${raw}temperature 1:25.000000\n${raw}temperature 2:21.000000\n" ""
            --temperature1 25 --temperature2 21)
run_wrapped(3 "${address}${raw}temperature 1:25.000000\nread temperature register err!\ntemperature 2:-1.000000\n"
            "ioctl(): Remote I/O error\nioctl returned -1\n"
            --temperature1 25 --temperature2 21 --fail 17:EREMOTEIO)
