#include "launcher/state-preparation.hpp"

#include "bus/state-file.hpp"
#include "config/printable-text.hpp"

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
    DeviceModel wanted(line.config.address);
    wanted.registers() = line.config.registers;
    DeviceState state{wanted, 0};
    bool was_empty = true;
    if (!file.load(state, was_empty)) {
        error = "bad value for --state: '" + printable(path) + "' (" +
                (errno == EBADMSG || errno == EFBIG ? "not a kzr-415-sim state file"
                                                    : std::strerror(errno)) +
                ")";
        return false;
    }
    if (!was_empty) {
        auto &registers = state.device.registers();
        const auto &given = line.config.registers;
        if (line.given_raw_temperature) {
            registers.temperature = given.temperature;
        }
        for (std::size_t channel = 0; channel < 2; ++channel) {
            if (line.given_celsius[channel] || line.given_raw_temperature) {
                registers.celsius[channel] = given.celsius[channel];
            }
        }
        if (line.given_configuration) {
            registers.configuration = given.configuration;
        }
        if (line.given_t_low) {
            registers.t_low = given.t_low;
        }
        if (line.given_t_high) {
            registers.t_high = given.t_high;
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
