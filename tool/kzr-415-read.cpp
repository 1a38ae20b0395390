// kzr-415-read: reads both channels of a kzr-415 and prints them, once or every few seconds,
// as text, JSON or the Prometheus text format, for scripts and monitoring systems. It only
// reads (kzr_415_read_temperatures: four transfers, no data ever written to the device).
//
// Exit status: 0 when every sample was read; 1 when the bus cannot be opened; 2 for a usage
// error; 3 when a sample failed (reported on standard error, and the run goes on). SIGINT and
// SIGTERM end a run between samples, with the status reached so far.
#include "kzr-415-drv.h"
#include "read-options.hpp"
#include "replace-file.hpp"
#include "sample-format.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <span>
#include <string>

#include <sys/stat.h>

namespace {

using kzr415::reader::ReadOptions;

constexpr int status_read = 0;
constexpr int status_no_bus = 1;
constexpr int status_usage = 2;
constexpr int status_sample_failed = 3;

constexpr std::int64_t nanoseconds_per_second = 1'000'000'000;

std::int64_t monotonic_ns() {
    std::timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * nanoseconds_per_second + now.tv_nsec;
}

// The signals that end a run, blocked from the start so that they are taken only between
// samples: SIGINT and SIGTERM, less one that the program was started with ignored (as a
// shell's background job has SIGINT), which stays ignored.
sigset_t ending_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int number : {SIGINT, SIGTERM}) {
        struct sigaction current {};
        if (sigaction(number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            sigaddset(&signals, number);
        }
    }
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

bool ending_signal_pending(const sigset_t &signals) {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    for (const int number : {SIGINT, SIGTERM}) {
        if (sigismember(&signals, number) == 1 && sigismember(&pending, number) == 1) {
            return true;
        }
    }
    return false;
}

// Waits until the monotonic clock reaches `deadline_ns`; true when an ending signal came first.
bool signal_before(std::int64_t deadline_ns, const sigset_t &signals) {
    for (;;) {
        const std::int64_t left = deadline_ns - monotonic_ns();
        if (left <= 0) {
            return false;
        }
        const std::timespec wait{static_cast<std::time_t>(left / nanoseconds_per_second),
                                 static_cast<long>(left % nanoseconds_per_second)};
        if (sigtimedwait(&signals, nullptr, &wait) > 0) {
            return true;
        }
        // EAGAIN: the time is up (checked above); EINTR: stopped and continued.
    }
}

// The mode a new file gets, as any program's would: 0666 less the umask, which reading
// means setting it and putting it back.
mode_t current_umask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// Where the samples go: standard output, or a file replaced whole by each.
class SampleOutput {
  public:
    explicit SampleOutput(const ReadOptions &options)
        : path_(options.output), umask_(current_umask()) {}

    // Emits one sample's lines; false (with one line on standard error) when they could not
    // be written, and sets `give_up` when no later sample can be either.
    bool emit(const std::string &lines, bool &give_up) const {
        if (!path_.empty()) {
            const int error = kzr415::reader::replace_file(path_, lines, umask_);
            if (error != 0) {
                std::fprintf(stderr, "kzr-415-read: %s: %s\n", path_.c_str(), std::strerror(error));
            }
            return error == 0;
        }
        const bool written = std::fwrite(lines.data(), 1, lines.size(), stdout) == lines.size();
        if (std::fflush(stdout) == 0 && written) {
            return true;
        }
        const int error = errno;
        std::fprintf(stderr, "kzr-415-read: standard output: %s\n", std::strerror(error));
        std::clearerr(stdout);
        give_up = error == EPIPE; // nobody reads any more (SIGPIPE was ignored)
        return false;
    }

  private:
    std::string path_;
    mode_t umask_ = 0;
};

// Reads one sample and emits it; false when it failed, reported on standard error.
bool take_sample(int fd, const ReadOptions &options, const SampleOutput &output, bool &give_up) {
    kzr415::reader::Sample sample;
    const int error = kzr_415_read_temperatures(fd, options.address, sample.celsius.data());
    if (error < 0) {
        std::fprintf(stderr, "kzr-415-read: %s 0x%02x: %s\n", options.bus.c_str(),
                     unsigned{options.address}, std::strerror(-error));
        return false;
    }
    clock_gettime(CLOCK_REALTIME, &sample.time);
    sample.bus = options.bus;
    sample.address = options.address;
    return output.emit(kzr415::reader::format_sample(options.format, sample), give_up);
}

// The samples: one, or one every interval until the count or an ending signal. The schedule
// keeps to multiples of the interval from the first sample; a sample that took longer than
// the interval skips the times it missed.
int run(int fd, const ReadOptions &options, const sigset_t &signals) {
    const SampleOutput output(options);
    int status = status_read;
    const std::int64_t start = monotonic_ns();
    for (std::uint64_t taken = 1;; ++taken) {
        bool give_up = false;
        if (!take_sample(fd, options, output, give_up)) {
            status = status_sample_failed;
        }
        if (give_up || options.interval_ns == 0 || taken == options.count ||
            ending_signal_pending(signals)) {
            return status;
        }
        const std::int64_t interval = options.interval_ns;
        const std::int64_t elapsed = monotonic_ns() - start;
        if (signal_before(start + (elapsed / interval + 1) * interval, signals)) {
            return status;
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    const auto line = kzr415::reader::parse_command_line(
        std::span<char *const>(argv, static_cast<std::size_t>(argc)));
    if (line.help) {
        std::fputs(kzr415::reader::usage_text, stdout);
        return std::fflush(stdout) == 0 ? status_read : status_usage;
    }
    if (!line.options) {
        std::fprintf(stderr, "kzr-415-read: %s (kzr-415-read --help lists the options)\n",
                     line.error.c_str());
        return status_usage;
    }
    const ReadOptions &options = *line.options;
    const sigset_t signals = ending_signals();

    const int fd = kzr_415_open(options.bus.c_str());
    if (fd < 0) {
        std::fprintf(stderr, "kzr-415-read: %s: %s\n", options.bus.c_str(), std::strerror(-fd));
        return status_no_bus;
    }
    const int status = run(fd, options, signals);
    (void)kzr_415_close(fd);
    return status;
}
