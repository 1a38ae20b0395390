#include "device/hex-bytes.hpp"

#include "kernel/kzr-415-device.h"

#include <array>
#include <cstdio>

namespace kzr415::sim {

bool parse_hex_bytes(std::string_view text, std::span<std::uint8_t> out) {
    return kzr415_parse_hex(text.data(), text.size(), out.data(), out.size()) == 0;
}

std::string format_hex_bytes(std::span<const std::uint8_t> bytes) {
    std::string out;
    for (const auto byte : bytes) {
        std::array<char, 4> hex{};
        std::snprintf(hex.data(), hex.size(), out.empty() ? "%02x" : " %02x", byte);
        out += hex.data();
    }
    return out;
}

} // namespace kzr415::sim
