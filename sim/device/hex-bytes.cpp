#include "device/hex-bytes.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>

namespace kzr415::sim {

bool parse_hex_bytes(std::string_view text, std::span<std::uint8_t> out) {
    std::size_t n = 0;
    while (!text.empty()) {
        const auto start = text.find_first_not_of(" ,\t");
        if (start == std::string_view::npos) {
            break;
        }
        text.remove_prefix(start);
        const auto length = std::min(text.find_first_of(" ,\t"), text.size());
        auto token = text.substr(0, length);
        text.remove_prefix(length);
        if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
            token.remove_prefix(2);
        }
        unsigned value = 0;
        const auto *end = token.data() + token.size();
        const auto [ptr, ec] = std::from_chars(token.data(), end, value, 16);
        if (ec != std::errc{} || ptr != end || value > 0xFF || n == out.size()) {
            return false;
        }
        out[n++] = static_cast<std::uint8_t>(value);
    }
    return n == out.size();
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
