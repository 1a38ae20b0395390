#include "launcher/kzr-415-sim.hpp"

#include "bus/emulated-bus.hpp"
#include "replay/replay-device.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace kzr415::sim {

namespace {

bool write_file(const std::string &path, const std::string &text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(file << text << std::flush);
}

} // namespace

bool ReplayRun::prepare(CommandLine &line, RunFiles &files, std::string &error) {
    // The recording answers for the device: no fault, no absent device or node, no state.
    std::string contradicting = !line.config.node_present    ? "--no-node"
                                : !line.config.state.empty() ? "--state"
                                                             : "";
    for (const auto &setting : settings()) {
        const bool fault = setting.kind == KZR415_KIND_FAULT || setting.kind == KZR415_KIND_FLAG;
        if (fault && line.given.at(static_cast<std::size_t>(&setting - settings().data()))) {
            contradicting = std::string("--") + setting.option;
            break; // the faults first, in the table's order
        }
    }
    if (!contradicting.empty()) {
        error = "--replay cannot be combined with " + contradicting +
                " (the recording answers for the device)";
        return false;
    }
    std::string text;
    std::string reason;
    const bool read = read_capture_file(line.replay, text, reason);
    const auto reading = read_capture(read ? text : "");
    if (!read || !reading.ok) {
        reason = read ? printable(refusal_text(reading)) : reason;
        error = "bad value for --replay: '" + printable(line.replay) + "' (" + reason + ")";
        return false;
    }

    std::string recording;
    for (const auto &transfer : reading.transfers) {
        recording += format_transfer(transfer) + "\n";
        expected_.push_back(format_request(transfer));
    }
    const std::string recording_path = files.path("recording", error);
    report_ = files.path("divergence", error);
    if (report_.empty()) {
        return false;
    }
    if (!write_file(recording_path, recording) || !write_file(report_, "")) {
        error = "cannot write the replay's files in " + printable(recording_path) + ": " +
                std::strerror(errno);
        return false;
    }
    line.config.replay = recording_path;
    line.config.replay_report = report_;
    return true;
}

std::string ReplayRun::divergence(const std::string &state) const {
    std::string reported;
    std::string ignored;
    if (read_capture_file(report_, reported, ignored) && !reported.empty()) {
        return reported.substr(0, reported.find('\n'));
    }
    std::string text;
    Device counted = new_device();
    if (!read_capture_file(state, text, ignored) || !parse_state(text, counted)) {
        return "replay cannot tell the transfers made: the state file '" + printable(state) +
               "' is gone or damaged";
    }
    if (counted.transfers < expected_.size()) {
        return divergence_text(counted.transfers + 1, expected_[counted.transfers], end_of_program);
    }
    return "";
}

} // namespace kzr415::sim
