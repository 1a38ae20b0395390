#include "launcher/preload-check.hpp"
#include "preload/preload-handshake.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

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

// The unsigned number of `size` bytes at `bytes`, in the byte order `data`.
std::uint64_t number(const unsigned char *bytes, std::size_t size, unsigned char data) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const std::size_t at = data == ELFDATA2MSB ? i : size - 1 - i;
        value = value << 8 | bytes[at];
    }
    return value;
}

// What a preload's dynamic symbol table says about the marker (preload_marker).
enum class Marker : std::uint8_t { defined, missing, damaged };

// The parts of an open ELF file that find_marker reads, each read held to the file's size
// and to `limit` bytes, so that a damaged file (or a huge one) is refused, never followed.
class ElfReader {
  public:
    ElfReader(int fd, std::uint64_t size, const ElfKind &kind)
        : fd_(fd), size_(size), data_(kind.data), wide_(kind.elf_class == ELFCLASS64) {}

    [[nodiscard]] bool wide() const { return wide_; }

    // The `count` bytes at `offset`; false when they are not all in the file.
    bool bytes(std::uint64_t offset, std::uint64_t count, std::vector<unsigned char> &out) const {
        if (offset > size_ || count > size_ - offset || count > limit) {
            return false;
        }
        out.assign(static_cast<std::size_t>(count), 0);
        std::size_t done = 0;
        while (done < out.size()) {
            const ssize_t got =
                pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
            if (got <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

    // The field of `size` bytes at `at` in `record`, which the caller sized to hold it.
    [[nodiscard]] std::uint64_t field(const std::vector<unsigned char> &record, std::size_t at,
                                      std::size_t size) const {
        return number(record.data() + at, size, data_);
    }
    // An address-sized field: 8 bytes in ELF64, 4 in ELF32.
    [[nodiscard]] std::uint64_t word(const std::vector<unsigned char> &record,
                                     std::size_t at) const {
        return field(record, at, wide_ ? 8 : 4);
    }

    // Any table or string table of a shared library is far smaller than this.
    static constexpr std::uint64_t limit = std::uint64_t{16} << 20;

  private:
    int fd_;
    std::uint64_t size_;
    unsigned char data_;
    bool wide_;
};

// Where a section is in the file, from its entry in the section header table.
struct Section {
    std::uint64_t type = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t link = 0;
    std::uint64_t entry_size = 0;
};

Section section_at(const ElfReader &elf, const std::vector<unsigned char> &table, std::size_t at) {
    const std::vector<unsigned char> entry(table.begin() + static_cast<std::ptrdiff_t>(at),
                                           table.begin() + static_cast<std::ptrdiff_t>(at) +
                                               (elf.wide() ? 64 : 40));
    Section section;
    section.type = elf.field(entry, 4, 4);
    section.offset = elf.word(entry, elf.wide() ? 24 : 16);
    section.size = elf.word(entry, elf.wide() ? 32 : 20);
    section.link = elf.field(entry, elf.wide() ? 40 : 24, 4);
    section.entry_size = elf.word(entry, elf.wide() ? 56 : 36);
    return section;
}

// Whether the dynamic symbol table `dynsym`, with the string table `strings` it links,
// exports and defines the marker.
Marker marker_in(const ElfReader &elf, const Section &dynsym, const Section &strings) {
    const bool wide = elf.wide();
    const std::uint64_t symbol_size = wide ? 24 : 16;
    std::vector<unsigned char> symbols;
    std::vector<unsigned char> names;
    if (strings.type != SHT_STRTAB || !elf.bytes(dynsym.offset, dynsym.size, symbols) ||
        !elf.bytes(strings.offset, strings.size, names)) {
        return Marker::damaged;
    }
    // The string table's bytes, read as the characters they are.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
    const std::string_view text(reinterpret_cast<const char *>(names.data()), names.size());
    const std::string wanted = std::string(preload_marker) + '\0';
    for (std::uint64_t at = 0; at + symbol_size <= symbols.size(); at += dynsym.entry_size) {
        const std::vector<unsigned char> symbol(symbols.begin() + static_cast<std::ptrdiff_t>(at),
                                                symbols.begin() +
                                                    static_cast<std::ptrdiff_t>(at + symbol_size));
        const auto name = elf.field(symbol, 0, 4);
        const auto symbol_info = elf.field(symbol, wide ? 4 : 12, 1);
        const auto other = elf.field(symbol, wide ? 5 : 13, 1);
        const auto section = elf.field(symbol, wide ? 6 : 14, 2);
        const auto binding = symbol_info >> 4;
        if (name >= text.size() ||
            text.substr(static_cast<std::size_t>(name), preload_marker.size() + 1) != wanted) {
            continue;
        }
        if (section != SHN_UNDEF && (binding == STB_GLOBAL || binding == STB_WEAK) &&
            (other & 3U) == STV_DEFAULT) {
            return Marker::defined;
        }
    }
    return Marker::missing;
}

// The marker in the first dynamic symbol table (.dynsym, found through the section headers).
Marker marker_in(const ElfReader &elf) {
    const bool wide = elf.wide();
    std::vector<unsigned char> header;
    std::vector<unsigned char> table;
    if (!elf.bytes(0, wide ? 64 : 52, header)) {
        return Marker::damaged;
    }
    const auto table_offset = elf.word(header, wide ? 40 : 32);
    const auto entry_size = elf.field(header, wide ? 58 : 46, 2);
    const auto entries = elf.field(header, wide ? 60 : 48, 2);
    if (entries == 0) {
        return Marker::missing; // no section headers: no symbol table to read
    }
    if (entry_size < (wide ? 64U : 40U) || !elf.bytes(table_offset, entries * entry_size, table)) {
        return Marker::damaged;
    }
    for (std::uint64_t i = 0; i < entries; ++i) {
        const auto dynsym = section_at(elf, table, static_cast<std::size_t>(i * entry_size));
        if (dynsym.type != SHT_DYNSYM) {
            continue;
        }
        if (dynsym.link >= entries || dynsym.entry_size < (wide ? 24U : 16U)) {
            return Marker::damaged;
        }
        return marker_in(
            elf, dynsym,
            section_at(elf, table, static_cast<std::size_t>(dynsym.link * entry_size)));
    }
    return Marker::missing;
}

// Whether the ELF shared library `path` exports and defines the marker, in its dynamic
// symbol table (.dynsym, found through the section headers, and the string table it links).
Marker find_marker(const std::string &path, const ElfKind &kind) {
    if ((kind.elf_class != ELFCLASS32 && kind.elf_class != ELFCLASS64) ||
        (kind.data != ELFDATA2LSB && kind.data != ELFDATA2MSB)) {
        return Marker::damaged;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return Marker::damaged;
    }
    struct stat info {};
    Marker found = Marker::damaged;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        found = marker_in(ElfReader(fd, static_cast<std::uint64_t>(info.st_size), kind));
    }
    close(fd);
    return found;
}

// Whether the ELF file `path` names a dynamic loader (a PT_INTERP program header).
bool has_interpreter(const std::string &path, const ElfKind &kind) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return true; // unreadable: left to the handshake
    }
    const bool wide = kind.elf_class == ELFCLASS64;
    const auto read_number = [&](const unsigned char *bytes, std::size_t size) {
        return kzr415::sim::number(bytes, size, kind.data);
    };
    std::array<unsigned char, 64> header{};
    bool found = true;
    if (pread(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size())) {
        const auto table = read_number(&header[wide ? 32 : 28], wide ? 8 : 4);
        const auto entry_size = read_number(&header[wide ? 54 : 42], 2);
        const auto entries = read_number(&header[wide ? 56 : 44], 2);
        found = false;
        for (std::uint64_t i = 0; i < entries && i < 256 && entry_size >= 4; ++i) {
            std::array<unsigned char, 4> type{};
            if (pread(fd, type.data(), type.size(), static_cast<off_t>(table + (i * entry_size))) !=
                4) {
                found = true;
                break;
            }
            if (read_number(type.data(), 4) == PT_INTERP) {
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
    switch (find_marker(path, preload)) {
    case Marker::defined:
        return true;
    case Marker::missing:
        reason = "a shared library, but not the emulated bus";
        return false;
    case Marker::damaged:
        break;
    }
    reason = "a damaged or truncated ELF file";
    return false;
}

} // namespace kzr415::sim
