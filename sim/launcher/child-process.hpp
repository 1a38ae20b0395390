// Starting a program as a child process and waiting for it to end: how kzr-415-sim runs
// PROGRAM, and how the tests run the programs of the build. A child ended by signal N
// reports 128 + N, as a shell does.
#pragma once

#include <csignal>
#include <string>
#include <vector>

#include <sys/types.h>

namespace kzr415::sim {

struct ChildOptions {
    std::vector<std::string> argv;        // argv[0] is searched in PATH when it has no '/'
    std::vector<std::string> environment; // NAME=VALUE: the child's whole environment
    // Files the child's standard input, output and error are opened on (output and error
    // are created or truncated); empty: the stream is this process's.
    std::string input;
    std::string output;
    std::string error;
    // Descriptors of this process that the child keeps at their numbers, close-on-exec
    // cleared in the child alone.
    std::vector<int> inherited;
    // Set: the child starts as from a fresh login, whoever started this process: descriptors
    // 0 to 2 alone (whatever else this process holds without close-on-exec), every signal at
    // its default action (none ignored, as nohup or a background job would leave them) and
    // none blocked unless `signal_mask` says so. For the tests' programs; not together with
    // `inherited` or `default_signals`.
    bool clean_start = false;
    std::vector<int> default_signals;      // set to their default action in the child
    const sigset_t *signal_mask = nullptr; // the child's signal mask; null: this process's
};

// Starts the child: 0 with `pid` set, or the errno value that kept it from starting.
int start_child(const ChildOptions &options, pid_t &pid);

// Waits for the child to end, through interruptions by signals: its exit status, or
// 128 + N when signal N ended it; -1 with errno set when it cannot be waited for.
int wait_for_child(pid_t pid);

// This process's environment, as ChildOptions::environment takes it.
std::vector<std::string> current_environment();

} // namespace kzr415::sim
