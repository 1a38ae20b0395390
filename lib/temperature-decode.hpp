// Decoding of the kzr-415's 24-bit temperature readings. Pure constexpr functions; the
// float rounding is part of the result (build with -ffp-contract=off so no fused
// multiply-add changes it).
#pragma once

#include <cstdint>

namespace kzr415 {

// Step of the two's-complement format's 13-bit fraction count. The device's step is
// this decimal constant, not 1/8192.
inline constexpr double fraction_step = 0.000122;
// Step of the sign-magnitude format's 2-bit fraction.
inline constexpr double quarter_step = 0.25;

// Assembles a channel's three bytes, most significant first, into its 24-bit raw value.
constexpr std::uint32_t assemble_raw(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
    return (std::uint32_t{b0} << 16) | (std::uint32_t{b1} << 8) | std::uint32_t{b2};
}

// whole + fraction * step: the product rounded to single precision, then a single-precision
// sum; the sign applied last as a flip, so a zero magnitude gives negative zero.
constexpr float compose(bool negative, std::uint32_t whole, std::uint32_t fraction, double step) {
    const auto frac = static_cast<float>(static_cast<double>(fraction) * step);
    const float value = static_cast<float>(whole) + frac;
    return negative ? -value : value;
}

// Sign-magnitude: bit 17 sign, bits 16-7 whole part, bits 6-5 quarters; bits 23-18 and
// 4-0 ignored.
constexpr float decode_sign_magnitude(std::uint32_t raw) {
    const bool negative = ((raw >> 17) & 1U) != 0;
    const std::uint32_t whole = (raw >> 7) & 0x3FFU;
    const std::uint32_t quarters = (raw >> 5) & 0x3U;
    return compose(negative, whole, quarters, quarter_step);
}

// Two's complement over 24 bits: bit 23 sign; the magnitude's bits 22-13 whole part and
// bits 12-0 fraction count. The magnitude of 0x800000 is 2^23, whose low 23 bits are zero.
constexpr float decode_twos_complement(std::uint32_t raw) {
    const bool negative = ((raw >> 23) & 1U) != 0;
    const std::uint32_t magnitude = negative ? 0U - raw : raw;
    const std::uint32_t whole = (magnitude >> 13) & 0x3FFU;
    const std::uint32_t fraction = magnitude & 0x1FFFU;
    return compose(negative, whole, fraction, fraction_step);
}

// Decodes a raw value in the encoding that a configuration byte's bit 5 selects.
constexpr float decode_temperature(std::uint32_t raw, bool sign_magnitude) {
    return sign_magnitude ? decode_sign_magnitude(raw) : decode_twos_complement(raw);
}

} // namespace kzr415
