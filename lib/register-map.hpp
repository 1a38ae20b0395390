// Register map and configuration bit fields of the kzr-415. The register pointers and image
// lengths are the public header's (TEMPERATURE_REG, TEMPERATURE_REG_LENGTH ...); this pairs
// them, checks them against the channel layout that the library's code indexes by, and adds
// the configuration byte's fields.
#pragma once

#include "kzr-415-drv.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace kzr415 {

struct Register {
    std::uint8_t pointer;
    std::uint8_t image_length;
    bool writable;
};

inline constexpr Register temperature_register{TEMPERATURE_REG, TEMPERATURE_REG_LENGTH, false};
inline constexpr Register configuration_register{CONFIGURATION_REG, CONFIGURATION_REG_LENGTH, true};
inline constexpr Register t_low_register{T_LOW_REG, T_LOW_REG_LENGTH, true};
inline constexpr Register t_high_register{T_HIGH_REG, T_HIGH_REG_LENGTH, true};

inline constexpr std::array<Register, 4> registers{temperature_register, configuration_register,
                                                   t_low_register, t_high_register};

// The register a pointer selects; null for a pointer that selects none.
constexpr const Register *find_register(std::uint8_t pointer) {
    const Register *const end = registers.data() + registers.size();
    const Register *const found = std::find_if(
        registers.data(), end, [pointer](const Register &r) { return r.pointer == pointer; });
    return found == end ? nullptr : found;
}

// The longest register image; a register write never carries more data bytes.
inline constexpr std::size_t max_image_length =
    std::max({temperature_register.image_length, configuration_register.image_length,
              t_low_register.image_length, t_high_register.image_length});

// Each channel owns three bytes of a temperature or threshold image and one byte of the
// configuration image, channel 1 the first.
inline constexpr std::size_t channel_count = 2;
inline constexpr std::size_t channel_value_length = 3;
inline constexpr std::size_t channel_configuration_length = 1;

static_assert(temperature_register.image_length == channel_count * channel_value_length,
              "the temperature image holds one 24-bit reading per channel");
static_assert(t_low_register.image_length == channel_count * channel_value_length &&
                  t_high_register.image_length == channel_count * channel_value_length,
              "a threshold image holds one 24-bit threshold per channel");
static_assert(configuration_register.image_length == channel_count * channel_configuration_length,
              "the configuration image holds one configuration byte per channel");

using ConfigurationImage = std::array<std::uint8_t, configuration_register.image_length>;
using TemperatureImage = std::array<std::uint8_t, temperature_register.image_length>;
// One channel's three bytes of the temperature image, most significant first.
using ChannelReading = std::array<std::uint8_t, channel_value_length>;

// Configuration byte, one per channel.
inline constexpr std::uint8_t config_sign_magnitude = 1U << 5; // set: sign-magnitude encoding
inline constexpr unsigned config_alert_mode_shift = 1;         // alert mode, bits 2:1
inline constexpr std::uint8_t config_alert_mode_mask = 0x06;
inline constexpr unsigned max_alert_mode = 3;

} // namespace kzr415
