# The worked temperature values (lib/worked-values.txt) as a C++ header, generated at
# configure time: target kzr415_worked_values puts worked-values.hpp on the include path.
#
#   namespace kzr415 { struct WorkedValue { bytes, sign_magnitude, value, printed };
#                      inline constexpr std::array<WorkedValue, N> worked_values; }
#
# `value` is the printed text as a float literal: every printed value of the table is the
# shortest decimal of its float, so the literal is that float (negative zero included).
set(kzr415_worked_values_table ${PROJECT_SOURCE_DIR}/lib/worked-values.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${kzr415_worked_values_table})

file(STRINGS ${kzr415_worked_values_table} kzr415_lines REGEX "^[0-9A-Fa-f]")
set(kzr415_entries "")
set(kzr415_count 0)
foreach(line IN LISTS kzr415_lines)
    string(REGEX MATCH
        "^([0-9A-Fa-f][0-9A-Fa-f]) ([0-9A-Fa-f][0-9A-Fa-f]) ([0-9A-Fa-f][0-9A-Fa-f]) +(twos-complement|sign-magnitude) +(-?[0-9]+\\.[0-9]+)$"
        matched "${line}")
    if(NOT matched)
        message(FATAL_ERROR "${kzr415_worked_values_table}: malformed line '${line}'")
    endif()
    if(CMAKE_MATCH_4 STREQUAL "sign-magnitude")
        set(sign_magnitude true)
    else()
        set(sign_magnitude false)
    endif()
    string(APPEND kzr415_entries
        "    {{0x${CMAKE_MATCH_1}, 0x${CMAKE_MATCH_2}, 0x${CMAKE_MATCH_3}}, ${sign_magnitude}, "
        "${CMAKE_MATCH_5}F, \"${CMAKE_MATCH_5}\"},\n")
    math(EXPR kzr415_count "${kzr415_count} + 1")
endforeach()

file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/generated/worked-values.hpp CONTENT [[
// Generated from lib/worked-values.txt by cmake/WorkedValues.cmake: edit the table, not this.
#pragma once

#include <array>
#include <cstdint>

namespace kzr415 {

struct WorkedValue {
    std::array<std::uint8_t, 3> bytes; // the channel's bytes, most significant first
    bool sign_magnitude;               // the encoding the configuration byte's bit 5 selects
    float value;                       // the decoded reading
    const char *printed;               // the reading as "%f" prints it
};

inline constexpr std::array<WorkedValue, @kzr415_count@> worked_values{{
@kzr415_entries@}};

} // namespace kzr415
]] @ONLY)

add_library(kzr415_worked_values INTERFACE)
target_include_directories(kzr415_worked_values INTERFACE
    $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/generated>)
