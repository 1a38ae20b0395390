// A number that is the whole of a text: nothing before it, nothing after it, no sign
// where the type has none. The state file, the command line, the environment and the
// capture reader all read their numbers with it.
#pragma once

#include <charconv>
#include <memory>
#include <string_view>
#include <system_error>
#include <type_traits>

namespace kzr415::sim {

// An integer in `base` (no "0x" prefix), or with `T` floating point a decimal number.
template <typename T>
bool parse_whole_number(std::string_view text, T &value, int base = 10) {
    const char *first = std::to_address(text.begin());
    const char *last = std::to_address(text.end());
    std::from_chars_result result{};
    if constexpr (std::is_floating_point_v<T>) {
        result = std::from_chars(first, last, value);
    } else {
        result = std::from_chars(first, last, value, base);
    }
    return !text.empty() && result.ec == std::errc{} && result.ptr == last;
}

} // namespace kzr415::sim
