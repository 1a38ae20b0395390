#include "read-options.hpp"

#include <charconv>
#include <string_view>
#include <system_error>

namespace kzr415::reader {

const char *const usage_text =
    "Usage: kzr-415-read [-b BUS] [-a ADDRESS] [-f text|json|prometheus]\n"
    "                    [-i SECONDS [-n COUNT]] [-o FILE]\n"
    "Reads both channels of a kzr-415 temperature sensor and prints them. It only reads:\n"
    "each sample is four bus transfers, and nothing is ever written to the device.\n"
    "\n"
    "  -b BUS      the bus: a number N (/dev/i2c-N) or the node's path (default /dev/i2c-4)\n"
    "  -a ADDRESS  the device's address, 0x03 to 0x77, hexadecimal after 0x or decimal\n"
    "              (default 0x48)\n"
    "  -f FORMAT   text: \"temperature 1:25.000000\" and \"temperature 2:21.000000\";\n"
    "              json: one object a sample on one line (bus, address, time, readings);\n"
    "              prometheus: the text exposition format, one gauge a channel\n"
    "              (default text)\n"
    "  -i SECONDS  a sample every SECONDS seconds (0.1, 2, 60 ...) until COUNT samples\n"
    "              were taken or SIGINT or SIGTERM ends the run (default: one sample)\n"
    "  -n COUNT    with -i: this many samples\n"
    "  -o FILE     each sample replaces FILE whole (written beside it, then renamed\n"
    "              into place), instead of going to standard output\n"
    "      --help  show this help and exit\n"
    "\n"
    "Readings are in degrees Celsius. A sample that fails prints one line on standard\n"
    "error and nothing else; with -i the run goes on.\n"
    "Exit status: 0 when every sample was read, 1 when the bus cannot be opened, 2 for a\n"
    "usage error, 3 when a sample failed.\n";

namespace {

constexpr std::uint16_t first_address = 0x03;
constexpr std::uint16_t last_address = 0x77;
// i2c-dev's nodes: minors 0 to 2^20 - 1.
constexpr unsigned long last_bus_number = (1UL << 20U) - 1;
constexpr std::int64_t nanoseconds_per_second = 1'000'000'000;
constexpr std::int64_t longest_interval_seconds = 2'147'483'647;

bool all_digits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// A whole unsigned number in `base`, nothing before or after it.
template <typename Number>
std::optional<Number> whole_number(std::string_view text, int base) {
    Number value{};
    const char *const end = text.data() + text.size();
    // NOLINTNEXTLINE(bugprone-suspicious-stringview-data-usage): the end is given
    const auto [stop, error] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || error != std::errc{} || stop != end) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> bus_path(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    if (!all_digits(text)) {
        return std::string(text);
    }
    const auto number = whole_number<unsigned long>(text, 10);
    if (!number || *number > last_bus_number) {
        return std::nullopt;
    }
    return "/dev/i2c-" + std::to_string(*number);
}

// Hexadecimal after 0x (or 0X), else decimal: a leading zero is no octal prefix.
std::optional<std::uint16_t> device_address(std::string_view text) {
    std::optional<unsigned> value;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        if (text.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos) {
            value = whole_number<unsigned>(text, 16);
        }
    } else if (all_digits(text)) {
        value = whole_number<unsigned>(text, 10);
    }
    if (!value || *value < first_address || *value > last_address) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*value);
}

std::optional<Format> format_named(std::string_view text) {
    if (text == "text") {
        return Format::text;
    }
    if (text == "json") {
        return Format::json;
    }
    if (text == "prometheus") {
        return Format::prometheus;
    }
    return std::nullopt;
}

