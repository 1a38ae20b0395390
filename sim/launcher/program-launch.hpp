// How kzr-415-sim starts PROGRAM: the preload it finds, the words that start PROGRAM
// (natively, or through an emulator), and the environment PROGRAM gets.
#pragma once

#include "launcher/sim-command-line.hpp"

#include <optional>
#include <string>
#include <vector>

namespace kzr415::sim {

// `path` made absolute against the working directory; "-" and "" stay as they are.
std::string absolute(const std::string &path);

// The preload: named by --preload (`given`) or KZR415_SIM_PRELOAD, else beside this program
// (the build tree) or in its installed place relative to this program's directory, and
// checked to be one for the machine of the ELF file `like` (check_preload). On failure
// nullopt, with `error` set to kzr-415-sim's message (exit status 2).
std::optional<std::string> find_preload(const std::string &given, const std::string &like,
                                        std::string &error);

// PROGRAM as a path, searched in PATH when it holds no '/'; nullopt with `error` set to
// kzr-415-sim's message (exit status 127) when there is no such program.
std::optional<std::string> program_path(const std::string &program, std::string &error);

// Whether `emulator` names an emulator to start PROGRAM through.
bool names_emulator(const std::string &emulator);

// The words that start PROGRAM: the command line's, or through the emulator with the
// preload for PROGRAM alone and PROGRAM searched in PATH (emulators do not search it). On
// failure nullopt, with `error` set to kzr-415-sim's message (exit status 127).
std::optional<std::vector<std::string>>
program_words(const CommandLine &line, const std::string &preload, std::string &error);

// PROGRAM's environment: this one without any KZR415_SIM_* variable, with the bus's (the
// state file at `state`, which holds the device), and natively the preload after whatever
// was preloaded.
std::vector<std::string> program_environment(const CommandLine &line, const std::string &preload,
                                             const std::string &state);

} // namespace kzr415::sim
