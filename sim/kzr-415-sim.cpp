// kzr-415-sim: runs a program with the emulated i2c-dev bus preloaded and a simulated kzr-415
// on it. The device lives in a state file (the one given by --state, or a temporary one for
// this run), so that every process the program starts meets the same device.
#include "child-process.hpp"
#include "sim-command-line.hpp"
#include "state-file.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace {

using kzr415::sim::CommandLine;

constexpr const char *preload_name = "libkzr-415-sim-bus.so";
// Where the preload is installed, relative to where this program is installed (set by the
// build from its install directories).
constexpr const char *installed_preload_dir = KZR415_SIM_PRELOAD_FROM_BINDIR;

[[noreturn]] void fail(int status, const std::string &message) {
    std::fprintf(stderr, "kzr-415-sim: %s\n", message.c_str());
    std::exit(status);
}

bool is_file(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string absolute(const std::string &path) {
    if (path.empty() || path == "-" || path[0] == '/') {
        return path;
    }
    std::vector<char> cwd(PATH_MAX);
    if (getcwd(cwd.data(), cwd.size()) == nullptr) {
        return path;
    }
    return std::string(cwd.data()) + "/" + path;
}

// The preload: named by the option or KZR415_SIM_PRELOAD, else beside this program (the
// build tree) or in its installed place relative to this program's directory.
std::string find_preload(const std::string &given) {
    if (!given.empty()) {
        if (!is_file(given)) {
            fail(2, "bad value for --preload: '" + given + "' (no such file)");
        }
        return absolute(given);
    }
    if (const char *from_environment = std::getenv("KZR415_SIM_PRELOAD");
        from_environment != nullptr && *from_environment != '\0') {
        if (!is_file(from_environment)) {
            fail(2, std::string("bad value for KZR415_SIM_PRELOAD: '") + from_environment +
                        "' (no such file)");
        }
        return absolute(from_environment);
    }
    std::vector<char> self(PATH_MAX + 1);
    const auto length = readlink("/proc/self/exe", self.data(), PATH_MAX);
    if (length > 0) {
        std::string dir(self.data(), static_cast<std::size_t>(length));
        dir.erase(dir.rfind('/'));
        for (const std::string &relative :
             {std::string("."), std::string(installed_preload_dir), std::string("../lib/kzr-415"),
              std::string("../lib64/kzr-415"), std::string("../libexec/kzr-415")}) {
            const std::string candidate = dir + "/" + relative + "/" + preload_name;
            if (is_file(candidate)) {
                return candidate;
            }
        }
    }
    fail(2, std::string("cannot find ") + preload_name + " (name it with --preload)");
}

// Puts the device the options describe into the state file: all of it into a new (empty)
// file, only the parts the options name into an existing one. The transfer count starts
// over, since faults count the transfers of this run.
void prepare_state(const CommandLine &line, const std::string &path) {
    using namespace kzr415::sim;
    StateFile file(path);
    if (!file.lock()) {
        fail(2, "bad value for --state: '" + path + "' (" + std::strerror(errno) + ")");
    }
    DeviceModel wanted(line.config.address);
    wanted.registers() = line.config.registers;
    DeviceState state{wanted, 0};
    bool was_empty = true;
    if (!file.load(state, was_empty)) {
        fail(2, "bad value for --state: '" + path + "' (not a kzr-415-sim state file)");
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
    state.transfers = 0;
    if (!file.store(state)) {
        fail(2, "cannot write the state file '" + path + "': " + std::strerror(errno));
    }
    file.unlock();
}

std::string errno_text(int error) {
    if (const char *name = strerrorname_np(error)) {
        return name;
    }
    return std::to_string(error);
}

// PROGRAM's environment: this one without any KZR415_SIM_* variable, with the simulation's.
std::vector<std::string> environment(const CommandLine &line, const std::string &preload,
                                     const std::string &state, bool emulated) {
    std::vector<std::string> result;
    std::string inherited_preload;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string_view variable(*entry);
        if (variable.rfind("KZR415_SIM_", 0) == 0) {
            continue;
        }
        if (!emulated && variable.rfind("LD_PRELOAD=", 0) == 0) {
            inherited_preload = variable.substr(11);
            continue;
        }
        result.emplace_back(variable);
    }
    const auto &config = line.config;
    char address[8];
    std::snprintf(address, sizeof address, "0x%02x", unsigned{config.address});
    result.push_back("KZR415_SIM_NODE=" + config.node);
    result.push_back(std::string("KZR415_SIM_ADDRESS=") + address);
    result.push_back("KZR415_SIM_STATE=" + state);
    if (config.fault.transfer != 0) {
        result.push_back("KZR415_SIM_FAIL=" + std::to_string(config.fault.transfer) +
                         (config.fault.onwards ? "+:" : ":") + errno_text(config.fault.error));
    }
    if (!config.device_present) {
        result.emplace_back("KZR415_SIM_NO_DEVICE=1");
    }
    if (!config.node_present) {
        result.emplace_back("KZR415_SIM_NO_NODE=1");
    }
    if (!config.trace.empty()) {
        result.push_back("KZR415_SIM_TRACE=" + config.trace);
    }
    if (!emulated) {
        // Whatever was preloaded already (a sanitizer's runtime, say) stays first.
        result.push_back("LD_PRELOAD=" +
                         (inherited_preload.empty() ? preload : inherited_preload + ":" + preload));
    }
    return result;
}

std::vector<std::string> words(const std::string &text) {
    std::istringstream stream(text);
    std::vector<std::string> result;
    for (std::string word; stream >> word;) {
        result.push_back(word);
    }
    return result;
}

// PROGRAM as the emulator must be given it: a path (emulators do not search PATH).
std::string resolve(const std::string &program) {
    if (program.find('/') != std::string::npos) {
        if (access(program.c_str(), X_OK) != 0) {
            fail(127, program + ": " + std::strerror(errno));
        }
        return program;
    }
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (is_file(candidate) && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    fail(127, program + ": " + std::strerror(ENOENT));
}

volatile sig_atomic_t child = 0;

void forward(int signal) {
    if (child > 0) {
        kill(child, signal);
    }
}

int run(std::vector<std::string> argv, std::vector<std::string> envp) {
    // PROGRAM gets the terminal's interrupt and quit itself, and what this process is sent.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction pass {};
    pass.sa_handler = forward;
    sigaction(SIGINT, &ignore, nullptr);
    sigaction(SIGQUIT, &ignore, nullptr);
    sigaction(SIGTERM, &pass, nullptr);
    sigaction(SIGHUP, &pass, nullptr);

    kzr415::sim::ChildOptions options;
    options.argv = std::move(argv);
    options.environment = std::move(envp);
    options.default_signals = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
    pid_t pid = 0;
    if (const int error = kzr415::sim::start_child(options, pid); error != 0) {
        std::fprintf(stderr, "kzr-415-sim: %s: %s\n", options.argv[0].c_str(),
                     std::strerror(error));
        return 127;
    }
    child = pid;
    const int status = kzr415::sim::wait_for_child(pid);
    if (status < 0) {
        std::fprintf(stderr, "kzr-415-sim: waitpid: %s\n", std::strerror(errno));
        return 127;
    }
    return status;
}

} // namespace

int main(int argc, char **argv) {
    std::string error;
    auto line = kzr415::sim::parse_command_line(argc, argv, error);
    if (!line) {
        fail(2, error);
    }
    if (line->help) {
        std::fputs(kzr415::sim::usage_text(), stdout);
        return 0;
    }
    if (line->emulator.empty()) {
        if (const char *emulator = std::getenv("KZR415_SIM_EMULATOR")) {
            line->emulator = emulator;
        }
    }
    const std::string preload = find_preload(line->preload);
    const bool emulated = !words(line->emulator).empty();

    std::vector<std::string> argv_words;
    if (emulated) {
        argv_words = words(line->emulator);
        argv_words.emplace_back("-E"); // for the emulated program only, not the emulator
        argv_words.push_back("LD_PRELOAD=" + preload);
        argv_words.push_back(resolve(line->program[0]));
        argv_words.insert(argv_words.end(), line->program.begin() + 1, line->program.end());
    } else {
        argv_words = line->program;
    }

    line->config.trace = absolute(line->config.trace);
    if (!line->config.trace.empty() && line->config.trace != "-") {
        const int fd = open(line->config.trace.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) {
            fail(2, "bad value for --trace: '" + line->config.trace + "' (" + std::strerror(errno) +
                        ")");
        }
        close(fd);
    }

    const bool temporary = line->config.state.empty();
    std::string state = absolute(line->config.state);
    if (temporary) {
        const char *tmpdir = std::getenv("TMPDIR");
        state = std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") +
                "/kzr-415-sim-XXXXXX";
        const int fd = mkstemp(state.data());
        if (fd < 0) {
            fail(2, "cannot create a state file in " + state + ": " + std::strerror(errno));
        }
        close(fd);
    }
    prepare_state(*line, state);

    const int status = run(argv_words, environment(*line, preload, state, emulated));
    if (temporary) {
        unlink(state.c_str());
    }
    return status;
}
