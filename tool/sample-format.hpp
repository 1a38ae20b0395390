// One sample of both channels as kzr-415-read prints it: text, JSON or the Prometheus text
// exposition format.
#pragma once

#include "read-options.hpp"

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace kzr415::reader {

struct Sample {
    std::string_view bus;
    std::uint16_t address = 0;
    std::array<float, 2> celsius{}; // channel 1, channel 2
    std::timespec time{};           // when it was read (CLOCK_REALTIME)
};

// The sample's lines, each ending in a newline:
//   text        temperature 1:25.000000
//               temperature 2:21.000000
//   json        {"bus":"/dev/i2c-4","address":"0x48","time":"2026-12-09T12:00:00.250Z",
//                "temperature_1":25.000000,"temperature_2":21.000000}   (one line)
//   prometheus  # HELP and # TYPE of the gauge kzr415_temperature_celsius, then one line a
//               channel labelled bus, address and channel
std::string format_sample(Format format, const Sample &sample);

// `text` as the contents of a JSON string or of a Prometheus label value: valid UTF-8 with
// the format's escapes; a byte that is not part of valid UTF-8 becomes U+FFFD.
std::string json_string_contents(std::string_view text);
std::string label_value(std::string_view text);

} // namespace kzr415::reader
