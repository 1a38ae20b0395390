#include "launcher/child-process.hpp"

#include <algorithm>
#include <cerrno>
#include <iterator>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h> // environ

namespace kzr415::sim {

namespace {

std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> result;
    result.reserve(strings.size() + 1);
    // execve takes char *const[]: only a string that is not const gives a char *.
    std::transform(strings.begin(), strings.end(), std::back_inserter(result),
                   // cppcheck-suppress constParameterReference
                   [](std::string &s) { return s.data(); });
    result.push_back(nullptr);
    return result;
}

// posix_spawn's file actions and attributes, destroyed on every path.
class SpawnSetup {
  public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions_);
        posix_spawnattr_init(&attributes_);
    }
    SpawnSetup(const SpawnSetup &) = delete;
    SpawnSetup &operator=(const SpawnSetup &) = delete;
    SpawnSetup(SpawnSetup &&) = delete;
    SpawnSetup &operator=(SpawnSetup &&) = delete;
    ~SpawnSetup() {
        posix_spawnattr_destroy(&attributes_);
        posix_spawn_file_actions_destroy(&actions_);
    }

    void open(int fd, const std::string &path, int flags) {
        if (!path.empty()) {
            posix_spawn_file_actions_addopen(&actions_, fd, path.c_str(), flags, 0600);
        }
    }

    // Every descriptor from `first` on closed in the child.
    void close_from(int first) { posix_spawn_file_actions_addclosefrom_np(&actions_, first); }

    // Dup'ed onto itself, the descriptor loses close-on-exec in the child.
    void inherit(int fd) { posix_spawn_file_actions_adddup2(&actions_, fd, fd); }

    // `all`: every signal to its default action and, without a `mask`, none blocked.
    void signals(const std::vector<int> &defaults, const sigset_t *mask, bool all) {
        int flags = 0;
        sigset_t set;
        sigemptyset(&set);
        if (all) {
            sigfillset(&set); // the uncatchable ones are passed over by the C library
        }
        for (const int signal : defaults) {
            sigaddset(&set, signal);
        }
        if (all || !defaults.empty()) {
            posix_spawnattr_setsigdefault(&attributes_, &set);
            flags |= POSIX_SPAWN_SETSIGDEF;
        }
        sigset_t none;
        sigemptyset(&none);
        if (mask == nullptr && all) {
            mask = &none;
        }
        if (mask != nullptr) {
            posix_spawnattr_setsigmask(&attributes_, mask);
            flags |= POSIX_SPAWN_SETSIGMASK;
        }
        posix_spawnattr_setflags(&attributes_, static_cast<short>(flags));
    }

    [[nodiscard]] const posix_spawn_file_actions_t *actions() const { return &actions_; }
    [[nodiscard]] const posix_spawnattr_t *attributes() const { return &attributes_; }

  private:
    posix_spawn_file_actions_t actions_{};
    posix_spawnattr_t attributes_{};
};

} // namespace

int start_child(const ChildOptions &options, pid_t &pid) {
    if (options.argv.empty() ||
        (options.clean_start && !(options.inherited.empty() && options.default_signals.empty()))) {
        return EINVAL;
    }
    SpawnSetup setup;
    setup.open(STDIN_FILENO, options.input, O_RDONLY);
    setup.open(STDOUT_FILENO, options.output, O_WRONLY | O_CREAT | O_TRUNC);
    setup.open(STDERR_FILENO, options.error, O_WRONLY | O_CREAT | O_TRUNC);
    if (options.clean_start) {
        setup.close_from(STDERR_FILENO + 1);
    }
    for (const int fd : options.inherited) {
        setup.inherit(fd);
    }
    setup.signals(options.default_signals, options.signal_mask, options.clean_start);
    auto argv = options.argv;
    auto environment = options.environment;
    const auto argv_pointers = pointers(argv);
    const auto environment_pointers = pointers(environment);
    return posix_spawnp(&pid, argv_pointers[0], setup.actions(), setup.attributes(),
                        argv_pointers.data(), environment_pointers.data());
}

int wait_for_child(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

std::vector<std::string> current_environment() {
    std::vector<std::string> result;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        result.emplace_back(*entry);
    }
    return result;
}

} // namespace kzr415::sim
