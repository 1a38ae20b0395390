// kzr-415-sim: runs a program with the emulated i2c-dev bus preloaded and a simulated kzr-415
// on it. The device lives in a state file (the one given by --state, or a temporary one for
// this run), so that every process the program starts meets the same device.
//
// The program never runs on the real bus by mistake: the preload is checked before the
// program starts, and the preload's constructor confirms through a pipe that it was loaded
// into the program (preload/simulated-nodes.hpp); a program that runs without it is ended at once
// and the run fails with status 2.
//
// Signals: PROGRAM gets the terminal's interrupt and quit itself, and every other signal
// that ends a process by default and can be caught (SIGTERM, SIGHUP, SIGUSR1, SIGPIPE,
// SIGALRM, ...) sent to kzr-415-sim is passed on to it, unless kzr-415-sim was started with
// it ignored. From kzr-415-sim's start until PROGRAM has started, they are held; one that
// arrives meanwhile reaches PROGRAM as soon as it has started, so the run ends as it would
// have had the signal come later, and the temporary state file is removed.
#include "launcher/kzr-415-sim.hpp"
#include "launcher/child-process.hpp"
#include "preload/simulated-nodes.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace sim = kzr415::sim;

// The program's process id, for the signal handler, which can reach nothing else.
volatile sig_atomic_t child = 0; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

void forward(int signal) {
    if (child > 0) {
        kill(child, signal);
    }
}

int refuse(int status, const std::string &message) {
    std::fprintf(stderr, "kzr-415-sim: %s\n", message.c_str());
    return status;
}

// The signals held from the start and passed on: the terminal's two, SIGTERM and SIGHUP,
// and the other catchable ones whose default ends a process, unless ignored at the start.
std::vector<int> handled_signals() {
    std::vector<int> result{SIGINT, SIGQUIT, SIGTERM, SIGHUP};
    std::vector<int> others{SIGUSR1, SIGUSR2, SIGPIPE,   SIGALRM, SIGVTALRM,
                            SIGPROF, SIGXCPU, SIGSTKFLT, SIGIO,   SIGPWR};
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        others.push_back(signal);
    }
    for (const int signal : others) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            result.push_back(signal);
        }
    }
    return result;
}

// Holds `signals`; the mask kzr-415-sim was started with goes to `original`.
sigset_t hold_signals(const std::vector<int> &signals, sigset_t &original) {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : signals) {
        sigaddset(&held, signal);
    }
    sigprocmask(SIG_BLOCK, &held, &original);
    return held;
}

// The trace file, checked and opened before anything is changed, but emptied only as the
// program starts: a refused run leaves it as it was, and removes it if the run created it.
// The descriptor, or -1 with `reason` set to the system's text.
int open_trace(const std::string &path, sim::RunFiles &files, std::string &reason) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd >= 0) {
        files.remove(path);
    } else if (errno == EEXIST) {
        fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    }
    reason = fd < 0 ? std::strerror(errno) : "";
    return fd;
}

// Waits for the preload's message on `fd`: true when it came, false at the end of the pipe
// (no process holds its writing end any more) without it.
bool preload_confirmed(int fd) {
    std::array<char, 64> received{};
    std::size_t length = 0;
    for (ssize_t n = 1; n != 0 && length < sim::handshake_message.size();) {
        n = read(fd, received.data() + length, received.size() - length);
        length += n > 0 ? static_cast<std::size_t>(n) : 0;
        n = n < 0 && errno != EINTR ? 0 : n; // the end of the pipe, or an error: no word
    }
    return std::string_view(received.data(), length) == sim::handshake_message;
}

// Starts PROGRAM with the handled signals at their defaults and unblocked, waits for the
// preload's word that it is loaded, then lets the signals through: an interrupt or quit that
// is pending is passed on, since the terminal sent it before PROGRAM was there to receive it;
// from then on they are ignored here. A pending signal of the others is passed on by its
// handler as it is unblocked.
int run(sim::ChildOptions options, const std::vector<int> &signals, const sigset_t &held,
        sigset_t program_mask, bool &started) {
    struct sigaction pass {};
    pass.sa_handler = forward;
    for (const int signal : signals) {
        if (signal != SIGINT && signal != SIGQUIT) {
            sigaction(signal, &pass, nullptr);
        }
        sigdelset(&program_mask, signal);
    }
    options.default_signals = signals;
    options.signal_mask = &program_mask;

    std::array<int, 2> handshake{};
    if (pipe2(handshake.data(), O_CLOEXEC) != 0) {
        return refuse(2, std::string("pipe: ") + std::strerror(errno));
    }
    options.inherited.push_back(handshake[1]);
    options.environment.push_back(std::string(sim::handshake_variable) + "=" +
                                  std::to_string(handshake[1]));
    pid_t pid = 0;
    const int error = sim::start_child(options, pid);
    close(handshake[1]);
    if (error != 0) {
        close(handshake[0]);
        return refuse(127, sim::printable(options.argv[0]) + ": " + std::strerror(error));
    }
    child = pid;
    const bool confirmed = preload_confirmed(handshake[0]);
    close(handshake[0]);
    if (!confirmed) {
        kill(pid, SIGKILL);
        (void)sim::wait_for_child(pid);
        return refuse(2, "the emulated bus was not loaded into " + sim::printable(options.argv[0]) +
                             " (ended it)");
    }

    sigset_t pending;
    sigpending(&pending);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (const int signal : {SIGINT, SIGQUIT}) {
        if (sigismember(&pending, signal) == 1) {
            kill(pid, signal);
        }
        sigaction(signal, &ignore, nullptr);
    }
    sigprocmask(SIG_UNBLOCK, &held, nullptr);

    started = true;
    const int status = sim::wait_for_child(pid);
    if (status < 0) {
        return refuse(127, std::string("waitpid: ") + std::strerror(errno));
    }
    return status;
}

