// The bus traffic of a complete kzr-415-tool run, in bus notation: the plan's complete
// scenario (configuration, both alert modes read-modify-write, both thresholds, then for
// each channel a configuration read and a temperature read), for a device whose
// temperature register begins with `readings` (the channels' bytes, "03 20 00 02 a0 00");
// the rest of the register is the plan's.
#pragma once

#include "plan.hpp"

#include <string>
#include <vector>

namespace kzr415::test {

inline std::vector<std::string> tool_traffic(const std::string &readings) {
    auto lines = scenario("complete").expect.at("trace");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto bytes = lines[i].find("-> [");
        if (lines[i - 1] == "W 0x48 [00]" && bytes != std::string::npos) {
            lines[i].replace(bytes + 4, readings.size(), readings);
        }
    }
    return lines;
}

} // namespace kzr415::test
