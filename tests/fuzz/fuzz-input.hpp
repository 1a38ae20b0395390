// Takes a fuzzer's input apart: bytes, numbers and choices, front to back; zeros once the
// input is used up, so every input describes a complete case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kzr415::fuzz {

class FuzzInput {
  public:
    explicit FuzzInput(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    [[nodiscard]] bool empty() const { return next_ == bytes_.size(); }

    std::uint8_t byte() { return empty() ? 0 : bytes_[next_++]; }

    std::uint16_t u16() {
        const auto high = byte();
        return static_cast<std::uint16_t>((unsigned{high} << 8U) | byte());
    }

    std::uint32_t u32() {
        const auto high = u16();
        return (std::uint32_t{high} << 16U) | u16();
    }

    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }

    void fill(std::span<std::uint8_t> out) {
        for (auto &b : out) {
            b = byte();
        }
    }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t next_ = 0;
};

} // namespace kzr415::fuzz
