// Encoding of a temperature in degrees Celsius into a channel's three bytes, as the
// simulated kzr-415 does when its temperature register is read.
//
// Two's complement (configuration bit 5 clear): the magnitude's bits 22-13 hold the whole
// degrees and bits 12-0 a fraction count of 0.000122 degrees each (the device's step, not
// 1/8192); a negative reading is the 24-bit two's-complement negation of its magnitude.
// The count is the one in 0..8191 whose value lies nearest the fraction; when the next
// whole degree with a zero count lies nearer (above x.99939), that one is taken.
// Sign-magnitude (bit 5 set): bit 17 sign, bits 16-7 whole degrees, bits 6-5 quarters,
// rounded to the nearest quarter; bits 23-18 and 4-0 zero.
// A magnitude that rounds to zero is encoded without its sign.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kzr415::sim {

// The largest whole part the 10-bit field holds; a temperature is representable when its
// magnitude is below 1024 degrees.
inline constexpr double max_temperature_magnitude = 1024.0;

// True for a finite temperature whose magnitude's whole part fits the 10-bit field.
bool representable_temperature(double celsius);

// The channel's three bytes, most significant first; the temperature must be representable.
// What three bytes in the two's-complement format mean, in degrees (the device's own value:
// whole degrees and counts of 0.000122).
double twos_complement_celsius(std::span<const std::uint8_t, 3> bytes);

// The temperature of each channel of the device's default image, in degrees.
std::array<double, 2> default_celsius();
std::array<std::uint8_t, 3> encode_temperature(double celsius, bool sign_magnitude);

// Parses a temperature in degrees Celsius ("25", "-12.5", "1e-05") that the device can
// carry: finite, magnitude below 1024. The command line, the environment and the state file
// all read degrees with it; nothing else reaches the encoding.
std::optional<double> parse_celsius(std::string_view text);

} // namespace kzr415::sim
