#include "sample-format.hpp"

#include <cstdio>

namespace kzr415::reader {

namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD"; // U+FFFD in UTF-8

// The length of the valid UTF-8 sequence (RFC 3629: no overlong form, no surrogate, nothing
// above U+10FFFF) at the start of `text`; 0 when there is none.
std::size_t utf8_sequence(std::string_view text) {
    const auto byte = [&text](std::size_t index) {
        return static_cast<unsigned char>(text[index]);
    };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80; // the second byte's range, narrowed for some lead bytes
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;   // no overlong form
        high = lead == 0xED ? 0x9F : high; // no surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;   // no overlong form
        high = lead == 0xF4 ? 0x8F : high; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t index = 2; index < length; ++index) {
        if (byte(index) < 0x80 || byte(index) > 0xBF) {
            return 0;
        }
    }
    return length;
}

// `text` with valid UTF-8 kept, control characters (below U+0020, and U+007F for JSON's
// readers' sake too) passed to `escape_control`, and `"` and `\` escaped with a backslash.
template <typename EscapeControl>
std::string escaped(std::string_view text, EscapeControl escape_control) {
    std::string result;
    result.reserve(text.size());
    while (!text.empty()) {
        const std::size_t length = utf8_sequence(text);
        const char first = text.front();
        if (length == 0) {
            result += replacement_character;
            text.remove_prefix(1);
            continue;
        }
        if (length == 1 && (static_cast<unsigned char>(first) < 0x20 || first == 0x7F)) {
            result += escape_control(first);
        } else if (first == '"' || first == '\\') {
            result += '\\';
            result += first;
        } else {
            result.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return result;
}

std::string six_decimals(float celsius) {
    std::array<char, 32> digits{};
    const int length =
        std::snprintf(digits.data(), digits.size(), "%f", static_cast<double>(celsius));
    return std::string(digits.data(), static_cast<std::size_t>(length));
}

std::string hex_address(std::uint16_t address) {
    std::array<char, 8> text{};
    const int length = std::snprintf(text.data(), text.size(), "0x%02x", unsigned{address});
    return std::string(text.data(), static_cast<std::size_t>(length));
}

// RFC 3339 in UTC with milliseconds: 2026-12-09T12:00:00.250Z.
std::string utc_time(const std::timespec &time) {
    std::tm broken{};
    gmtime_r(&time.tv_sec, &broken);
    std::array<char, 48> text{};
    const std::size_t seconds =
        std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &broken);
    constexpr long nanoseconds_per_millisecond = 1'000'000;
    const int length = std::snprintf(text.data() + seconds, text.size() - seconds, ".%03ldZ",
                                     time.tv_nsec / nanoseconds_per_millisecond);
    return std::string(text.data(), seconds + static_cast<std::size_t>(length));
}

std::string text_lines(const Sample &sample) {
    return "temperature 1:" + six_decimals(sample.celsius[0]) +
           "\ntemperature 2:" + six_decimals(sample.celsius[1]) + "\n";
}

std::string json_line(const Sample &sample) {
    return R"({"bus":")" + json_string_contents(sample.bus) + R"(","address":")" +
           hex_address(sample.address) + R"(","time":")" + utc_time(sample.time) +
           R"(","temperature_1":)" + six_decimals(sample.celsius[0]) + R"(,"temperature_2":)" +
           six_decimals(sample.celsius[1]) + "}\n";
}

std::string prometheus_lines(const Sample &sample) {
    constexpr std::string_view metric = "kzr415_temperature_celsius";
    std::string lines = "# HELP " + std::string(metric) +
                        " Temperature of a kzr-415 channel in degrees Celsius.\n"
                        "# TYPE " +
                        std::string(metric) + " gauge\n";
    const std::string labels =
        R"({bus=")" + label_value(sample.bus) + R"(",address=")" + hex_address(sample.address);
    for (std::size_t channel = 0; channel < sample.celsius.size(); ++channel) {
        lines += std::string(metric) + labels + R"(",channel=")" + std::to_string(channel + 1) +
                 "\"} " + six_decimals(sample.celsius[channel]) + "\n";
    }
    return lines;
}

} // namespace

std::string json_string_contents(std::string_view text) {
    return escaped(text, [](char control) {
        std::array<char, 8> escape{};
        std::snprintf(escape.data(), escape.size(), "\\u%04x",
                      static_cast<unsigned>(static_cast<unsigned char>(control)));
        return std::string(escape.data());
    });
}

std::string label_value(std::string_view text) {
    // The exposition format escapes the line feed alone; other control characters stand.
    return escaped(text, [](char control) {
        return control == '\n' ? std::string("\\n") : std::string(1, control);
    });
}

std::string format_sample(Format format, const Sample &sample) {
    switch (format) {
    case Format::json:
        return json_line(sample);
    case Format::prometheus:
        return prometheus_lines(sample);
    case Format::text:
        break;
    }
    return text_lines(sample);
}

} // namespace kzr415::reader
