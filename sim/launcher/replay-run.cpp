#include "launcher/replay-run.hpp"

#include "bus/state-file.hpp"
#include "replay/capture-reader.hpp"
#include "replay/replay-device.hpp"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kzr415::sim {

namespace {

constexpr std::uintmax_t max_capture_size = std::uintmax_t{16} << 20U;

bool read_file(const std::string &path, std::string &text, std::string &reason) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        reason = "not a regular file";
        return false;
    }
    if (static_cast<std::uintmax_t>(info.st_size) > max_capture_size) {
        reason = "larger than a capture can be (16 MiB)";
        return false;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    text.clear();
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n < 0) {
                reason = std::strerror(errno);
            }
            close(fd);
            return n == 0;
        }
        text.append(buffer.data(), static_cast<std::size_t>(n));
    }
}

bool write_file(const std::string &path, const std::string &text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    return static_cast<bool>(file);
}

} // namespace

ReplayRun::~ReplayRun() {
    for (const auto *path : {&recording_, &report_}) {
        if (!path->empty()) {
            unlink(path->c_str());
        }
    }
    if (!folder_.empty()) {
        rmdir(folder_.c_str());
    }
}

bool ReplayRun::prepare(CommandLine &line, std::string &error) {
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
    if (!read_file(line.replay, text, reason)) {
        error = "bad value for --replay: '" + printable(line.replay) + "' (" + reason + ")";
        return false;
    }
    const auto reading = read_capture(text);
    if (!reading.ok) {
        error = "bad value for --replay: '" + printable(line.replay) + "' (" +
                printable(refusal_text(reading)) + ")";
        return false;
    }

    const char *tmpdir = std::getenv("TMPDIR");
    std::string folder = std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") +
                         "/kzr-415-replay-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) {
        error = "cannot create a folder for the replay in " + printable(folder) + ": " +
                std::strerror(errno);
        return false;
    }
    folder_ = folder;
    std::string recording;
    for (const auto &transfer : reading.transfers) {
        recording += format_transfer(transfer) + "\n";
        expected_.push_back(format_request(transfer));
    }
    recording_ = folder_ + "/recording";
    report_ = folder_ + "/divergence";
    if (!write_file(recording_, recording) || !write_file(report_, "")) {
        error = "cannot write the replay's files in " + printable(folder_) + ": " +
                std::strerror(errno);
        return false;
    }
    line.config.replay = recording_;
    line.config.replay_report = report_;
    return true;
}

std::string ReplayRun::divergence(const std::string &state) const {
    std::string reported;
    std::string ignored;
    if (read_file(report_, reported, ignored) && !reported.empty()) {
        return reported.substr(0, reported.find('\n'));
    }
    std::string text;
    Device counted = new_device();
    if (!read_file(state, text, ignored) || !parse_state(text, counted)) {
        return "replay cannot tell the transfers made: the state file '" + printable(state) +
               "' is gone or damaged";
    }
    if (counted.transfers < expected_.size()) {
        return divergence_text(counted.transfers + 1, expected_[counted.transfers], end_of_program);
    }
    return "";
}

} // namespace kzr415::sim
