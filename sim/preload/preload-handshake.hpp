// How the preload tells kzr-415-sim that it is loaded in the program kzr-415-sim started:
// kzr-415-sim gives the program the writing end of a pipe, at a descriptor number that it
// names in this variable; the preload's constructor, which runs before any code of the
// program's own, writes the message to it, closes it and removes the variable, so that the
// program never sees either. kzr-415-sim reads the pipe's other end: the message, or the
// end of the pipe when the program runs without the preload.
#pragma once

#include <string_view>

namespace kzr415::sim {

inline constexpr const char *handshake_variable = "KZR415_SIM_HANDSHAKE";
inline constexpr std::string_view handshake_message = "kzr-415 emulated bus loaded\n";

// The name of a symbol that the preload alone exports and defines: kzr-415-sim looks for it
// in a preload's dynamic symbol table before it starts the program, so that another shared
// library never stands in for the emulated bus, even until the handshake fails.
inline constexpr std::string_view preload_marker = "kzr415_sim_bus_preload";

} // namespace kzr415::sim

// The symbol named by preload_marker, defined in the preload: what it is, as text.
extern "C" const char kzr415_sim_bus_preload[];
