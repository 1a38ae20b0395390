// Register map and configuration bit fields of the kzr-415. The register pointers are the
// public header's (TEMPERATURE_REG ...); this adds each register's image length and the
// configuration byte's fields.
#pragma once

#include "kzr-415-drv.h"

#include <cstddef>
#include <cstdint>

namespace kzr415 {

struct Register {
    std::uint8_t pointer;
    std::uint8_t image_length;
};

inline constexpr Register temperature_register{TEMPERATURE_REG, 6};
inline constexpr Register configuration_register{CONFIGURATION_REG, 2};
inline constexpr Register t_low_register{T_LOW_REG, 6};
inline constexpr Register t_high_register{T_HIGH_REG, 6};

// The longest register image; a register write never carries more data bytes.
inline constexpr std::size_t max_image_length = 6;

// Each channel owns three bytes of a 6-byte image and one byte of the configuration image.
inline constexpr std::size_t channel_value_length = 3;

// Configuration byte, one per channel.
inline constexpr std::uint8_t config_sign_magnitude = 1U << 5; // set: sign-magnitude encoding
inline constexpr unsigned config_alert_mode_shift = 1;         // alert mode, bits 2:1
inline constexpr std::uint8_t config_alert_mode_mask = 0x06;
inline constexpr unsigned max_alert_mode = 3;

} // namespace kzr415
