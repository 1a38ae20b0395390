#include "launcher/sim-command-line.hpp"

#include "config/printable-text.hpp"
#include "device/temperature-encode.hpp"
#include "kernel/kzr-415-device.h"

#include <charconv>
#include <cstdlib>

#include <getopt.h>

namespace kzr415::sim {

namespace {

enum LongOnly : std::uint16_t {
    opt_raw_temperature = 256,
    opt_t_low,
    opt_t_high,
    opt_no_device,
    opt_no_node,
    opt_preload,
    opt_emulator,
    opt_replay,
};

constexpr const char *short_options = "+:hn:a:t:1:2:c:f:T:s:";

const std::array long_options{
    option{"help", no_argument, nullptr, 'h'},
    option{"node", required_argument, nullptr, 'n'},
    option{"address", required_argument, nullptr, 'a'},
    option{"temperature", required_argument, nullptr, 't'},
    option{"temperature1", required_argument, nullptr, '1'},
    option{"temperature2", required_argument, nullptr, '2'},
    option{"raw-temperature", required_argument, nullptr, opt_raw_temperature},
    option{"configuration", required_argument, nullptr, 'c'},
    option{"t-low", required_argument, nullptr, opt_t_low},
    option{"t-high", required_argument, nullptr, opt_t_high},
    option{"fail", required_argument, nullptr, 'f'},
    option{"no-device", no_argument, nullptr, opt_no_device},
    option{"no-node", no_argument, nullptr, opt_no_node},
    option{"trace", required_argument, nullptr, 'T'},
    option{"state", required_argument, nullptr, 's'},
    option{"preload", required_argument, nullptr, opt_preload},
    option{"emulator", required_argument, nullptr, opt_emulator},
    option{"replay", required_argument, nullptr, opt_replay},
    option{nullptr, 0, nullptr, 0},
};

// Decimal, or hexadecimal after "0x", as the environment and the kernel module read it.
bool parse_address(std::string_view text, std::uint16_t &address) {
    unsigned long value = 0;
    if (kzr415_parse_number(text.data(), text.size(), &value) != 0 || value > KZR415_ADDRESS_MAX) {
        return false;
    }
    address = static_cast<std::uint16_t>(value);
    return true;
}

// The name an option was given by, for error messages.
std::string option_name(int code, int long_index) {
    if (long_index >= 0) {
        return std::string("--") + long_options.at(static_cast<std::size_t>(long_index)).name;
    }
    return std::string("-") + static_cast<char>(code);
}

// What an option's value should have been when it is bad, nullptr when it is taken, and
// unknown_option when the option is none of this group's.
constexpr const char *unknown_option = "";

// The options that set the device's registers.
const char *apply_register_option(CommandLine &line, int code, std::string_view value) {
    auto &registers = line.config.registers;
    switch (code) {
    case 't':
    case '1':
    case '2': {
        const auto celsius = parse_celsius(value);
        if (!celsius) {
            return "degrees Celsius, magnitude below 1024";
        }
        for (std::size_t channel = 0; channel < 2; ++channel) {
            if (code == 't' || code == '1' + static_cast<int>(channel)) {
                registers.celsius.at(channel) = celsius;
                line.given_celsius.at(channel) = true;
            }
        }
        return nullptr;
    }
    case opt_raw_temperature:
        line.given_raw_temperature = true;
        return parse_hex_bytes(value, registers.temperature) ? nullptr : "6 hex bytes";
    case 'c':
        line.given_configuration = true;
        return parse_hex_bytes(value, registers.configuration) ? nullptr : "2 hex bytes";
    case opt_t_low:
        line.given_t_low = true;
        return parse_hex_bytes(value, registers.t_low) ? nullptr : "6 hex bytes";
    case opt_t_high:
        line.given_t_high = true;
        return parse_hex_bytes(value, registers.t_high) ? nullptr : "6 hex bytes";
    default:
        return unknown_option;
    }
}

// Takes a value that must not be empty into `target`.
const char *take_path(std::string &target, std::string_view value, const char *expected) {
    if (value.empty()) {
        return expected;
    }
    target = value;
    return nullptr;
}

// The options that set up the bus, the run and what observes it.
const char *apply_run_option(CommandLine &line, int code, std::string_view value) {
    switch (code) {
    case 'n':
        return take_path(line.config.node, value, "a path");
    case 'a':
        return parse_address(value, line.config.address) ? nullptr : "a 7-bit address, 0 to 0x7f";
    case 'f': {
        const auto fault = parse_fault(value);
        if (!fault) {
            return "K:ERRNO or K+:ERRNO, K from 1";
        }
        line.config.fault = *fault;
        return nullptr;
    }
    case opt_no_device:
        line.config.device_present = false;
        return nullptr;
    case opt_no_node:
        line.config.node_present = false;
        return nullptr;
    case 'T':
        return take_path(line.config.trace, value, "a file, or - for standard error");
    case 's':
        return take_path(line.config.state, value, "a file");
    case opt_preload:
        return take_path(line.preload, value, "a file");
    case opt_emulator:
        line.emulator = value;
        return nullptr;
    case opt_replay: // read and checked by kzr-415-sim (launcher/replay-run.hpp)
        return take_path(line.replay, value, "a capture file");
    default:
        return unknown_option;
    }
}

// getopt's refusal ('?': unknown option, ':': missing value) of the word `word_given`.
std::string refusal(int code, const std::string &word_given) {
    // A short option is named by optopt; a long one only by the word it came in.
    const std::string given = word_given.rfind("--", 0) == 0 || optopt == 0
                                  ? word_given
                                  : std::string("-") + static_cast<char>(optopt);
    const auto word = printable(given.substr(0, given.find('=')));
    return code == ':' ? "missing value for " + word : "unknown option '" + word + "'";
}

// Raw temperature bytes stand for the channels that were not given in degrees.
void raw_bytes_for_channels_not_in_degrees(CommandLine &line) {
    if (!line.given_raw_temperature) {
        return;
    }
    for (std::size_t channel = 0; channel < 2; ++channel) {
        if (!line.given_celsius.at(channel)) {
            line.config.registers.celsius.at(channel).reset();
        }
    }
}

} // namespace

const char *usage_text() {
    return R"(Usage: kzr-415-sim [OPTION]... [--] PROGRAM [ARGUMENT]...
Runs PROGRAM with an emulated i2c-dev bus preloaded, with a simulated kzr-415 on it, and
exits with PROGRAM's exit status (128+N when signal N ends it).

The bus and the device:
  -n, --node PATH            the bus node (default /dev/i2c-4)
  -a, --address ADDRESS      the device's 7-bit address (default 0x48)
  -t, --temperature DEGREES  both channels' temperature in degrees Celsius
  -1, --temperature1 DEGREES channel 1's temperature (default 25)
  -2, --temperature2 DEGREES channel 2's temperature (default 21)
                             Encoded when read, in the format that the channel's
                             configuration byte (bit 5) selects at that moment.
                             Magnitudes of 1024 and above do not fit the device.
      --raw-temperature HEX  the temperature register as 6 bytes ("03 20 00 02 a0 00"),
                             returned as they stand by channels not given in degrees
  -c, --configuration HEX    the configuration register, 2 bytes (default "00 00")
      --t-low HEX            the low-threshold register, 6 bytes (default zeros)
      --t-high HEX           the high-threshold register, 6 bytes (default zeros)

Faults:
  -f, --fail K:ERRNO         fail bus transfer K (counted from 1 over every process
                             sharing the state file) with ERRNO: any name the C
                             library gives an errno (EIO, ENXIO, EPROTO, EAGAIN...)
                             or a number it names (71)
  -f, --fail K+:ERRNO        fail transfer K and every one after it
      --no-device            nobody answers: every transfer fails with ENXIO
      --no-node              the bus node does not exist (ENOENT)

Watching and sharing:
  -T, --trace FILE           write one line per transfer to FILE ("-": standard error):
                             W 0x48 [01 1c 1c], R 0x48 2 -> [1c 1c], ... FAILED EIO
  -s, --state FILE           keep the device in FILE, so that later runs naming it meet
                             the same device; options that set the device replace
                             those parts of it. Without it the device lives for this
                             run, shared by every process PROGRAM starts.

Replaying a capture:
      --replay CAPTURE       answer as CAPTURE recorded (the kernel's I2C trace, as
                             kzr-415-capture writes it, or a trace in bus notation):
                             each read gets the recorded bytes, each failed transfer
                             fails with the recorded errno, and PROGRAM's transfers
                             are compared with the recorded ones in order. The first
                             difference, a transfer too many or one too few is
                             reported in one line and the status is 124; the
                             transfers from the difference on fail with EIO.
                             Not with --fail, --no-device, --no-node or --state.

Running:
      --preload PATH         the preload library (default: KZR415_SIM_PRELOAD, else
                             libkzr-415-sim-bus.so beside or installed with kzr-415-sim)
      --emulator COMMAND     start PROGRAM through COMMAND, e.g. "qemu-arm -L
                             /usr/arm-linux-gnueabihf", passing -E LD_PRELOAD=PATH
                             (default: KZR415_SIM_EMULATOR); name the preload built for
                             PROGRAM's architecture with --preload
  -h, --help                 show this help and exit

Exit status: PROGRAM's; 2 for bad options; 127 when PROGRAM cannot be started;
124 when a replay diverged.
)";
}

