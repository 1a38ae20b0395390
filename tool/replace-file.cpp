#include "replace-file.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kzr415::reader {

namespace {

// Writes all of `contents`; 0 or the errno of the failed write.
int write_all(int fd, std::string_view contents) {
    while (!contents.empty()) {
        const ssize_t written = write(fd, contents.data(), contents.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        contents.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

} // namespace

int replace_file(const std::string &path, std::string_view contents, mode_t umask) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string pattern = folder + "." + name + ".XXXXXX";
    std::vector<char> staged(pattern.begin(), pattern.end());
    staged.push_back('\0');

    const int fd = mkostemp(staged.data(), O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    constexpr mode_t readable_by_all = 0666;
    int error = fchmod(fd, readable_by_all & ~umask) == 0 ? 0 : errno;
    if (error == 0) {
        error = write_all(fd, contents);
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && std::rename(staged.data(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(staged.data());
    }
    return error;
}

} // namespace kzr415::reader