// Puts the device the options describe into the state file at `state`, and starts the run
// on it: the run's processes share the device in memory (with the runs going on with the
// same state file); the state file gets it back when the last run ends.
bool start_run(const sim::CommandLine &line, sim::RunFiles &files, const std::string &state,
               std::string &error) {
    if (!sim::prepare_state(line, state, error)) {
        return false;
    }
    const auto prepare = [&line](const std::string &path, std::string &failure) {
        return sim::prepare_state(line, path, failure);
    };
    const std::string scratch = files.path("prepared", error);
    return !scratch.empty() && sim::start_run(state, scratch, prepare, error);
}

} // namespace

int main(int argc, char **argv) {
    const auto signals = handled_signals();
    sigset_t original_mask;
    const sigset_t held = hold_signals(signals, original_mask);

    std::string error;
    auto line = sim::parse_command_line(argc, argv, error);
    if (!line) {
        return refuse(2, error);
    }
    if (line->help) {
        std::fputs(sim::usage_text().c_str(), stdout);
        return 0;
    }
    if (line->emulator.empty()) {
        if (const char *emulator = std::getenv("KZR415_SIM_EMULATOR")) {
            line->emulator = emulator;
        }
    }
    // The preload must be built for the machine of what loads it: natively this program's,
    // through an emulator PROGRAM's; and PROGRAM must be one that loads a preload at all.
    std::string ignored;
    const auto program = sim::program_path(line->program[0], ignored);
    if (std::string reason; program && !sim::check_program(*program, reason)) {
        return refuse(2, sim::printable(*program) + ": " + reason);
    }
    const std::string like =
        sim::names_emulator(line->emulator) ? program.value_or("") : "/proc/self/exe";
    const auto preload = sim::find_preload(line->preload, like, error);
    if (!preload) {
        return refuse(2, error);
    }
    const auto words = sim::program_words(*line, *preload, error);
    if (!words) {
        return refuse(127, error);
    }

    // A replay: the capture read and handed to the bus, checked again once PROGRAM ended.
    sim::RunFiles files; // removed on every way out from here on
    sim::ReplayRun replay;
    if (!line->replay.empty() && !replay.prepare(*line, files, error)) {
        return refuse(2, error);
    }
    auto &trace = line->config.trace;
    trace = sim::absolute(trace);
    int trace_fd = -1;
    if (std::string reason; !trace.empty() && trace != "-" &&
                            (!sim::check_trace_target(trace, reason) ||
                             (trace_fd = open_trace(trace, files, reason)) < 0)) {
        return refuse(2, "bad value for --trace: '" + sim::printable(trace) + "' (" + reason + ")");
    }
    std::string state = sim::absolute(line->config.state);
    if (state.empty() && (state = files.path("state", error)).empty()) {
        return refuse(2, error);
    }
    if (!start_run(*line, files, state, error)) {
        return refuse(2, error);
    }

    sim::ChildOptions options;
    options.argv = *words;
    options.environment = sim::program_environment(*line, *preload, sim::device_file_of(state));
    struct stat trace_info {};
    if (trace_fd >= 0 && fstat(trace_fd, &trace_info) == 0 && S_ISREG(trace_info.st_mode)) {
        (void)ftruncate(trace_fd, 0); // the run's, from now on
    }
    files.keep(trace);
    bool started = false;
    const int status = run(std::move(options), signals, held, original_mask, started);
    if (!sim::end_run(state, trace, error)) {
        return refuse(2, error);
    }
    if (started && !line->replay.empty()) {
        if (const std::string divergence = replay.divergence(state); !divergence.empty()) {
            return refuse(sim::replay_diverged_status, divergence);
        }
    }
    return status;
}
