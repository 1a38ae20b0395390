#include "launcher/state-preparation.hpp"

#include "bus/state-file.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace kzr415::sim {

TemporaryStateFile::~TemporaryStateFile() {
    if (path_.empty()) {
        return;
    }
    unlink(path_.c_str());
    // A process killed between writing a new state and putting it in place leaves that
    // file beside the state file: "." NAME ".new-" PID "-" N.
    const auto slash = path_.rfind('/');
    const std::string folder = path_.substr(0, slash);
    const std::string prefix = "." + path_.substr(slash + 1) + ".new-";
    if (DIR *entries = opendir(folder.c_str())) {
        while (const dirent *entry = readdir(entries)) {
            const auto *name = static_cast<const char *>(entry->d_name);
            if (std::string_view(name).starts_with(prefix)) {
                unlinkat(dirfd(entries), name, 0);
            }
        }
        closedir(entries);
    }
}

bool TemporaryStateFile::create(std::string &error) {
    const char *tmpdir = std::getenv("TMPDIR");
    std::string name =
        std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") + "/kzr-415-sim-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        error = "cannot create a state file in " + printable(name) + ": " + std::strerror(errno);
        return false;
    }
    close(fd);
    path_ = name;
    return true;
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
