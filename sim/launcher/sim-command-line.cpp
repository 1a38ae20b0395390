#include "launcher/kzr-415-sim.hpp"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include <getopt.h>

namespace kzr415::sim {

namespace {

// The settings of the two channels' degrees.
constexpr std::array<std::size_t, 2> channels{KZR415_SETTING_celsius_1, KZR415_SETTING_celsius_2};

// kzr-415-sim's own options, after the device's settings: getopt's codes from here on.
enum : int { // NOLINT(performance-enum-size): getopt returns its codes as int
    opt_temperature = 256 + KZR415_SETTING_COUNT,
    opt_node,
    opt_no_node,
    opt_trace,
    opt_state,
    opt_replay,
    opt_preload,
    opt_emulator,
    opt_help,
};

struct Option {
    int code;             // getopt's: 256 and the setting's index, or an opt_ of its own
    int letter;           // the short option; 0 for none
    const char *name;     // the long one
    const char *argument; // what it takes, for --help; "" for none
    std::string help;
};

// Every option: the device's settings from the table, then kzr-415-sim's own.
std::vector<Option> all_options() {
    std::vector<Option> options;
    for (const auto &s : settings()) {
        if (*s.option != '\0') {
            std::string help = s.help;
            help += *s.argument != '\0' ? std::string(" (default ") + s.value + ")" : "";
            const int code = static_cast<int>(256 + (&s - settings().data()));
            options.push_back({code, s.short_option, s.option, s.argument, help});
        }
    }
    options.insert(
        options.end(),
        {{opt_temperature, 't', "temperature", "DEGREES", "both channels' temperature"},
         {opt_node, 'n', "node", "PATH", "the bus node (default /dev/i2c-4)"},
         {opt_no_node, 0, "no-node", "", "the bus node does not exist (ENOENT)"},
         {opt_trace, 'T', "trace", "FILE",
          "write one line per transfer to FILE (\"-\": standard error): W 0x48 [01 1c 1c], "
          "R 0x48 2 -> [1c 1c], ... FAILED EIO"},
         {opt_state, 's', "state", "FILE",
          "keep the device in FILE, so that later runs naming it meet the same device; "
          "options that set the device replace those parts of it. Without it the device "
          "lives for this run, shared by every process PROGRAM starts"},
         {opt_replay, 0, "replay", "CAPTURE",
          "answer as CAPTURE recorded (the kernel's I2C trace, as kzr-415-capture writes "
          "it, or a trace in bus notation) and compare PROGRAM's transfers with the "
          "recorded ones: the first difference is reported and the status is 124. Not "
          "with the faults, --no-device, --no-node or --state"},
         {opt_preload, 0, "preload", "PATH",
          "the preload library (default: KZR415_SIM_PRELOAD, else libkzr-415-sim-bus.so "
          "beside or installed with kzr-415-sim)"},
         {opt_emulator, 0, "emulator", "COMMAND",
          "start PROGRAM through COMMAND, e.g. \"qemu-arm -L /\", passing -E "
          "LD_PRELOAD=PATH (default: KZR415_SIM_EMULATOR)"},
         {opt_help, 'h', "help", "", "show this help and exit"}});
    return options;
}

// One option's lines of --help: its names, then its help in lines of up to 80 characters
// (a default, "(default ...)", kept on one).
std::string help_line(const Option &o) {
    constexpr std::size_t indent = 30;
    std::array<char, indent> head{};
    const int letter = o.letter != 0 ? o.letter : ' ';
    std::snprintf(head.data(), head.size(), "  %c%c%c --%s %s", o.letter != 0 ? '-' : ' ', letter,
                  o.letter != 0 ? ',' : ' ', o.name, o.argument);
    std::string text = head.data();
    text.resize(indent, ' ');
    std::size_t column = indent;
    const std::string_view help = o.help;
    const auto tail = help.find("(default ");
    for (std::size_t at = 0; at < help.size();) {
        const auto end = at >= tail ? help.size() : std::min(help.find(' ', at), help.size());
        const auto word = help.substr(at, end - at);
        at = end + 1;
        if (column > indent && column + 1 + word.size() > 80) {
            text += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (column > indent) {
            text += ' ';
            ++column;
        }
        text += word;
        column += word.size();
    }
    return text + "\n";
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

// A value that must not be empty, into `target`; what it should have been when bad.
const char *take_path(std::string &target, std::string_view value, const char *expected) {
    target = value;
    return value.empty() ? expected : nullptr;
}

// Takes an option of kzr-415-sim's own; what its value should have been when bad.
const char *take(CommandLine &line, int code, std::string_view value) {
    auto &config = line.config;
    switch (code) {
    case opt_temperature:
        for (const auto index : channels) {
            if (!parse_setting(config.device, settings()[index], value)) {
                return "degrees Celsius, magnitude below 1024";
            }
            line.given.at(index) = true;
        }
        return nullptr;
    case opt_node:
        return take_path(config.node, value, "a path");
    case opt_no_node:
        config.node_present = false;
        return nullptr;
    case opt_trace:
        return take_path(config.trace, value, "a file, or - for standard error");
    case opt_state:
        return take_path(config.state, value, "a file");
    case opt_replay: // read and checked by kzr-415-sim (launcher/replay-run.hpp)
        return take_path(line.replay, value, "a capture file");
    case opt_preload:
        return take_path(line.preload, value, "a file");
    case opt_emulator:
        line.emulator = value;
        return nullptr;
    default:
        line.help = true;
        return nullptr;
    }
}

// getopt_long's tables of the options: the long ones, and the short ones' letters.
struct GetoptTables {
    explicit GetoptTables(const std::vector<Option> &all) {
        for (const auto &o : all) {
            options.push_back({o.name, *o.argument != '\0' ? 1 : 0, nullptr, o.code});
            if (o.letter != 0) {
                letters += static_cast<char>(o.letter);
                letters += *o.argument != '\0' ? ":" : "";
            }
        }
        options.push_back({});
    }
    std::vector<option> options;
    std::string letters = "+:";
};

// The code of a short option's long one; a long one's own.
int long_code(const std::vector<Option> &all, int code) {
    const auto found = std::find_if(
        all.begin(), all.end(), [code](const Option &o) { return code < 256 && o.letter == code; });
    return found != all.end() ? found->code : code;
}

// Takes one option with its value; "" when good, else what the value should have been.
std::string take_option(CommandLine &line, int code, std::string_view value) {
    if (code >= opt_temperature) {
        const char *wanted = take(line, code, value);
        return wanted != nullptr ? wanted : "";
    }
    const auto index = static_cast<std::size_t>(code - 256);
    const auto &setting = settings()[index];
    line.given.at(index) = true;
    return parse_setting(line.config.device, setting, *setting.argument != '\0' ? value : "1")
               ? ""
               : expected_value(setting);
}

} // namespace

std::string usage_text() {
    std::string text = "Usage: kzr-415-sim [OPTION]... [--] PROGRAM [ARGUMENT]...\n"
                       "Runs PROGRAM with an emulated i2c-dev bus preloaded, with a simulated "
                       "kzr-415 on it,\nand exits with PROGRAM's exit status (128+N when "
                       "signal N ends it).\n\nThe device:\n";
    for (const auto &o : all_options()) {
        text += o.code == opt_temperature ? "\nThe bus, the run, the program:\n" : "";
        text += help_line(o);
    }
    return text + "\nExit status: PROGRAM's; 2 for bad options; 127 when PROGRAM cannot be "
                  "started;\n124 when a replay diverged.\n";
}

std::optional<CommandLine> parse_command_line(int argc, char **argv, std::string &error) {
    CommandLine line;
    line.config.device = new_device(true);
    const auto all = all_options();
    const GetoptTables tables(all);
    optind = 1;
    opterr = 0;
    for (;;) {
        int long_index = -1;
        const int code =
            getopt_long(argc, argv, tables.letters.c_str(), tables.options.data(), &long_index);
        if (code == -1) {
            break;
        }
        if (code == '?' || code == ':') {
            error = refusal(code, argv[optind - 1]);
            return std::nullopt;
        }
        const std::string_view value = optarg != nullptr ? optarg : "";
        const std::string expected = take_option(line, long_code(all, code), value);
        if (line.help) {
            return line;
        }
        if (!expected.empty()) {
            const std::string name =
                long_index >= 0 ? std::string("--") +
                                      tables.options.at(static_cast<std::size_t>(long_index)).name
                                : std::string("-") + static_cast<char>(code);
            error = "bad value for ";
            error.append(name).append(": '").append(printable(value));
            error.append("' (").append(expected).append(")");
            return std::nullopt;
        }
    }
    // Raw temperature bytes stand for the channels that were not given in degrees.
    if (line.given.at(KZR415_SETTING_temperature)) {
        for (const auto index : channels) {
            if (!line.given.at(index)) {
                parse_setting(line.config.device, settings()[index], "-");
                line.given.at(index) = true;
            }
        }
    }
    for (int i = optind; i < argc; ++i) {
        line.program.emplace_back(argv[i]);
    }
    if (line.program.empty()) {
        error = "no PROGRAM given (see --help)";
        return std::nullopt;
    }
    return line;
}

} // namespace kzr415::sim
