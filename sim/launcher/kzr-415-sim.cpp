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
// SIGALRM, SIGABRT, SIGSEGV, ...) sent to kzr-415-sim is passed on to it, unless
// kzr-415-sim was started with it ignored; kzr-415-sim ends as PROGRAM ends. From
// kzr-415-sim's start until PROGRAM has started, they are held; one that arrives meanwhile
// reaches PROGRAM as soon as it has started, so the run ends as it would have had the signal
// come later, and the temporary state file is removed. A signal of kzr-415-sim's own making
// is not passed on: a fault ends kzr-415-sim as it would have without the handler, and its
// own write to a closed pipe or past the file size limit fails with EPIPE or EFBIG.
//
// A run that is refused, or whose PROGRAM cannot be started, changes no file: the trace and
// a --state file it created are removed again, and an existing trace is emptied only once
// PROGRAM is known to be one that can be started.
#include "launcher/kzr-415-sim.hpp"
#include "launcher/child-process.hpp"
#include "preload/simulated-nodes.hpp"

#include <algorithm>
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
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace sim = kzr415::sim;

// The program's process id, for the signal handler, which can reach nothing else; 0 before
// it starts and once it has ended.
volatile sig_atomic_t child = 0; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// The signals the system sends a process for a fault of its own (a bad address, an illegal
// instruction, a breakpoint, a forbidden system call), and the actions kzr-415-sim started
// with for them (a sanitizer's handler, or the default): a fault of kzr-415-sim's is its own.
constexpr std::array<int, 6> fault_signals{SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
std::array<struct sigaction, fault_signals.size()> fault_actions{};

// Passes on a signal that another process (or the terminal, for a hangup) sent. A fault of
// kzr-415-sim's own (a code above 0 for a fault signal) is handed back to the action it
// started with, raised again as the handler returns; one it raised or caused by a write
// itself (abort, a closed pipe, the file size limit) is not the caller's word to PROGRAM.
// cppcheck-suppress constParameterCallback ; a signal action's handler type
void pass_on(int signal, siginfo_t *info, void * /*context*/) {
    const auto *fault = std::find(fault_signals.begin(), fault_signals.end(), signal);
    if (fault != fault_signals.end() && info->si_code > 0) {
        sigaction(signal,
                  &fault_actions.at(static_cast<std::size_t>(fault - fault_signals.begin())),
                  nullptr);
        raise(signal);
        return;
    }
    if (info->si_code <= 0 && info->si_pid == getpid()) {
        return;
    }
    if (child > 0) {
        kill(child, signal);
    }
}

int refuse(int status, const std::string &message) {
    std::fprintf(stderr, "kzr-415-sim: %s\n", message.c_str());
    return status;
}

// The signals held from the start and passed on: the terminal's two, SIGTERM and SIGHUP,
// and the other catchable ones whose default ends a process (with a core dump or without),
// unless ignored at the start.
std::vector<int> handled_signals() {
    std::vector<int> result{SIGINT, SIGQUIT, SIGTERM, SIGHUP};
    std::vector<int> others{SIGUSR1, SIGUSR2, SIGPIPE,   SIGALRM, SIGVTALRM, SIGPROF,
                            SIGXCPU, SIGXFSZ, SIGSTKFLT, SIGIO,   SIGPWR,    SIGABRT};
    others.insert(others.end(), fault_signals.begin(), fault_signals.end());
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        others.push_back(signal);
    }
    for (const int signal : others) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            result.push_back(signal);
        }
    }
    for (std::size_t i = 0; i < fault_signals.size(); ++i) {
        sigaction(fault_signals.at(i), nullptr, &fault_actions.at(i));
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

// Waits for PROGRAM to end, and holds the signals before reaping it: once reaped, its
// process id may be another process's, which a signal passed on late would reach. Its exit
// status, as wait_for_child gives it.
int wait_for_program(pid_t pid, const sigset_t &held) {
    siginfo_t ended{};
    while (waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
    sigprocmask(SIG_BLOCK, &held, nullptr);
    child = 0;
    return sim::wait_for_child(pid);
}

// Starts PROGRAM with the handled signals at their defaults and unblocked, waits for the
// preload's word that it is loaded, then lets the signals through: an interrupt or quit that
// is pending is passed on, since the terminal sent it before PROGRAM was there to receive it;
// from then on they are ignored here. A pending signal of the others is passed on by its
// handler as it is unblocked.
int run(sim::ChildOptions options, const std::vector<int> &signals, const sigset_t &held,
        sigset_t program_mask, bool &started) {
    struct sigaction pass {};
    pass.sa_sigaction = pass_on;
    pass.sa_flags = SA_SIGINFO;
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
    const int status = wait_for_program(pid, held);
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

// The trace and the state file, before PROGRAM starts: the trace checked and opened (emptied
// only as PROGRAM starts), and never a file the run reads (`read`: the preload and PROGRAM,
// besides the capture and the state file); the state file holding the device, removed again
// unless PROGRAM starts when the run created it. The trace's descriptor (-1 for none) and the
// state file's path go to `trace_fd` and `state`; false with `error` set to kzr-415-sim's
// message (status 2).
bool prepare_files(sim::CommandLine &line, const std::array<std::string, 2> &read,
                   sim::RunFiles &files, int &trace_fd, std::string &state, std::string &error) {
    auto &trace = line.config.trace;
    trace = sim::absolute(trace);
    const auto bad_trace = [&](const std::string &reason) {
        error = "bad value for --trace: '" + sim::printable(trace) + "' (" + reason + ")";
        return false;
    };
    if (!trace.empty() && trace != "-") {
        std::string reason;
        if (!sim::check_trace_target(trace, reason)) {
            return bad_trace(reason);
        }
        trace_fd = sim::open_trace(trace, files, reason);
        if (trace_fd < 0) {
            return bad_trace(reason);
        }
    }
    if (const char *input = sim::same_file(trace_fd, {{"--replay", line.replay},
                                                      {"--state", line.config.state},
                                                      {"the preload", read[0]},
                                                      {"PROGRAM", read[1]}})) {
        return bad_trace(std::string("the same file as ") + input);
    }
    state = sim::absolute(line.config.state);
    if (struct stat before{};
        !state.empty() && lstat(state.c_str(), &before) != 0 && errno == ENOENT) {
        files.remove(state);
    }
    if (state.empty()) {
        state = files.path("state", error);
    }
    if (state.empty()) {
        return false;
    }
    return start_run(line, files, state, error);
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
    std::string not_found;
    const auto program = sim::program_path(line->program[0], not_found);
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
    if (!program) { // known before a file is touched, as starting it would tell
        return refuse(127, not_found);
    }

    // A replay: the capture read and handed to the bus, checked again once PROGRAM ended.
    sim::RunFiles files; // removed on every way out from here on
    sim::ReplayRun replay;
    if (!line->replay.empty() && !replay.prepare(*line, files, error)) {
        return refuse(2, error);
    }
    int trace_fd = -1;
    std::string state;
    if (!prepare_files(*line, {*preload, *program}, files, trace_fd, state, error)) {
        return refuse(2, error);
    }

    sim::ChildOptions options;
    options.argv = *words;
    options.environment = sim::program_environment(*line, *preload, sim::device_file_of(state));
    if (trace_fd >= 0) {
        (void)ftruncate(trace_fd, 0); // the run's, from now on
    }
    bool started = false;
    const int status = run(std::move(options), signals, held, original_mask, started);
    if (started) { // the run's from now on
        files.keep(line->config.trace);
        files.keep(state);
    }
    if (!sim::end_run(state, line->config.trace, error)) {
        return refuse(2, error);
    }
    if (started && !line->replay.empty()) {
        if (const std::string divergence = replay.divergence(state); !divergence.empty()) {
            return refuse(sim::replay_diverged_status, divergence);
        }
    }
    return status;
}
