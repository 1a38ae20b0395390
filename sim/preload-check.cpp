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

// Whether the ELF file `path` names a dynamic loader (a PT_INTERP program header).
bool has_interpreter(const std::string &path, const ElfKind &kind) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return true; // unreadable: left to the handshake
    }
    const bool wide = kind.elf_class == ELFCLASS64;
    const auto number = [&](const unsigned char *bytes, std::size_t size) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < size; ++i) {
            const std::size_t at = kind.data == ELFDATA2MSB ? i : size - 1 - i;
            value = value << 8 | bytes[at];
        }
        return value;
    };
    std::array<unsigned char, 64> header{};
    bool found = true;
    if (pread(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size())) {
        const auto table = number(&header[wide ? 32 : 28], wide ? 8 : 4);
        const auto entry_size = number(&header[wide ? 54 : 42], 2);
        const auto entries = number(&header[wide ? 56 : 44], 2);
        found = false;
        for (std::uint64_t i = 0; i < entries && i < 256 && entry_size >= 4; ++i) {
            std::array<unsigned char, 4> type{};
            if (pread(fd, type.data(), type.size(), static_cast<off_t>(table + i * entry_size)) !=
                4) {
                found = true;
                break;
            }
            if (number(type.data(), 4) == PT_INTERP) {
                found = true;
                break;
            }
        }
    }
    close(fd);
    return found;
}

} // namespace

bool check_program(const std::string &path, std::string &reason) {
    struct stat info {};
    ElfKind kind;
    if (stat(path.c_str(), &info) != 0 || !read_elf_kind(path, kind)) {
        return true;
    }
    if ((info.st_mode & (S_ISUID | S_ISGID)) != 0) {
        reason = "set-user-ID or set-group-ID: its loader ignores the preload";
        return false;
    }
    if (kind.type == ET_EXEC || kind.type == ET_DYN) {
        if (!has_interpreter(path, kind)) {
            reason = "statically linked: no preload reaches it";
            return false;
        }
    }
    return true;
}

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