std::optional<CommandLine> parse_command_line(int argc, char **argv, std::string &error) {
    CommandLine line;
    // The default image's temperatures, held in degrees so that either format reads them.
    const auto defaults = default_celsius();
    line.config.registers.celsius = {defaults[0], defaults[1]};
    optind = 1;
    opterr = 0;
    const auto bad = [&error](const std::string &what) {
        error = what;
        return std::nullopt;
    };
    for (;;) {
        int long_index = -1;
        const int code = getopt_long(argc, argv, short_options, long_options.data(), &long_index);
        if (code == -1) {
            break;
        }
        if (code == '?' || code == ':') {
            return bad(refusal(code, argv[optind - 1]));
        }
        const std::string_view value = optarg != nullptr ? optarg : "";
        const std::string name = option_name(code, long_index);
        const auto bad_value = [&](const char *expected) {
            return bad("bad value for " + name + ": '" + printable(value) + "' (" + expected + ")");
        };
        if (code == 'h') {
            line.help = true;
            return line;
        }
        const char *expected = apply_register_option(line, code, value);
        if (expected == unknown_option) {
            expected = apply_run_option(line, code, value);
        }
        if (expected == unknown_option) {
            return bad("unknown option '" + printable(argv[optind - 1]) + "'");
        }
        if (expected != nullptr) {
            return bad_value(expected);
        }
    }
    raw_bytes_for_channels_not_in_degrees(line);
    for (int i = optind; i < argc; ++i) {
        line.program.emplace_back(argv[i]);
    }
    if (line.program.empty()) {
        return bad("no PROGRAM given (see --help)");
    }
    return line;
}

} // namespace kzr415::sim
