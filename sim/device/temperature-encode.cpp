#include "device/temperature-encode.hpp"

#include "device/whole-number.hpp"
#include "kernel/kzr-415-device.h"

#include <algorithm>
#include <cmath>

namespace kzr415::sim {

namespace {

constexpr double fraction_step = 0.000122;
constexpr std::uint32_t max_whole = 1023;
constexpr std::uint32_t max_fraction_count = 0x1FFF;

std::array<std::uint8_t, 3> bytes_of(std::uint32_t raw) {
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

} // namespace

bool representable_temperature(double celsius) {
    return std::isfinite(celsius) && std::fabs(celsius) < max_temperature_magnitude;
}

std::array<std::uint8_t, 3> encode_temperature(double celsius, bool sign_magnitude) {
    const bool negative = std::signbit(celsius);
    const double magnitude = std::fabs(celsius);
    if (sign_magnitude) {
        const std::uint32_t bits = sign_magnitude_magnitude(magnitude);
        return bytes_of(bits | (negative && bits != 0 ? 1U << 17 : 0U));
    }
    const std::uint32_t bits = twos_complement_magnitude(magnitude);
    return bytes_of(negative ? (0U - bits) & 0xFFFFFFU : bits);
}

std::optional<double> parse_celsius(std::string_view text) {
    double value = 0;
    if (!parse_whole_number(text, value) || !representable_temperature(value)) {
        return std::nullopt;
    }
    return value;
}

double twos_complement_celsius(std::span<const std::uint8_t, 3> bytes) {
    const std::uint32_t raw = (std::uint32_t{bytes[0]} << 16U) | (std::uint32_t{bytes[1]} << 8U) |
                              std::uint32_t{bytes[2]};
    const bool negative = (raw >> 23U) != 0;
    const std::uint32_t magnitude = (negative ? 0x1000000U - raw : raw) & 0x7FFFFFU;
    const double value = static_cast<double>(magnitude >> 13U) +
                         (static_cast<double>(magnitude & 0x1FFFU) * fraction_step);
    return negative ? -value : value;
}

std::array<double, 2> default_celsius() {
    const std::array<std::uint8_t, KZR415_TEMPERATURE_LEN> image KZR415_TEMPERATURE_DEFAULT;
    return {twos_complement_celsius(std::span(image).first<3>()),
            twos_complement_celsius(std::span(image).last<3>())};
}

} // namespace kzr415::sim
