// Every one of the 2^24 raw values in each encoding, against properties that must hold
// whatever the implementation: the ignored bits change nothing, the sign is a pure flip,
// the value grows with the magnitude, and it is whole + fraction * step within the rounding
// the decode describes (the step's product rounded to single precision, then a single
// sum). The expected fields are taken apart here with signed arithmetic, not as the decode
// does it. The decode is the library's exported kzr_415_decode, the one decode of every
// reading (temperature_reg_read's and kzr_415_read_temperatures' too), given each value's
// bytes with a configuration byte whose other bits vary beside bit 5.
#include "kzr-415-drv.h"
#include "temperature-decode.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace kzr415::test {
namespace {

constexpr std::uint32_t raw_values = 1U << 24U;
constexpr std::uint8_t sign_magnitude_bit = 0x20;
constexpr std::uint32_t other_bits = 0xDF; // every bit of the configuration byte but bit 5

// kzr_415_decode of a raw value's three bytes; the configuration's bits but bit 5 are taken
// from the raw value, so that they vary.
float decode_as(std::uint32_t raw, bool sign_magnitude) {
    const std::array<std::uint8_t, 3> bytes{static_cast<std::uint8_t>(raw >> 16U),
                                            static_cast<std::uint8_t>(raw >> 8U),
                                            static_cast<std::uint8_t>(raw)};
    const auto others = static_cast<std::uint8_t>((raw ^ (raw >> 8U)) & other_bits);
    return kzr_415_decode(bytes.data(), sign_magnitude ? others | sign_magnitude_bit : others);
}
float decode_twos_complement(std::uint32_t raw) {
    return decode_as(raw, false);
}
float decode_sign_magnitude(std::uint32_t raw) {
    return decode_as(raw, true);
}

std::uint32_t bits(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

// Counts failed checks, keeping the first raw value that failed each one.
struct Tally {
    std::uint64_t checked = 0;
    std::uint64_t failed = 0;
    std::uint32_t first_failure = 0;
    const char *first_property = "";

    void check(bool ok, std::uint32_t raw, const char *property) {
        ++checked;
        if (!ok && failed++ == 0) {
            first_failure = raw;
            first_property = property;
        }
    }
};

void report(const Tally &tally, const char *encoding) {
    std::printf("%s: %llu checks over %u raw values\n", encoding,
                static_cast<unsigned long long>(tally.checked), raw_values);
    EXPECT_EQ(tally.failed, 0U) << "first: raw 0x" << std::hex << tally.first_failure << " "
                                << tally.first_property;
}

// |value - exact| within one unit in the last place of the value: the two roundings the
// decode makes, each at most half a unit of a number no larger than the result.
bool within_rounding(float value, long double exact) {
    const float magnitude = std::fabs(value);
    const auto unit = static_cast<long double>(std::nextafter(magnitude, INFINITY) - magnitude);
    return std::fabs(static_cast<long double>(value) - exact) <= unit;
}

TEST(DecodeExhaustive, TwosComplementHoldsItsPropertiesForEveryRawValue) {
    const auto step = static_cast<long double>(fraction_step);
    Tally tally;
    float previous = 0.0F;
    for (std::uint32_t raw = 0; raw < raw_values; ++raw) {
        const float value = decode_twos_complement(raw);
        // The 24-bit value as a signed number, and the fields of its magnitude.
        const std::int32_t signed_raw = static_cast<std::int32_t>(raw << 8U) / 256;
        const std::int64_t magnitude = std::abs(std::int64_t{signed_raw});
        const auto whole = static_cast<std::uint32_t>(magnitude / 8192 % 1024);
        const auto fraction = static_cast<std::uint32_t>(magnitude % 8192);
        const bool negative = signed_raw < 0;
        const long double exact = (negative ? -1.0L : 1.0L) * (whole + fraction * step);

        tally.check(std::signbit(value) == negative, raw, "sign bit");
        tally.check(within_rounding(value, exact), raw, "whole + fraction * step");
        if (whole == 0) { // adding zero is exact: the product's own rounding shows
            const auto product = static_cast<float>(static_cast<double>(fraction) * fraction_step);
            tally.check(std::fabs(value) == product, raw, "product rounded to single");
        }
        if (fraction == 0) {
            tally.check(std::fabs(value) == static_cast<float>(whole), raw, "whole degrees");
        }
        // Negating the raw value flips the sign and nothing else (0x800000 is its own
        // negation and reads as negative zero).
        const std::uint32_t negated = (raw_values - raw) % raw_values;
        if (raw != 0 && raw != 0x800000) {
            tally.check(bits(decode_twos_complement(negated)) == bits(-value), raw, "symmetry");
        } else {
            tally.check(value == 0.0F, raw, "zero");
        }
        // Ascending raw values ascend in value within each sign: 0..0x7FFFFF, and
        // 0x800001..0xFFFFFF (from -1023.99 up to -0.000122).
        if (raw != 0 && raw != 0x800000 && raw != 0x800001) {
            tally.check(value >= previous, raw, "monotonic");
        }
        previous = value;
    }
    report(tally, "two's complement");
    EXPECT_EQ(bits(decode_twos_complement(0x800000)), bits(-0.0F));
}

TEST(DecodeExhaustive, SignMagnitudeHoldsItsPropertiesForEveryRawValue) {
    constexpr std::uint32_t used_bits = 0x03FFE0; // sign 17, whole 16-7, quarters 6-5
    Tally tally;
    float previous = 0.0F;
    for (std::uint32_t raw = 0; raw < raw_values; ++raw) {
        const float value = decode_sign_magnitude(raw);
        const std::uint32_t used = raw & used_bits;
        // The ignored bits change nothing, down to the sign of a zero.
        tally.check(bits(value) == bits(decode_sign_magnitude(used)), raw, "ignored bits");
        // Bit 17 alone flips the sign.
        tally.check(bits(decode_sign_magnitude(raw ^ (1U << 17U))) == bits(-value), raw,
                    "symmetry");
        const bool negative = (raw & (1U << 17U)) != 0;
        const std::uint32_t quarters_total = (raw >> 5U) % 4096; // whole * 4 + quarters
        tally.check(std::signbit(value) == negative, raw, "sign bit");
        // Quarters are exact in single precision: the value is exactly whole + q / 4.
        tally.check(std::fabs(value) == static_cast<float>(quarters_total) / 4.0F, raw,
                    "whole + quarters * 0.25");
        // Within each sign the magnitude grows with bits 16-5.
        if (raw == used && (raw & 0x1FFE0) != 0) {
            tally.check(std::fabs(value) > std::fabs(previous), raw, "monotonic");
        }
        if (raw == used) {
            previous = value;
        }
    }
    report(tally, "sign-magnitude");
}

} // namespace
} // namespace kzr415::test
