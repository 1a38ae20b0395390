// Compile-time checks of the temperature decode against the device's worked values. This
// file emits no code; it fails the build on any target whose float arithmetic disagrees.
#include "temperature-decode.hpp"

#include <bit>
#include <cstdint>

namespace {

using kzr415::assemble_raw;
using kzr415::decode_temperature;

constexpr float twos(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
    return decode_temperature(assemble_raw(b0, b1, b2), false);
}
constexpr float sign_mag(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
    return decode_temperature(assemble_raw(b0, b1, b2), true);
}
constexpr std::uint32_t bits(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

static_assert(twos(0x03, 0x20, 0x00) == 25.0F);
static_assert(twos(0x03, 0x30, 0x00) == 25.499712F);
static_assert(twos(0xFC, 0xE0, 0x00) == -25.0F);
static_assert(twos(0xFF, 0xFF, 0xFF) == -0.000122F);
static_assert(twos(0x7F, 0xFF, 0xFF) == 1023.999329F);
static_assert(bits(twos(0x80, 0x00, 0x00)) == bits(-0.0F)); // negative zero
static_assert(sign_mag(0x00, 0x0C, 0x80) == 25.0F);
static_assert(sign_mag(0x02, 0x0C, 0xA0) == -25.25F);
static_assert(sign_mag(0xFC, 0x0C, 0x80) == 25.0F); // bits 23-18 ignored
static_assert(sign_mag(0x01, 0xFF, 0xE0) == 1023.75F);

} // namespace
