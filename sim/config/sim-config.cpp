#include "config/sim-config.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace kzr415::sim {

namespace {

std::optional<std::string_view> variable(const std::string &name) {
    const char *value = std::getenv(name.c_str());
    return value != nullptr ? std::optional<std::string_view>(value) : std::nullopt;
}

} // namespace

std::string variable_name(const Setting &setting) {
    std::string name = std::string("KZR415_SIM_") + setting.name;
    std::transform(name.begin(), name.end(), name.begin(), [](char c) {
        return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    });
    return name;
}

bool check_trace_target(const std::string &path, std::string &reason) {
    namespace fs = std::filesystem;
    std::error_code failed;
    const auto status = fs::status(path, failed);
    std::error_code in_folder;
    const auto folder = fs::path(path).parent_path();
    if (fs::is_directory(status)) {
        failed = std::make_error_code(std::errc::is_a_directory);
    } else if (failed == std::errc::no_such_file_or_directory) { // a new file: in a folder?
        const bool there = fs::is_directory(folder.empty() ? "." : folder, in_folder);
        failed = there       ? std::error_code{}
                 : in_folder ? in_folder
                             : std::make_error_code(std::errc::not_a_directory);
    }
    reason = failed.message();
    return path.empty() || path == "-" || !failed;
}

std::optional<SimConfig> config_from_environment(std::string &error) {
    SimConfig config;
    const auto bad = [&error](const std::string &name, std::string_view value) {
        error = "bad value for " + name + ": '" + printable(value) + "'";
        return std::nullopt;
    };
    if (auto v = variable("KZR415_SIM_NODE")) {
        config.node = *v;
    }
    for (const auto &setting : settings()) {
        const std::string name = variable_name(setting);
        const auto v = (setting.homes & KZR415_GIVEN) != 0 ? variable(name) : std::nullopt;
        if (!v) {
            continue;
        }
        // A flag is on when set to 1 and off when absent, as the command line's options are
        // given or not; any other value is a mistake, never quietly one or the other.
        if ((setting.kind == KZR415_KIND_FLAG && *v != "1") ||
            !parse_setting(config.device, setting, *v)) {
            return bad(name, *v);
        }
        if ((setting.homes & KZR415_RUN) != 0) {
            config.run.emplace_back(&setting, *v);
        }
    }
    if (auto v = variable("KZR415_SIM_NO_NODE")) {
        if (*v != "1") {
            return bad("KZR415_SIM_NO_NODE", *v);
        }
        config.node_present = false;
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
    config.state = variable("KZR415_SIM_STATE").value_or("");
    config.device_file = variable("KZR415_SIM_DEVICE_FILE").value_or("");
    // Replay (read when the bus is set up: replay/replay-device.hpp).
    config.replay = variable("KZR415_SIM_REPLAY").value_or("");
    config.replay_report = variable("KZR415_SIM_REPLAY_REPORT").value_or("");
    config.record = false; // a preloaded program may run for long: keep no record
    return config;
}

std::string printable(std::string_view text) {
    std::string result;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n' || c == '\t' || c == '\r') {
            result += c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\r";
        } else if (byte < 0x20 || byte == 0x7f) {
            std::array<char, 8> escaped{};
            std::snprintf(escaped.data(), escaped.size(), "\\x%02x", unsigned{byte});
            result += escaped.data();
        } else {
            result += c;
        }
    }
    return result;
}

} // namespace kzr415::sim
