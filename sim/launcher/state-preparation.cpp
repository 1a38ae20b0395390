#include "launcher/state-preparation.hpp"

#include "bus/state-file.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace kzr415::sim {

RunFiles::~RunFiles() {
    std::error_code ignored;
    for (const auto &path : removed_) {
        std::filesystem::remove(path, ignored);
    }
    if (!folder_.empty()) {
        std::filesystem::remove_all(folder_, ignored);
    }
}

std::string RunFiles::path(const std::string &name, std::string &error) {
    if (folder_.empty()) {
        const char *tmpdir = std::getenv("TMPDIR");
        std::string folder = std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") +
                             "/kzr-415-sim-XXXXXX";
        if (mkdtemp(folder.data()) == nullptr) {
            error = "cannot create a folder for the run in " + printable(folder) + ": " +
                    std::strerror(errno);
            return "";
        }
        folder_ = folder;
    }
    return folder_ + "/" + name;
}

bool prepare_state(const CommandLine &line, const std::string &path, std::string &error) {
    StateFile file(path);
    if (!file.lock()) {
        error = "bad value for --state: '" + printable(path) + "' (" +
                (errno == EINVAL ? "not a regular file" : std::strerror(errno)) + ")";
        return false;
    }
    Device state = line.config.device;
    bool was_empty = true;
    if (!file.load(state, was_empty)) {
        error = "bad value for --state: '" + printable(path) + "' (" +
                (errno == EBADMSG || errno == EFBIG ? "not a kzr-415-sim state file"
                                                    : std::strerror(errno)) +
                ")";
        return false;
    }
    // A device there already: this run's own settings, and the parts the options name.
    for (const auto &setting : settings()) {
        const auto index = static_cast<std::size_t>(&setting - settings().data());
        if (!was_empty && ((setting.homes & KZR415_RUN) != 0 || line.given.at(index))) {
            parse_setting(state, setting, format_setting(line.config.device, setting));
        }
    }
    // The transfer count carries on: faults count the transfers of every run that shares
    // the file.
    if (!file.store(state)) {
        error = "cannot write the state file '" + printable(path) + "': " + std::strerror(errno);
        return false;
    }
    file.unlock();
    return true;
}

} // namespace kzr415::sim
