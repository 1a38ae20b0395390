#include "config/sim-config.hpp"

#include "config/printable-text.hpp"
#include "device/temperature-encode.hpp"

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <sys/stat.h>

namespace kzr415::sim {

namespace {

template <class T>
bool parse_number(std::string_view text, T &value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    const auto *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    return ec == std::errc{} && ptr == end && !text.empty();
}

} // namespace

int parse_errno(std::string_view text) {
    // Any name the system gives an error (kzr-415-sim passes a number on by its name).
    for (int known = 1; known < 4096; ++known) {
        if (const char *name = strerrorname_np(known); name != nullptr && text == name) {
            return known;
        }
    }
    // A number the system knows as an error: none above its largest, none in its gaps.
    int value = 0;
    return parse_number(text, value) && value > 0 && strerrorname_np(value) != nullptr ? value : 0;
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
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        reason = std::strerror(stat(folder.c_str(), &info) != 0 ? errno : ENOTDIR);
        return false;
    }
    return true;
}

std::optional<Fault> parse_fault(std::string_view text) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    Fault fault;
    auto index = text.substr(0, colon);
    if (!index.empty() && index.back() == '+') {
        fault.onwards = true;
        index.remove_suffix(1);
    }
    fault.error = parse_errno(text.substr(colon + 1));
    if (!parse_number(index, fault.transfer) || fault.transfer == 0 || fault.error == 0) {
        return std::nullopt;
    }
    return fault;
}

std::optional<SimConfig> config_from_environment(std::string &error) {
    SimConfig config;
    const auto variable = [](const char *name) -> std::optional<std::string_view> {
        const char *value = std::getenv(name);
        if (value == nullptr) {
            return std::nullopt;
        }
        return std::string_view(value);
    };
    const auto bad = [&error](const char *name, std::string_view value) {
        error = std::string("bad value for ") + name + ": '" + printable(value) + "'";
        return std::nullopt;
    };

    if (auto v = variable("KZR415_SIM_NODE")) {
        config.node = *v;
    }
    if (auto v = variable("KZR415_SIM_ADDRESS")) {
        if (!parse_number(*v, config.address) || config.address > 0x7F) {
            return bad("KZR415_SIM_ADDRESS", *v);
        }
    }
    const std::array<std::pair<const char *, std::span<std::uint8_t>>, 4> images{{
        {"KZR415_SIM_TEMPERATURE", config.registers.temperature},
        {"KZR415_SIM_CONFIGURATION", config.registers.configuration},
        {"KZR415_SIM_T_LOW", config.registers.t_low},
        {"KZR415_SIM_T_HIGH", config.registers.t_high},
    }};
    for (const auto &[name, image] : images) {
        if (auto v = variable(name); v && !parse_hex_bytes(*v, image)) {
            return bad(name, *v);
        }
    }
    const std::array<const char *, 2> celsius{"KZR415_SIM_CELSIUS_1", "KZR415_SIM_CELSIUS_2"};
    for (std::size_t channel = 0; channel < celsius.size(); ++channel) {
        if (auto v = variable(celsius[channel])) {
            config.registers.celsius[channel] = parse_celsius(*v);
            if (!config.registers.celsius[channel]) {
                return bad(celsius[channel], *v);
            }
        }
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
