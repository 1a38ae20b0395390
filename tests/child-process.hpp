// Runs a program of the build as a child process on the emulated bus and collects what it
// printed and how it ended.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kzr415::test {

struct RunResult {
    std::string out;
    std::string err;
    int exit_status = -1; // the exit status, or -1 when the program did not exit normally
};

using Environment = std::vector<std::pair<std::string, std::string>>;

// Runs `program` with the emulated bus preloaded and `environment` added to this process's
// environment. Under a cross build the program is started through the emulator that runs
// the tests, which receives the preload and the variables for its guest.
RunResult run_on_emulated_bus(const std::string &program, const Environment &environment);

} // namespace kzr415::test
