// kzr-415-sim: runs a program with the emulated i2c-dev bus preloaded and a simulated kzr-415
// on it. The device lives in a state file (the one given by --state, or a temporary one for
// this run), so that every process the program starts meets the same device.
//
// Signals: PROGRAM gets the terminal's interrupt and quit itself, and SIGTERM and SIGHUP
// sent to kzr-415-sim are passed on to it. From kzr-415-sim's start until PROGRAM has
// started, all four are held; one that arrives meanwhile reaches PROGRAM as soon as it has
// started, so the run ends as it would have had the signal come later.
#include "child-process.hpp"
#include "program-launch.hpp"
#include "sim-command-line.hpp"
#include "state-preparation.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

namespace sim = kzr415::sim;

constexpr std::array<int, 4> held_signals{SIGINT, SIGQUIT, SIGTERM, SIGHUP};

volatile sig_atomic_t child = 0;

void forward(int signal) {
    if (child > 0) {
        kill(child, signal);
    }
}

int refuse(int status, const std::string &message) {
    std::fprintf(stderr, "kzr-415-sim: %s\n", message.c_str());
    return status;
}

// Holds the four signals; the mask kzr-415-sim was started with goes to `original`.
sigset_t hold_signals(sigset_t &original) {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : held_signals) {
        sigaddset(&held, signal);
    }
    sigprocmask(SIG_BLOCK, &held, &original);
    return held;
}

// Starts PROGRAM with the held signals at their defaults and unblocked, then lets them
// through: an interrupt or quit that is pending is passed on, since the terminal sent it
// before PROGRAM was there to receive it; from then on they are ignored here. A pending
// SIGTERM or SIGHUP is passed on by its handler as it is unblocked.
int run(sim::ChildOptions options, const sigset_t &held, sigset_t program_mask) {
    struct sigaction pass {};
    pass.sa_handler = forward;
    sigaction(SIGTERM, &pass, nullptr);
    sigaction(SIGHUP, &pass, nullptr);
    for (const int signal : held_signals) {
        sigdelset(&program_mask, signal);
    }
    options.default_signals.assign(held_signals.begin(), held_signals.end());
    options.signal_mask = &program_mask;

    pid_t pid = 0;
    if (const int error = sim::start_child(options, pid); error != 0) {
        return refuse(127, options.argv[0] + ": " + std::strerror(error));
    }
    child = pid;
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

    const int status = sim::wait_for_child(pid);
    if (status < 0) {
        return refuse(127, std::string("waitpid: ") + std::strerror(errno));
    }
    return status;
}

} // namespace

int main(int argc, char **argv) {
    sigset_t original_mask;
    const sigset_t held = hold_signals(original_mask);

    std::string error;
    auto line = sim::parse_command_line(argc, argv, error);
    if (!line) {
        return refuse(2, error);
    }
    if (line->help) {
        std::fputs(sim::usage_text(), stdout);
        return 0;
    }
    if (line->emulator.empty()) {
        if (const char *emulator = std::getenv("KZR415_SIM_EMULATOR")) {
            line->emulator = emulator;
        }
    }
    const auto preload = sim::find_preload(line->preload, error);
    if (!preload) {
        return refuse(2, error);
    }
    const auto words = sim::program_words(*line, *preload, error);
    if (!words) {
        return refuse(127, error);
    }

    line->config.trace = sim::absolute(line->config.trace);
    if (!line->config.trace.empty() && line->config.trace != "-") {
        const int fd = open(line->config.trace.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) {
            return refuse(2, "bad value for --trace: '" + line->config.trace + "' (" +
                                 std::strerror(errno) + ")");
        }
        close(fd);
    }

    // Removed on every way out from here on.
    sim::TemporaryStateFile temporary;
    std::string state = sim::absolute(line->config.state);
    if (state.empty()) {
        if (!temporary.create(error)) {
            return refuse(2, error);
        }
        state = temporary.path();
    }
    if (!sim::prepare_state(*line, state, error)) {
        return refuse(2, error);
    }

    sim::ChildOptions options;
    options.argv = *words;
    options.environment = sim::program_environment(*line, *preload, state);
    return run(std::move(options), held, original_mask);
}
