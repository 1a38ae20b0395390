#include "device/device-model.hpp"

#include "device/temperature-encode.hpp"

#include <algorithm>

namespace kzr415::sim {

std::span<const std::uint8_t> DeviceModel::image(std::array<std::uint8_t, 6> &scratch) const {
    switch (pointer_) {
    case 0x00:
        scratch = registers_.temperature;
        for (std::size_t channel = 0; channel < 2; ++channel) {
            if (const auto &celsius = registers_.celsius[channel]) {
                const bool sign_magnitude = (registers_.configuration[channel] & 0x20U) != 0;
                const auto bytes = encode_temperature(*celsius, sign_magnitude);
                std::copy(bytes.begin(), bytes.end(), scratch.begin() + 3 * channel);
            }
        }
        return scratch;
    case 0x01:
        return registers_.configuration;
    case 0x02:
        return registers_.t_low;
    case 0x03:
        return registers_.t_high;
    default:
        return {};
    }
}

void DeviceModel::write(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) {
        return; // an address-only write selects nothing
    }
    pointer_ = bytes[0];
    const auto data = bytes.subspan(1);
    std::span<std::uint8_t> target;
    switch (pointer_) {
    case 0x01:
        target = registers_.configuration;
        break;
    case 0x02:
        target = registers_.t_low;
        break;
    case 0x03:
        target = registers_.t_high;
        break;
    default:
        return; // the temperature register is read only; unknown registers hold nothing
    }
    std::copy_n(data.begin(), std::min(data.size(), target.size()), target.begin());
}

void DeviceModel::read(std::span<std::uint8_t> bytes) const {
    std::array<std::uint8_t, 6> scratch{};
    const auto source = image(scratch);
    const auto n = std::min(bytes.size(), source.size());
    std::copy_n(source.begin(), n, bytes.begin());
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(n), bytes.end(), std::uint8_t{0xFF});
}

} // namespace kzr415::sim
