# kzr-415-sim of a cross build, itself run under the emulator, wraps the cross-built
# kzr-415-tool through the same emulator: the preload reaches the guest program alone. The
# runs and what they give are the plan's (tests/board/scenarios.txt).
# Usage: cmake -DEMULATOR=<list> -DSIM=... -DPRELOAD=... -DTOOL=... -DPLAN=... -P this-file
list(JOIN EMULATOR " " emulator_command)
file(STRINGS ${PLAN} plan)

# The scenario's lines for WHAT (stdout, stderr), each with its newline.
function(planned scenario what result)
    set(text "")
    foreach(line IN LISTS plan)
        if(line MATCHES "^expect ${scenario} ${what} (.*)$")
            string(APPEND text "${CMAKE_MATCH_1}\n")
        endif()
    endforeach()
    set(${result} "${text}" PARENT_SCOPE)
endfunction()

# The scenario's run with its settings as options (these are named as their options are).
function(run_wrapped scenario)
    planned(${scenario} stdout expected_out)
    planned(${scenario} stderr expected_err)
    planned(${scenario} exit expected_status)
    string(STRIP "${expected_status}" expected_status)
    set(options "")
    foreach(line IN LISTS plan)
        if(line MATCHES "^run ${scenario}( .*)?$")
            string(REGEX REPLACE " ([a-z_]+)=" ";--\\1;" options "${CMAKE_MATCH_1}")
        endif()
    endforeach()
    execute_process(
        COMMAND ${EMULATOR} ${SIM} --emulator "${emulator_command}" --preload ${PRELOAD}
                ${options} -- ${TOOL}
        OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
    if(NOT status EQUAL expected_status OR NOT out STREQUAL expected_out
       OR NOT err STREQUAL expected_err)
        message(FATAL_ERROR "kzr-415-sim ${options} -- kzr-415-tool: status ${status}\n"
                            "expected status ${expected_status}\n"
                            "stdout:\n${out}\nexpected:\n${expected_out}\n"
                            "stderr:\n${err}\nexpected:\n${expected_err}")
    endif()
endfunction()

run_wrapped(complete)
run_wrapped(last-transfer-fails)
