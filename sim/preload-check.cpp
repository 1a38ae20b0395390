#include "preload-check.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kzr415::sim {

namespace {

// What an ELF header says about the machine a file is for.
struct ElfKind {
    unsigned char elf_class = 0; // ELFCLASS32, ELFCLASS64
    unsigned char data = 0;      // ELFDATA2LSB, ELFDATA2MSB
    std::uint16_t type = 0;      // ET_EXEC, ET_DYN, ...
    std::uint16_t machine = 0;   // EM_ARM, EM_X86_64, ...
};

// The ELF header of the regular file `path`; false when it is not one (errno set when the
// file cannot be read at all).
bool read_elf_kind(const std::string &path, ElfKind &kind) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    std::array<unsigned char, EI_NIDENT + 4> header{};
    ssize_t length = -1;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        length = pread(fd, header.data(), header.size(), 0);
    }
    close(fd);
    if (length != static_cast<ssize_t>(header.size()) ||
        std::memcmp(header.data(), ELFMAG, SELFMAG) != 0) {
        errno = 0;
        return false;
    }
    kind.elf_class = header[EI_CLASS];
    kind.data = header[EI_DATA];
    // e_type and e_machine follow e_ident, in the file's byte order.
    const auto half = [&](std::size_t at) {
        return kind.data == ELFDATA2MSB
                   ? static_cast<std::uint16_t>(header[at] << 8 | header[at + 1])
                   : static_cast<std::uint16_t>(header[at + 1] << 8 | header[at]);
    };
    kind.type = half(EI_NIDENT);
    kind.machine = half(EI_NIDENT + 2);
    return true;
}

} // namespace

bool check_preload(const std::string &path, const std::string &like, std::string &reason) {
    if (path.find_first_of(": \t\n\v\f\r") != std::string::npos) {
        reason = "LD_PRELOAD splits a path at ':' and blanks";
        return false;
    }
    ElfKind preload;
    if (!read_elf_kind(path, preload)) {
        reason = errno == ENOENT ? "no such file"
                 : errno != 0    ? std::strerror(errno)
                                 : "not an ELF shared library";
        return false;
    }
    if (preload.type != ET_DYN) {
        reason = "not an ELF shared library";
        return false;
    }
    ElfKind program;
    if (!like.empty() && read_elf_kind(like, program) &&
        (program.elf_class != preload.elf_class || program.data != preload.data ||
         program.machine != preload.machine)) {
        reason = "built for another machine than " +
                 (like == "/proc/self/exe" ? std::string("kzr-415-sim") : like);
        return false;
    }
    return true;
}

} // namespace kzr415::sim
