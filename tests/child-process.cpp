#include "child-process.hpp"

#include <cstdio>
#include <cstdlib>
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

// Set by the build: the preload library, and the emulator command (empty for a native
// build) with its words separated by ';'.
constexpr const char *preload_path = KZR415_PRELOAD_PATH;
constexpr const char *emulator_command = KZR415_EMULATOR;

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> words;
    std::stringstream stream(text);
    std::string word;
    while (std::getline(stream, word, separator)) {
        if (!word.empty()) {
            words.push_back(word);
        }
    }
    return words;
}

std::string slurp(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string temporary_file() {
    std::string name = "/tmp/kzr415-test-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    close(fd);
    return name;
}

std::vector<char *> pointers(std::vector<std::string> &words) {
    std::vector<char *> result;
    for (auto &word : words) {
        result.push_back(word.data());
    }
    result.push_back(nullptr);
    return result;
}

} // namespace

RunResult run_on_emulated_bus(const std::string &program, const Environment &environment) {
    Environment variables = environment;
    variables.emplace_back("LD_PRELOAD", preload_path);

    std::vector<std::string> argv = split(emulator_command, ';');
    std::vector<std::string> envp;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "LD_PRELOAD=", 11) != 0) {
            envp.emplace_back(*entry);
        }
    }
    const bool emulated = !argv.empty();
    for (const auto &[name, value] : variables) {
        if (emulated) {
            argv.emplace_back("-E"); // for the guest only, not for the emulator itself
            argv.push_back(name + "=" + value);
        } else {
            envp.push_back(name + "=" + value);
        }
    }
    argv.push_back(program);

    const std::string out_path = temporary_file();
    const std::string err_path = temporary_file();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY, 0);

    auto argv_pointers = pointers(argv);
    auto envp_pointers = pointers(envp);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv_pointers[0], &actions, nullptr,
                                     argv_pointers.data(), envp_pointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(spawned));
    }
    int status = 0;
    waitpid(pid, &status, 0);

    RunResult result;
    result.out = slurp(out_path);
    result.err = slurp(err_path);
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    return result;
}

} // namespace kzr415::test
