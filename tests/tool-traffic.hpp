// The bus traffic of a complete kzr-415-tool run, in bus notation: the plan's complete
// scenario (configuration, both alert modes read-modify-write, both thresholds, then for
// each channel a configuration read and a temperature read), for a device whose
// temperature register holds `temperature_image`.
#pragma once

#include "plan.hpp"

#include <string>
#include <vector>

namespace kzr415::test {

inline std::vector<std::string> tool_traffic(const std::string &temperature_image) {
    auto lines = scenario("complete").expect.at("trace");
    for (auto &line : lines) {
        if (line.starts_with("R 0x48 6 -> [")) {
            line = "R 0x48 6 -> [" + temperature_image + "]";
        }
    }
    return lines;
}

} // namespace kzr415::test
