#include "config/sim-config.hpp"

#include "config/printable-text.hpp"
#include "device/temperature-encode.hpp"
#include "kernel/kzr-415-device.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <sys/stat.h>

namespace kzr415::sim {

int parse_errno(std::string_view text) {
    return kzr415_parse_errno(text.data(), text.size());
}

bool check_trace_target(const std::string &path, std::string &reason) {
    if (path.empty() || path == "-") {
        return true;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            reason = std::strerror(EISDIR);
            return false;
        }
        return true;
    }
    if (errno != ENOENT) {
        reason = std::strerror(errno);
        return false;
    }
    // A new file: its folder must be there.
    const auto slash = path.rfind('/');
    std::string folder = ".";
    if (slash != std::string::npos) {
        folder = slash == 0 ? "/" : path.substr(0, slash);
    }
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        reason = std::strerror(stat(folder.c_str(), &info) != 0 ? errno : ENOTDIR);
        return false;
    }
    return true;
}

std::optional<Fault> parse_fault(std::string_view text) {
    Fault fault{};
    if (kzr415_parse_fault(text.data(), text.size(), &fault) != 0) {
        return std::nullopt;
    }
    return fault;
}

namespace {

std::optional<std::string_view> variable(const char *name) {
    const char *value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string_view(value);
}

// Reads the device's variables (address, images, temperatures in degrees) into `config`;
// returns the name of the first one with a bad value, or nullptr.
const char *device_from_environment(SimConfig &config) {
    if (auto v = variable("KZR415_SIM_ADDRESS")) {
        unsigned long address = 0;
        if (kzr415_parse_number(v->data(), v->size(), &address) != 0 ||
            address > KZR415_ADDRESS_MAX) {
            return "KZR415_SIM_ADDRESS";
        }
        config.address = static_cast<std::uint16_t>(address);
    }
    const std::array<std::pair<const char *, std::span<std::uint8_t>>, 4> images{{
        {"KZR415_SIM_TEMPERATURE", config.registers.temperature},
        {"KZR415_SIM_CONFIGURATION", config.registers.configuration},
        {"KZR415_SIM_T_LOW", config.registers.t_low},
        {"KZR415_SIM_T_HIGH", config.registers.t_high},
    }};
    for (const auto &[name, image] : images) {
        if (auto v = variable(name); v && !parse_hex_bytes(*v, image)) {
            return name;
        }
    }
    const std::array<const char *, 2> celsius{"KZR415_SIM_CELSIUS_1", "KZR415_SIM_CELSIUS_2"};
    for (std::size_t channel = 0; channel < celsius.size(); ++channel) {
        const char *name = celsius.at(channel);
        if (auto v = variable(name)) {
            auto &degrees = config.registers.celsius.at(channel);
            degrees = parse_celsius(*v);
            if (!degrees) {
                return name;
            }
        }
    }
    return nullptr;
}

} // namespace

std::optional<SimConfig> config_from_environment(std::string &error) {
    SimConfig config;
    const auto bad = [&error](const char *name, std::string_view value) {
        error = std::string("bad value for ") + name + ": '" + printable(value) + "'";
        return std::nullopt;
    };

    if (auto v = variable("KZR415_SIM_NODE")) {
        config.node = *v;
    }
    if (const char *name = device_from_environment(config)) {
        return bad(name, variable(name).value_or(""));
    }
    if (auto v = variable("KZR415_SIM_FAIL")) {
        const auto fault = parse_fault(*v);
        if (!fault) {
            return bad("KZR415_SIM_FAIL", *v);
        }
        config.fault = *fault;
    }
    // A flag is on when set to 1 and off when absent, as the command line's options are
    // given or not; any other value is a mistake, never quietly one or the other.
    for (const auto &[name, present] :
         {std::pair<const char *, bool *>{"KZR415_SIM_NO_DEVICE", &config.device_present},
          std::pair<const char *, bool *>{"KZR415_SIM_NO_NODE", &config.node_present}}) {
        if (auto v = variable(name)) {
            if (*v != "1") {
                return bad(name, *v);
            }
            *present = false;
        }
    }
    if (auto v = variable("KZR415_SIM_TRACE")) {
        std::string reason;
        if (v->empty() || !check_trace_target(std::string(*v), reason)) {
            error = "bad value for KZR415_SIM_TRACE: '" + printable(*v) + "'" +
                    (reason.empty() ? "" : " (" + reason + ")");
            return std::nullopt;
        }
        config.trace = *v;
    }
    if (auto v = variable("KZR415_SIM_STATE")) {
        config.state = *v;
    }
    // Replay (read when the bus is set up: replay/replay-device.hpp).
    if (auto v = variable("KZR415_SIM_REPLAY")) {
        config.replay = *v;
    }
    if (auto v = variable("KZR415_SIM_REPLAY_REPORT")) {
        config.replay_report = *v;
    }
    config.record = false; // a preloaded program may run for long: keep no record

    return config;
}

} // namespace kzr415::sim
