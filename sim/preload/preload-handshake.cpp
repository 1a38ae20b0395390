// The preload's half of the handshake with kzr-415-sim (preload/simulated-nodes.hpp), done when
// the preload is loaded, before the program's own constructors and main.
#include "preload/simulated-nodes.hpp"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// Exported whatever the build's default visibility, for kzr-415-sim's check of the preload.
extern "C" __attribute__((visibility("default"), used)) const char kzr415_sim_bus_preload[] =
    "kzr-415 emulated i2c-dev bus";

namespace {

__attribute__((constructor)) void confirm_loaded() {
    namespace sim = kzr415::sim;
    const char *value = std::getenv(sim::handshake_variable);
    if (value == nullptr) {
        return; // not started by kzr-415-sim
    }
    const std::string_view text(value);
    int fd = -1;
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), fd);
    const bool is_number =
        !text.empty() && parsed.ec == std::errc{} && parsed.ptr == text.data() + text.size();
    // Consumed here: the processes this program starts must not write to whatever file
    // their own descriptor of that number is.
    unsetenv(sim::handshake_variable);
    struct stat info {};
    if (!is_number || fd <= STDERR_FILENO || fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode)) {
        return; // not kzr-415-sim's pipe: the descriptor is not this preload's to touch
    }
    // Straight to the system: this library's write and close are the bus's entry points.
    const int saved_errno = errno;
    (void)syscall(SYS_write, fd, sim::handshake_message.data(), sim::handshake_message.size());
    (void)syscall(SYS_close, fd);
    errno = saved_errno;
}

} // namespace
