// The decode functions at run time, where the compiler's code (not constant folding)
// does the float arithmetic: a fused multiply-add would change the last printed digit.
#include "temperature-decode.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <string>

namespace kzr415::test {
namespace {

// Laundered through a volatile so the compiler cannot fold the call at compile time.
float decode_at_run_time(std::uint32_t raw, bool sign_magnitude) {
    volatile std::uint32_t opaque = raw;
    return decode_temperature(opaque, sign_magnitude);
}

std::string printed(float value) {
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "%f", static_cast<double>(value));
    return text.data();
}

TEST(Decode, TwosComplementWorkedValues) {
    EXPECT_EQ(printed(decode_at_run_time(0x032000, false)), "25.000000");
    EXPECT_EQ(printed(decode_at_run_time(0x033000, false)), "25.499712");
    EXPECT_EQ(printed(decode_at_run_time(0xFCE000, false)), "-25.000000");
    EXPECT_EQ(printed(decode_at_run_time(0xFFFFFF, false)), "-0.000122");
    EXPECT_EQ(printed(decode_at_run_time(0x7FFFFF, false)), "1023.999329");
    const float negative_zero = decode_at_run_time(0x800000, false);
    EXPECT_EQ(negative_zero, 0.0F);
    EXPECT_TRUE(std::signbit(negative_zero));
}

TEST(Decode, SignMagnitudeWorkedValues) {
    EXPECT_EQ(printed(decode_at_run_time(0x000C80, true)), "25.000000");
    EXPECT_EQ(printed(decode_at_run_time(0x020CA0, true)), "-25.250000");
    EXPECT_EQ(printed(decode_at_run_time(0xFC0C80, true)), "25.000000");
    EXPECT_EQ(printed(decode_at_run_time(0x01FFE0, true)), "1023.750000");
}

TEST(Decode, FractionStepIsTheDecimalConstantNotAPowerOfTwo) {
    // 4096 counts: 0.499712 with the device's step, 0.5 with 1/8192.
    EXPECT_EQ(decode_at_run_time(0x001000, false), static_cast<float>(4096 * 0.000122));
    EXPECT_NE(decode_at_run_time(0x001000, false), 0.5F);
}

TEST(Decode, SignMagnitudeIgnoresItsUnusedBitsAndNeverNegatesTwice) {
    for (const std::uint32_t noise : {0xFC0000U, 0x00001FU, 0xFC001FU}) {
        EXPECT_EQ(decode_at_run_time(0x020CA0 | noise, true), -25.25F);
    }
    // Bit 17 alone gives the sign: no two's-complement negation of the magnitude.
    EXPECT_EQ(decode_at_run_time(0x020000, true), -0.0F);
    EXPECT_TRUE(std::signbit(decode_at_run_time(0x020000, true)));
}

} // namespace
} // namespace kzr415::test
