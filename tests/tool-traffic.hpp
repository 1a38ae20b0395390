// A device's temperature register as the tests give it, and what kzr-415-tool's complete run
// makes of it on the bus.
#pragma once

#include "kernel/kzr-415-device.h"
#include "plan.hpp"

#include <string>
#include <vector>

namespace kzr415::test {

// The temperature register's text: the channels' `readings` ("03 20 00 02 a0 00"), then
// zeros to the register's length.
inline std::string temperature_register(std::string readings) {
    while ((readings.size() + 1) / 3 < KZR415_TEMPERATURE_LEN) {
        readings += " 00";
    }
    return readings;
}

// The bus traffic of a complete kzr-415-tool run, in bus notation: the plan's complete
// scenario (configuration, both alert modes read-modify-write, both thresholds, then for
// each channel a configuration read and a temperature read), for a device whose
// temperature register is temperature_register(readings).
inline std::vector<std::string> tool_traffic(const std::string &readings) {
    auto lines = scenario("complete").expect.at("trace");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto bytes = lines[i].find("-> [");
        if (lines[i - 1] == "W 0x48 [00]" && bytes != std::string::npos) {
            lines[i] = lines[i].substr(0, bytes + 4) + temperature_register(readings) + "]";
        }
    }
    return lines;
}

} // namespace kzr415::test
