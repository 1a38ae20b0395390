// The plan (tests/board/scenarios.txt): every scenario of the program and the I2C tools, and
// what each must give, written once for the board, this machine's suites, valgrind and the
// packaging checks.
#pragma once

#include "program-run.hpp"

#include <map>
#include <string>
#include <vector>

namespace kzr415::test {

struct Scenario {
    std::string kind;                                       // run, probe, replay, ...
    std::vector<std::string> settings;                      // PARAMETER=VALUE
    std::vector<std::string> command;                       // a probe's (@BUS@: 4), a replay's
    std::map<std::string, std::vector<std::string>> expect; // stdout LINE... by WHAT

    // What an expect line gives for `what` ("exit"), or "" when the plan says nothing.
    [[nodiscard]] std::string value(const std::string &what) const;
    // The lines expected for `what` ("stdout"), each with its newline.
    [[nodiscard]] std::string text(const std::string &what) const;
    [[nodiscard]] int status() const { return std::stoi(value("exit")); }
    // The settings as kzr-415-sim's options ("--fail", "3:EIO"), and as the emulated bus's
    // environment (KZR415_SIM_FAIL=3:EIO).
    [[nodiscard]] std::vector<std::string> options() const;
    [[nodiscard]] Environment environment() const;
};

// The scenario of that name (an exception when the plan has none), and the names of all of
// one kind ("run").
Scenario scenario(const std::string &name);
std::vector<std::string> scenario_names(const std::string &kind);

} // namespace kzr415::test
