// Register images as text: bytes in hex, separated by blanks ("03 20 00"), as the command
// line, the environment, the state file and the trace write them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kzr415::sim {

// Parses "03 20 00" (or "0x03,0x20,0x00"; blanks, tabs, newlines or commas between the
// bytes) into exactly out.size() bytes, as the kernel module reads its images.
bool parse_hex_bytes(std::string_view text, std::span<std::uint8_t> out);

// "03 20 00": two lower-case hex digits a byte, one blank between.
std::string format_hex_bytes(std::span<const std::uint8_t> bytes);

} // namespace kzr415::sim
