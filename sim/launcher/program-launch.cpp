#include "launcher/kzr-415-sim.hpp"

#include "bus/emulated-bus.hpp"
#include "launcher/child-process.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kzr415::sim {

namespace {

constexpr const char *preload_name = "libkzr-415-sim-bus.so";
// Where the preload is installed, relative to where this program is installed (set by the
// build from its install directories).
constexpr const char *installed_preload_dir = KZR415_SIM_PRELOAD_FROM_BINDIR;

bool is_file(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::vector<std::string> words(const std::string &text) {
    std::istringstream stream(text);
    std::vector<std::string> result;
    for (std::string word; stream >> word;) {
        result.push_back(word);
    }
    return result;
}

} // namespace

std::optional<std::string> program_path(const std::string &program, std::string &error) {
    if (program.find('/') != std::string::npos) {
        if (access(program.c_str(), X_OK) != 0) {
            error = printable(program) + ": " + std::strerror(errno);
            return std::nullopt;
        }
        return program;
    }
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    bool denied = false; // one there, but not a file that can be run
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (is_file(candidate) && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        struct stat info {};
        denied = denied || stat(candidate.c_str(), &info) == 0;
    }
    error = printable(program) + ": " + std::strerror(denied ? EACCES : ENOENT);
    return std::nullopt;
}

std::string absolute(const std::string &path) {
    std::error_code failed;
    const auto full = std::filesystem::absolute(path, failed);
    return path.empty() || path == "-" || failed ? path : full.string();
}

std::optional<std::string> find_preload(const std::string &given, const std::string &like,
                                        std::string &error) {
    const auto checked = [&](const std::string &source,
                             const std::string &path) -> std::optional<std::string> {
        std::string reason;
        std::string full = absolute(path);
        if (!check_preload(full, like, reason)) {
            error = source + ": '" + printable(full) + "' (" + reason + ")";
            return std::nullopt;
        }
        return full;
    };
    if (!given.empty()) {
        return checked("bad value for --preload", given);
    }
    if (const char *from_environment = std::getenv("KZR415_SIM_PRELOAD");
        from_environment != nullptr && *from_environment != '\0') {
        return checked("bad value for KZR415_SIM_PRELOAD", from_environment);
    }
    std::error_code failed;
    const auto dir = std::filesystem::read_symlink("/proc/self/exe", failed).parent_path().string();
    for (const char *relative :
         {".", installed_preload_dir, "../lib/kzr-415", "../lib64/kzr-415", "../libexec/kzr-415"}) {
        const std::string candidate = dir + "/" + relative + "/" + preload_name;
        if (!failed && is_file(candidate)) {
            return checked("cannot use the preload", candidate);
        }
    }
    error = std::string("cannot find ") + preload_name + " (name it with --preload)";
    return std::nullopt;
}

bool names_emulator(const std::string &emulator) {
    return !words(emulator).empty();
}

std::optional<std::vector<std::string>>
program_words(const CommandLine &line, const std::string &preload, std::string &error) {
    if (!names_emulator(line.emulator)) {
        return line.program;
    }
    auto result = words(line.emulator);
    result.emplace_back("-E"); // for the emulated program only, not the emulator
    result.push_back("LD_PRELOAD=" + preload);
    const auto program = program_path(line.program[0], error);
    if (!program) {
        return std::nullopt;
    }
    result.push_back(*program);
    result.insert(result.end(), line.program.begin() + 1, line.program.end());
    return result;
}

std::vector<std::string> program_environment(const CommandLine &line, const std::string &preload,
                                             const std::string &device_file) {
    const bool emulated = names_emulator(line.emulator);
    std::vector<std::string> result;
    std::string inherited_preload;
    for (auto &variable : current_environment()) {
        if (variable.rfind("KZR415_SIM_", 0) == 0) {
            continue;
        }
        if (!emulated && variable.rfind("LD_PRELOAD=", 0) == 0) {
            inherited_preload = variable.substr(11);
            continue;
        }
        result.push_back(std::move(variable));
    }
    // The device, its settings and its run are in the device file; the bus's own here.
    const auto &config = line.config;
    result.push_back("KZR415_SIM_NODE=" + config.node);
    result.push_back("KZR415_SIM_DEVICE_FILE=" + device_file);
    if (!config.node_present) {
        result.emplace_back("KZR415_SIM_NO_NODE=1");
    }
    if (!config.trace.empty()) {
        result.push_back("KZR415_SIM_TRACE=" + config.trace);
    }
    if (!config.replay.empty()) { // replay: the recording and the divergence's file
        result.push_back("KZR415_SIM_REPLAY=" + config.replay);
        result.push_back("KZR415_SIM_REPLAY_REPORT=" + config.replay_report);
    }
    if (!emulated) {
        // Whatever was preloaded already (a sanitizer's runtime, say) stays first.
        result.push_back("LD_PRELOAD=" +
                         (inherited_preload.empty() ? preload : inherited_preload + ":" + preload));
    }
    return result;
}

RunFiles::~RunFiles() {
    std::error_code ignored;
    for (const auto &file : removed_) {
        std::filesystem::remove(file, ignored);
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

int open_trace(const std::string &path, RunFiles &files, std::string &reason) {
    struct stat named {};
    if (stat(path.c_str(), &named) == 0 && !S_ISREG(named.st_mode)) {
        reason = "not a regular file";
        return -1;
    }
    constexpr int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = open(path.c_str(), flags | O_CREAT | O_EXCL, 0644);
    const bool created = fd >= 0;
    if (fd < 0 && errno == EEXIST) {
        fd = open(path.c_str(), flags);
    }
    reason = fd < 0 ? std::strerror(errno) : "";
    struct stat opened {};
    if (fd >= 0 && (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode))) {
        close(fd); // replaced meanwhile
        reason = "not a regular file";
        return -1;
    }
    if (created) {
        files.remove(path);
    }
    return fd;
}

const char *same_file(int fd, const std::vector<std::pair<const char *, std::string>> &inputs) {
    struct stat written {};
    if (fd < 0 || fstat(fd, &written) != 0) {
        return nullptr;
    }
    for (const auto &[name, path] : inputs) {
        struct stat input {};
        if (!path.empty() && stat(path.c_str(), &input) == 0 && input.st_dev == written.st_dev &&
            input.st_ino == written.st_ino) {
            return name;
        }
    }
    return nullptr;
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
