// The command line of kzr-415-sim: the device's settings as the table of the device core
// names them (device/settings.hpp), the bus and the run, and what to run.
#pragma once

#include "config/sim-config.hpp"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace kzr415::sim {

struct CommandLine {
    // The bus and the device the options describe: kzr-415-sim's device (its channels in
    // degrees) with the settings the options give.
    SimConfig config;
    // Which settings the options name, so that they replace those of an existing state file
    // while the rest of it carries on.
    std::array<bool, KZR415_SETTING_COUNT> given{};

    std::string preload;  // empty: found next to the program
    std::string emulator; // empty: PROGRAM runs natively
    std::string replay;   // --replay CAPTURE; empty: the simulated device answers
    bool help = false;
    std::vector<std::string> program; // PROGRAM and its arguments
};

// Parses argv; on bad input returns nullopt with `error` set to a one-line description.
std::optional<CommandLine> parse_command_line(int argc, char **argv, std::string &error);

// The text of --help.
std::string usage_text();

} // namespace kzr415::sim
