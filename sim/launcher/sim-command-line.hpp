// The command line of kzr-415-sim: what to simulate, how to observe it and what to run.
#pragma once

#include "config/sim-config.hpp"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace kzr415::sim {

struct CommandLine {
    SimConfig config; // the device and bus as the options describe them
    // Which parts of the device the options name, so that they replace those of an existing
    // state file while the rest of it carries on.
    std::array<bool, 2> given_celsius{false, false};
    bool given_raw_temperature = false;
    bool given_configuration = false;
    bool given_t_low = false;
    bool given_t_high = false;

    std::string preload;  // empty: found next to the program
    std::string emulator; // empty: PROGRAM runs natively
    std::string replay;   // --replay CAPTURE; empty: the simulated device answers
    bool help = false;
    std::vector<std::string> program; // PROGRAM and its arguments
};

// Parses argv; on bad input returns nullopt with `error` set to a one-line description.
std::optional<CommandLine> parse_command_line(int argc, char **argv, std::string &error);

// The text of --help.
const char *usage_text();

} // namespace kzr415::sim
