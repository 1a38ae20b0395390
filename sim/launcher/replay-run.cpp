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
    // The capture is read and checked here, once; the program's processes map the recording
    // that it makes (replay/recording.hpp), and so does the check after the run.
    std::string reason;
    CaptureReading reading;
    {
        std::string text;
        const bool read = read_capture_file(line.replay, text, reason);
        reading = read_capture_to_replay(read ? text : "");
        if (!read || !reading.ok) {
            reason = read ? printable(refusal_text(reading)) : reason;
            error = "bad value for --replay: '" + printable(line.replay) + "' (" + reason + ")";
            return false;
        }
    }
    const std::string recording_path = files.path("recording", error);
    report_ = files.path("divergence", error);
    if (report_.empty()) {
        return false;
    }
    const bool saved = reading.transfers.save(recording_path);
    reading.transfers = Recording{}; // from here on the mapped file stands for it
    auto mapped = saved ? Recording::map(recording_path, reason) : std::nullopt;
    if (!mapped || !write_file(report_, "")) {
        error = "cannot write the replay's files in " + printable(recording_path) + ": " +
                (saved && !mapped ? reason : std::strerror(errno));
        return false;
    }
    recording_ = std::move(*mapped);
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
    if (TransferView expected; counted.transfers < recording_.size()) {
        const bool whole = recording_.read(counted.transfers, expected);
        return divergence_text(counted.transfers + 1,
                               whole ? format_request(expected.copy()) : "a damaged transfer",
                               end_of_program);
    }
    return "";
}

} // namespace kzr415::sim
