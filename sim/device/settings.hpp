// The simulated device in user space: the device core's device (kernel/kzr-415-device.h)
// with its channels in degrees, and its settings as text, walked from the core's table.
// The environment, kzr-415-sim's options and --help, and the state file all read and write
// the device's settings here.
#pragma once

#include "kernel/kzr-415-device.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kzr415::sim {

using Device = kzr415_device;
using Setting = kzr415_setting;

// The table of the device's settings, in its order.
inline std::span<const Setting> settings() {
    return std::span<const Setting>(kzr415_settings);
}

// A new device: every setting as the table gives it; with `in_degrees` (kzr-415-sim's
// device) its channels held in degrees too.
Device new_device(bool in_degrees = false);

// A register's image, the whole of it.
template <class D> // Device or const Device
auto image(D &device, unsigned reg) {
    return std::span(device.image[reg]).first(kzr415_image_len(reg));
}

// A setting's value read from text as the table's kind says: false for a bad value, the
// device then as it was. Degrees are "-" for a channel that returns its raw bytes.
bool parse_setting(Device &device, const Setting &setting, std::string_view text);
// The value as parse_setting reads it back.
std::string format_setting(const Device &device, const Setting &setting);
// What a bad value should have been, for a message ("6 hex bytes").
std::string expected_value(const Setting &setting);

// The device as text: one "name value" line for each setting, in the table's order; and
// the device a text holds (false unless every setting is there exactly once with a good
// value, the device then as it was).
std::string format_state(const Device &device);
bool parse_state(std::string_view text, Device &device);

// A temperature in degrees Celsius the device can carry: finite, its magnitude below 1024
// (the 10-bit whole part).
bool representable_temperature(double celsius);
// "25", "-12.5", "1e-05": a representable temperature, nothing before or after it.
std::optional<double> parse_celsius(std::string_view text);

// A channel's bytes for a representable temperature, most significant first.
//
// Two's complement (configuration bit 5 clear): the magnitude's bits 22-13 hold the whole
// degrees and bits 12-0 a fraction count of 0.000122 degrees each (the device's step, not
// 1/8192); a negative reading is the 24-bit two's-complement negation of its magnitude.
// The count is the one in 0..8191 whose value lies nearest the fraction; when the next
// whole degree with a zero count lies nearer (above x.99939), that one is taken.
// Sign-magnitude (bit 5 set): bit 17 sign, bits 16-7 whole degrees, bits 6-5 quarters,
// rounded to the nearest quarter; bits 23-18 and 4-0 zero.
// A magnitude that rounds to zero is encoded without its sign.
std::array<std::uint8_t, KZR415_CHANNEL_LEN> encode_temperature(double celsius,
                                                                bool sign_magnitude);

// "03 20 00": two lower-case hex digits a byte, one blank between.
std::string format_hex_bytes(std::span<const std::uint8_t> bytes);

} // namespace kzr415::sim
