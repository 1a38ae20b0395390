#include "device/settings.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

namespace kzr415::sim {

namespace {

constexpr double fraction_step = 0.000122;
constexpr std::uint32_t max_whole = 1023;
constexpr std::uint32_t max_fraction_count = 0x1FFF;

std::array<std::uint8_t, KZR415_CHANNEL_LEN> bytes_of(std::uint32_t raw) {
    return {static_cast<std::uint8_t>(raw >> 16), static_cast<std::uint8_t>(raw >> 8),
            static_cast<std::uint8_t>(raw)};
}

// Whole degrees and fraction count nearest `magnitude`, within the format's range.
std::uint32_t twos_complement_magnitude(double magnitude) {
    auto whole = static_cast<std::uint32_t>(std::floor(magnitude));
    const double fraction = magnitude - static_cast<double>(whole);
    auto count = std::min(static_cast<std::uint32_t>(std::lround(fraction / fraction_step)),
                          max_fraction_count);
    // The largest count reaches only x.999302: just below the next degree, that is nearer.
    const double below = static_cast<double>(count) * fraction_step;
    if (whole < max_whole && 1.0 - fraction < fraction - below) {
        ++whole;
        count = 0;
    }
    return (whole << 13) | count;
}

std::uint32_t sign_magnitude_magnitude(double magnitude) {
    const std::uint32_t largest = (max_whole << 2) | 3U; // 1023.75
    const auto quarters =
        std::min(static_cast<std::uint32_t>(std::lround(magnitude * 4.0)), largest);
    return quarters << 5; // whole part lands in bits 16-7, quarters in bits 6-5
}

// Channel `channel` held at `celsius`, in both encodings; "-": its raw bytes again.
bool parse_degrees(Device &device, unsigned channel, std::string_view text) {
    const auto bit = static_cast<std::uint8_t>(1U << channel);
    if (text == "-") {
        device.in_degrees = static_cast<std::uint8_t>(device.in_degrees & ~bit);
        return true;
    }
    const auto celsius = parse_celsius(text);
    if (!celsius) {
        return false;
    }
    const auto at = static_cast<std::ptrdiff_t>(channel) * KZR415_CHANNEL_LEN;
    const auto twos = encode_temperature(*celsius, false);
    const auto sign = encode_temperature(*celsius, true);
    std::copy(twos.begin(), twos.end(), std::begin(device.twos_complement) + at);
    std::copy(sign.begin(), sign.end(), std::begin(device.sign_magnitude) + at);
    device.celsius[channel] = *celsius;
    device.in_degrees |= bit;
    return true;
}

} // namespace

Device new_device(bool in_degrees) {
    Device device{};
    kzr415_device_init(&device);
    for (const auto &setting : settings()) {
        if (in_degrees && setting.kind == KZR415_KIND_DEGREES) {
            parse_setting(device, setting, setting.value);
        }
    }
    return device;
}

bool parse_setting(Device &device, const Setting &setting, std::string_view text) {
    if (setting.kind == KZR415_KIND_DEGREES) {
        return parse_degrees(device, setting.arg, text);
    }
    return kzr415_setting_parse(&device, &setting, text.data(), text.size()) == 0;
}

std::string format_setting(const Device &device, const Setting &setting) {
    std::array<char, 64> text{};
    if (setting.kind != KZR415_KIND_DEGREES) {
        const int length = kzr415_setting_format(text.data(), text.size(), &device, &setting);
        return {text.data(), static_cast<std::size_t>(std::max(length, 0))};
    }
    if ((device.in_degrees & (1U << setting.arg)) == 0) {
        return "-";
    }
    const auto result =
        std::to_chars(text.data(), text.data() + text.size(), device.celsius[setting.arg]);
    return {text.data(), result.ptr};
}

std::string expected_value(const Setting &setting) {
    switch (setting.kind) {
    case KZR415_KIND_ADDRESS:
        return "a 7-bit address, 0 to 0x7f";
    case KZR415_KIND_IMAGE:
        return std::to_string(kzr415_image_len(setting.arg)) + " hex bytes";
    case KZR415_KIND_FAULT:
        return "K:ERRNO or K+:ERRNO, K from 1";
    case KZR415_KIND_DEGREES:
        return "degrees Celsius, magnitude below 1024";
    default:
        return "1";
    }
}

std::string format_state(const Device &device) {
    std::string text;
    for (const auto &setting : settings()) {
        text.append(setting.name).append(" ").append(format_setting(device, setting)) += '\n';
    }
    return text;
}

bool parse_state(std::string_view text, Device &device) {
    std::array<bool, KZR415_SETTING_COUNT> seen{};
    Device parsed = device;
    while (!text.empty()) {
        const auto newline = text.find('\n');
        const auto line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        if (line.empty()) {
            continue;
        }
        const auto blank = line.find(' ');
        const auto known = std::find_if(settings().begin(), settings().end(), [&](const auto &s) {
            return line.substr(0, blank) == s.name;
        });
        const auto index = static_cast<std::size_t>(known - settings().begin());
        if (blank == std::string_view::npos || known == settings().end() || seen.at(index) ||
            !parse_setting(parsed, *known, line.substr(blank + 1))) {
            return false; // not a setting, one given twice, or a bad value
        }
        seen.at(index) = true;
    }
    const bool whole = std::find(seen.begin(), seen.end(), false) == seen.end(); // none missing
    device = whole ? parsed : device;
    return whole;
}

bool representable_temperature(double celsius) {
    return std::isfinite(celsius) && std::fabs(celsius) < 1024.0;
}

std::optional<double> parse_celsius(std::string_view text) {
    double value = 0;
    const auto *last = text.data() + text.size();
    // NOLINTNEXTLINE(bugprone-suspicious-stringview-data-usage): the end is given
    const auto result = std::from_chars(text.data(), last, value);
    if (text.empty() || result.ec != std::errc{} || result.ptr != last ||
        !representable_temperature(value)) {
        return std::nullopt;
    }
    return value;
}

std::array<std::uint8_t, KZR415_CHANNEL_LEN> encode_temperature(double celsius,
                                                                bool sign_magnitude) {
    const bool negative = std::signbit(celsius);
    const double magnitude = std::fabs(celsius);
    if (sign_magnitude) {
        const std::uint32_t bits = sign_magnitude_magnitude(magnitude);
        return bytes_of(bits | (negative && bits != 0 ? 1U << 17 : 0U));
    }
    const std::uint32_t bits = twos_complement_magnitude(magnitude);
    return bytes_of(negative ? (0U - bits) & 0xFFFFFFU : bits);
}

std::string format_hex_bytes(std::span<const std::uint8_t> bytes) {
    static constexpr std::string_view digits = "0123456789abcdef";
    std::string out;
    for (const auto byte : bytes) {
        if (!out.empty()) {
            out += ' ';
        }
        out += digits[byte >> 4U];
        out += digits[byte & 0xFU];
    }
    return out;
}

} // namespace kzr415::sim
