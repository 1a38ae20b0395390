#include "launcher/kzr-415-sim.hpp"
#include "preload/simulated-nodes.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <elf.h>
#include <sys/stat.h>

namespace kzr415::sim {

namespace {

// An ELF file's fields, read where its header says, in its own class and byte order; a
// field past the file's end reads 0 and marks the file damaged, so that a damaged file (or
// a huge one) is refused, never followed.
class ElfFile {
  public:
    explicit ElfFile(const std::string &path) {
        std::error_code failed; // never opened unless regular: a FIFO would wait for a writer
        if (!std::filesystem::is_regular_file(path, failed)) {
            errno = failed.value();
            return;
        }
        file_.open(path, std::ios::binary);
        size_ = std::filesystem::file_size(path, failed);
        std::array<char, SELFMAG> magic{};
        elf_ = file_.read(magic.data(), SELFMAG) && std::memcmp(magic.data(), ELFMAG, SELFMAG) == 0;
        wide_ = field(EI_CLASS, 1) == ELFCLASS64;
        msb_ = field(EI_DATA, 1) == ELFDATA2MSB;
        elf_ = elf_ && !damaged_;
        errno = file_.is_open() ? 0 : errno;
    }

    [[nodiscard]] bool elf() const { return elf_; }
    [[nodiscard]] bool damaged() const { return damaged_; }
    [[nodiscard]] bool wide() const { return wide_; }
    // The unsigned field of `size` bytes at `at`; an address's size for 0.
    std::uint64_t field(std::uint64_t at, unsigned size) {
        size = size != 0 ? size : wide_ ? 8 : 4;
        std::array<char, 8> bytes{};
        if (!read(at, bytes.data(), size)) {
            damaged_ = true;
            return 0;
        }
        std::uint64_t value = 0;
        for (unsigned i = 0; i < size; ++i) {
            value = value << 8U | static_cast<unsigned char>(bytes.at(msb_ ? i : size - 1 - i));
        }
        return value;
    }
    // Whether the `size` bytes at `at` are in the file.
    [[nodiscard]] bool within(std::uint64_t at, std::uint64_t size) const {
        return at <= size_ && size <= size_ - at;
    }
    // Whether `text`, with its terminating zero, stands at `at`.
    bool holds(std::uint64_t at, std::string_view text) {
        std::array<char, 64> bytes{};
        return text.size() < bytes.size() && read(at, bytes.data(), text.size() + 1) &&
               std::string_view(bytes.data(), text.size() + 1) == std::string(text) + '\0';
    }
    // An ELF header field: its offset in ELF32 and in ELF64.
    std::uint64_t header(std::uint64_t at32, std::uint64_t at64, unsigned size) {
        return field(wide_ ? at64 : at32, size);
    }

  private:
    bool read(std::uint64_t at, char *bytes, std::size_t size) {
        file_.clear();
        return within(at, size) && file_.seekg(static_cast<std::streamoff>(at)) &&
               file_.read(bytes, static_cast<std::streamsize>(size));
    }

