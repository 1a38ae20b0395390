// Compile-time checks of the temperature decode against the device's worked values
// (lib/worked-values.txt). This file emits no code; it fails the build on any target whose
// float arithmetic disagrees.
#include "temperature-decode.hpp"
#include "worked-values.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>

namespace {

// The index of the first worked value that the decode gets wrong, bit for bit (so negative
// zero must come out negative); the table's size when there is none.
consteval std::size_t first_wrong_worked_value() {
    std::size_t index = 0;
    for (const auto &worked : kzr415::worked_values) {
        const std::uint32_t raw = kzr415::assemble_raw(
            std::get<0>(worked.bytes), std::get<1>(worked.bytes), std::get<2>(worked.bytes));
        const float decoded = kzr415::decode_temperature(raw, worked.sign_magnitude);
        if (std::bit_cast<std::uint32_t>(decoded) != std::bit_cast<std::uint32_t>(worked.value)) {
            return index;
        }
        ++index;
    }
    return kzr415::worked_values.size();
}

static_assert(first_wrong_worked_value() == kzr415::worked_values.size(),
              "the decode disagrees with a worked value (the index is in the note above)");

} // namespace
