#include "sim-run.hpp"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kzr415::test {

namespace {

std::string slurp(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace

TemporaryPath::TemporaryPath(const std::string &stem) {
    path_ = "/tmp/kzr415-" + stem + "-XXXXXX";
    const int fd = mkstemp(path_.data());
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    close(fd);
    std::remove(path_.c_str()); // a name only: the test decides whether the file exists
}

TemporaryPath::~TemporaryPath() {
    std::remove(path_.c_str());
}

std::string TemporaryPath::read() const {
    return slurp(path_);
}

std::vector<std::string> TemporaryPath::lines() const {
    std::istringstream text(read());
    std::vector<std::string> result;
    for (std::string line; std::getline(text, line);) {
        result.push_back(line);
    }
    return result;
}

CommandResult run_command(const std::vector<std::string> &argv) {
    const TemporaryPath out("out");
    const TemporaryPath err("err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.path().c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.path().c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> words = argv;
    std::vector<char *> pointers;
    for (auto &word : words) {
        pointers.push_back(word.data());
    }
    pointers.push_back(nullptr);
    pid_t pid = 0;
    const int spawned =
        posix_spawnp(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(spawned));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    CommandResult result;
    result.out = out.read();
    result.err = err.read();
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

CommandResult run_sim(const std::vector<std::string> &arguments) {
    std::vector<std::string> argv{KZR415_SIM_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run_command(argv);
}

} // namespace kzr415::test