    std::ifstream file_;
    std::uint64_t size_ = 0;
    bool elf_ = false;
    bool damaged_ = false;
    bool wide_ = false;
    bool msb_ = false;
};

enum class Marker : std::uint8_t { defined, missing, damaged };

// Whether the preload's dynamic symbol table (.dynsym, found through the section headers,
// and the string table it links) exports and defines the marker (preload_marker).
Marker find_marker(ElfFile &elf) {
    const auto table = elf.header(32, 40, 0);
    const auto entry = elf.header(46, 58, 2);
    const auto entries = elf.header(48, 60, 2);
    if (!elf.damaged() && entries == 0) {
        return Marker::missing; // no section headers: no symbol table to read
    }
    if (elf.damaged() || entry < (elf.wide() ? 64U : 40U) || !elf.within(table, entries * entry)) {
        return Marker::damaged;
    }
    // Section header i's field at `at32` in ELF32, `at64` in ELF64: 4 bytes, or an address.
    const auto section = [&](std::uint64_t i, std::uint64_t at32, std::uint64_t at64,
                             unsigned size) {
        return elf.header(table + i * entry + at32, table + i * entry + at64, size);
    };
    for (std::uint64_t i = 0; i < entries; ++i) {
        if (section(i, 4, 4, 4) != SHT_DYNSYM) {
            continue;
        }
        const auto symbols = section(i, 16, 24, 0);
        const auto symbols_size = section(i, 20, 32, 0);
        const auto symbol_size = section(i, 36, 56, 0);
        const auto link = section(i, 24, 40, 4);
        if (link >= entries || symbol_size < (elf.wide() ? 24U : 16U) ||
            section(link, 4, 4, 4) != SHT_STRTAB || !elf.within(symbols, symbols_size)) {
            return Marker::damaged;
        }
        const auto strings = section(link, 16, 24, 0);
        const auto strings_size = section(link, 20, 32, 0);
        if (!elf.within(strings, strings_size)) {
            return Marker::damaged;
        }
        for (auto at = symbols; at + symbol_size <= symbols + symbols_size; at += symbol_size) {
            const auto name = elf.field(at, 4);
            const auto info = elf.header(at + 12, at + 4, 1);
            const auto other = elf.header(at + 13, at + 5, 1);
            const auto index = elf.header(at + 14, at + 6, 2);
            const bool exported = (info >> 4U == STB_GLOBAL || info >> 4U == STB_WEAK) &&
                                  (other & 3U) == STV_DEFAULT && index != SHN_UNDEF;
            if (exported && name < strings_size && elf.holds(strings + name, preload_marker)) {
                return Marker::defined;
            }
        }
        return elf.damaged() ? Marker::damaged : Marker::missing;
    }
    return Marker::missing;
}

// Whether the ELF program names a dynamic loader (a PT_INTERP program header); true as well
// when that cannot be told, which leaves it to the handshake.
bool has_interpreter(ElfFile &elf) {
    const auto table = elf.header(28, 32, 0);
    const auto entry = elf.header(42, 54, 2);
    const auto entries = elf.header(44, 56, 2);
    for (std::uint64_t i = 0; i < entries && i < 256 && entry >= 4; ++i) {
        if (elf.field(table + i * entry, 4) == PT_INTERP || elf.damaged()) {
            return true;
        }
    }
    return elf.damaged();
}

} // namespace

bool check_program(const std::string &path, std::string &reason) {
    ElfFile elf(path);
    struct stat info {};
    if (!elf.elf() || stat(path.c_str(), &info) != 0) {
        return true;
    }
    if ((info.st_mode & (S_ISUID | S_ISGID)) != 0) {
        reason = "set-user-ID or set-group-ID: its loader ignores the preload";
        return false;
    }
    const auto type = elf.field(16, 2);
    if ((type == ET_EXEC || type == ET_DYN) && !has_interpreter(elf)) {
        reason = "statically linked: no preload reaches it";
        return false;
    }
    return true;
}

bool check_preload(const std::string &path, const std::string &like, std::string &reason) {
    if (path.find_first_of(": \t\n\v\f\r") != std::string::npos) {
        reason = "LD_PRELOAD splits a path at ':' and blanks";
        return false;
    }
    ElfFile preload(path);
    if (!preload.elf() || preload.field(16, 2) != ET_DYN) {
        reason = errno == ENOENT ? "no such file"
                 : errno != 0    ? std::strerror(errno)
                                 : "not an ELF shared library";
        return false;
    }
    ElfFile program(like);
    // The class, byte order (e_ident) and machine (e_machine) must be the program's.
    for (const auto &[at, size] :
         {std::pair{std::uint64_t{EI_CLASS}, 1U}, {EI_DATA, 1U}, {18, 2U}}) {
        if (!like.empty() && program.elf() && program.field(at, size) != preload.field(at, size)) {
            reason = "built for another machine than " +
                     (like == "/proc/self/exe" ? std::string("kzr-415-sim") : like);
            return false;
        }
    }
    switch (find_marker(preload)) {
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
