// kzr-415-read's command line: the bus, the address, the format, the interval and count of
// the samples, and the output file.
#pragma once

#include "program-defaults.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kzr415::reader {

enum class Format : std::uint8_t { text, json, prometheus };

struct ReadOptions {
    std::string bus = default_bus_node; // the node's path (-b N is /dev/i2c-N)
    std::uint16_t address = default_slave_addr;
    Format format = Format::text;
    std::int64_t interval_ns = 0; // 0: one sample
    std::uint64_t count = 0;      // with an interval, 0: until a signal ends the run
    std::string output;           // empty: standard output
};

// What the command line asks for: the options, the help text, or a usage error.
struct CommandLine {
    std::optional<ReadOptions> options; // set when the run is to go ahead
    bool help = false;
    std::string error; // a usage error's one line, without the program's name
};

CommandLine parse_command_line(std::span<char *const> arguments);

// The --help text.
extern const char *const usage_text;

} // namespace kzr415::reader