// Seconds as decimal digits with an optional fraction (down to nanoseconds), above 0.
std::optional<std::int64_t> interval_nanoseconds(std::string_view text) {
    const auto point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    std::string_view fraction = point == std::string_view::npos ? "" : text.substr(point + 1);
    constexpr std::size_t fraction_digits = 9;
    if ((whole.empty() && fraction.empty()) || (!whole.empty() && !all_digits(whole)) ||
        (point != std::string_view::npos && !all_digits(fraction)) ||
        fraction.size() > fraction_digits) {
        return std::nullopt;
    }
    const auto seconds =
        whole.empty() ? std::optional<std::int64_t>{0} : whole_number<std::int64_t>(whole, 10);
    if (!seconds || *seconds > longest_interval_seconds) {
        return std::nullopt;
    }
    std::int64_t nanoseconds = 0;
    for (std::size_t digit = 0; digit < fraction_digits; ++digit) {
        nanoseconds = nanoseconds * 10 + (digit < fraction.size() ? fraction[digit] - '0' : 0);
    }
    const std::int64_t total = *seconds * nanoseconds_per_second + nanoseconds;
    if (total <= 0) {
        return std::nullopt;
    }
    return total;
}

std::optional<std::uint64_t> sample_count(std::string_view text) {
    if (!all_digits(text)) {
        return std::nullopt;
    }
    const auto count = whole_number<std::uint64_t>(text, 10);
    if (!count || *count == 0) {
        return std::nullopt;
    }
    return count;
}

CommandLine usage_error(std::string error) {
    CommandLine line;
    line.error = std::move(error);
    return line;
}

// Applies option `letter` with `value`; a usage error's text, or empty.
std::string apply(ReadOptions &options, char letter, std::string_view value, bool &counted) {
    const std::string quoted = "'" + std::string(value) + "'";
    switch (letter) {
    case 'b':
        if (auto path = bus_path(value)) {
            options.bus = std::move(*path);
            return {};
        }
        return "bad bus " + quoted + ": a number 0 to 1048575 or a path";
    case 'a':
        if (auto address = device_address(value)) {
            options.address = *address;
            return {};
        }
        return "bad address " + quoted + ": 0x03 to 0x77";
    case 'f':
        if (auto format = format_named(value)) {
            options.format = *format;
            return {};
        }
        return "bad format " + quoted + ": text, json or prometheus";
    case 'i':
        if (auto interval = interval_nanoseconds(value)) {
            options.interval_ns = *interval;
            return {};
        }
        return "bad interval " + quoted + ": seconds above 0, such as 0.5 or 10";
    case 'n':
        if (auto count = sample_count(value)) {
            options.count = *count;
            counted = true;
            return {};
        }
        return "bad count " + quoted + ": a whole number above 0";
    case 'o':
        if (!value.empty()) {
            options.output = std::string(value);
            return {};
        }
        return "bad output file '': a path";
    default:
        return "unknown option -" + std::string(1, letter);
    }
}

} // namespace

CommandLine parse_command_line(std::span<char *const> arguments) {
    ReadOptions options;
    bool counted = false;
    bool options_end = false;
    for (std::size_t index = 1; index < arguments.size(); ++index) {
        const std::string_view word = arguments[index];
        if (word == "--help" && !options_end) {
            CommandLine line;
            line.help = true;
            return line;
        }
        if (word == "--" && !options_end) {
            options_end = true;
            continue;
        }
        if (options_end || word.size() < 2 || word[0] != '-') {
            return usage_error("unexpected argument '" + std::string(word) + "'");
        }
        if (word[1] == '-') {
            return usage_error("unknown option " + std::string(word));
        }
        const char letter = word[1];
        if (std::string_view("bafino").find(letter) == std::string_view::npos) {
            return usage_error("unknown option -" + std::string(1, letter));
        }
        std::string_view value = word.substr(2);
        if (value.empty()) {
            if (index + 1 == arguments.size()) {
                return usage_error("option -" + std::string(1, letter) + " needs a value");
            }
            value = arguments[++index];
        }
        if (auto error = apply(options, letter, value, counted); !error.empty()) {
            return usage_error(std::move(error));
        }
    }
    if (counted && options.interval_ns == 0) {
        return usage_error("option -n needs -i");
    }
    CommandLine line;
    line.options = std::move(options);
    return line;
}

} // namespace kzr415::reader
