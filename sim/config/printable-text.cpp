#include "config/printable-text.hpp"

#include <array>
#include <cstdio>

namespace kzr415::sim {

std::string printable(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            result += "\\n";
        } else if (c == '\t') {
            result += "\\t";
        } else if (c == '\r') {
            result += "\\r";
        } else if (byte < 0x20 || byte == 0x7f) {
            std::array<char, 8> escaped{};
            std::snprintf(escaped.data(), escaped.size(), "\\x%02x", unsigned{byte});
            result += escaped.data();
        } else {
            result += c;
        }
    }
    return result;
}

} // namespace kzr415::sim
