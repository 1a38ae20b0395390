// The bus traffic of a complete kzr-415-tool run, in bus notation, for a device that
// returns what was written: configuration, both alert modes (read-modify-write), both
// thresholds, then for each channel a configuration read and a temperature read.
#pragma once

#include <string>
#include <vector>

namespace kzr415::test {

inline std::vector<std::string> tool_traffic(const std::string &temperature_image) {
    std::vector<std::string> lines{
        "W 0x48 [01 1c 1c]",
        "W 0x48 [01]",
        "R 0x48 2 -> [1c 1c]",
        "W 0x48 [01 18 1c]",
        "W 0x48 [01]",
        "R 0x48 2 -> [18 1c]",
        "W 0x48 [01 18 18]",
        "W 0x48 [02 80 00 00 80 00 00]",
        "W 0x48 [03 7f ff ff 7f ff ff]",
    };
    for (int channel = 0; channel < 2; ++channel) {
        lines.insert(lines.end(), {"W 0x48 [01]", "R 0x48 2 -> [18 18]", "W 0x48 [00]",
                                   "R 0x48 6 -> [" + temperature_image + "]"});
    }
    return lines;
}

} // namespace kzr415::test
