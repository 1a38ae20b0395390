// The decode functions at run time, where the compiler's code (not constant folding)
// does the float arithmetic: a fused multiply-add would change the last printed digit.
#include "temperature-decode.hpp"
#include "worked-values.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
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

TEST(Decode, EveryWorkedValueInItsEncoding) {
    for (const auto &worked : worked_values) {
        SCOPED_TRACE(worked.printed);
        const float decoded = decode_at_run_time(
            assemble_raw(worked.bytes[0], worked.bytes[1], worked.bytes[2]), worked.sign_magnitude);
        EXPECT_EQ(printed(decoded), worked.printed);
        // Bit for bit, so that negative zero must come out negative.
        EXPECT_EQ(std::bit_cast<std::uint32_t>(decoded),
                  std::bit_cast<std::uint32_t>(worked.value));
    }
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
