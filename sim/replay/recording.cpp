#include "replay/recording.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kzr415::sim {

namespace {

constexpr std::string_view magic = "KZR415RC";
constexpr std::uint32_t byte_order_mark = 0x01020304;
constexpr std::size_t header_size = magic.size() + 2 * sizeof(std::uint32_t);
constexpr std::size_t transfer_head = 3;   // errno (16 bits), message count (8 bits)
constexpr std::size_t message_head = 8;    // address, flags, length, byte count (16 bits each)
constexpr std::uint8_t longest_block = 32; // I2C_SMBUS_BLOCK_MAX

template <typename T>
T load(const std::uint8_t *at) {
    T value{};
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <typename T>
void put(std::vector<std::uint8_t> &out, T value) {
    std::array<std::uint8_t, sizeof value> bytes{};
    std::memcpy(bytes.data(), &value, sizeof value);
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// Whether a message's recorded bytes are what such a message can carry: a write's bytes or
// a read's as asked, a block read's count byte and its block, nothing of a failed transfer's
// read. A replayed read never writes more into the program's buffer than it asked for.
bool fits(const MessageView &message, bool failed) {
    const std::size_t count = message.bytes.size();
    if ((message.flags & I2C_M_RD) == 0) {
        return count == message.length;
    }
    if (failed) {
        return count == 0;
    }
    if ((message.flags & I2C_M_RECV_LEN) == 0) {
        return count == message.length;
    }
    return message.length > 0 && count > message.length &&
           count - message.length <= longest_block && message.bytes[0] == count - message.length;
}

// Writes all of `bytes` to `fd`.
bool write_all(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace

RecordedTransfer TransferView::copy() const {
    RecordedTransfer transfer;
    transfer.error = error;
    for (const auto &message : all()) {
        transfer.messages.push_back({message.addr,
                                     message.flags,
                                     message.length,
                                     {message.bytes.begin(), message.bytes.end()}});
    }
    return transfer;
}

Recording::~Recording() {
    unmap();
}

Recording::Recording(Recording &&other) noexcept
    : index_(std::exchange(other.index_, {0})), records_(std::move(other.records_)),
      mapping_(std::exchange(other.mapping_, nullptr)),
      mapped_size_(std::exchange(other.mapped_size_, 0)),
      mapped_count_(std::exchange(other.mapped_count_, 0)) {
    other.records_.clear();
}

Recording &Recording::operator=(Recording &&other) noexcept {
    if (this != &other) {
        unmap();
        index_ = std::exchange(other.index_, {0});
        records_ = std::move(other.records_);
        other.records_.clear();
        mapping_ = std::exchange(other.mapping_, nullptr);
        mapped_size_ = std::exchange(other.mapped_size_, 0);
        mapped_count_ = std::exchange(other.mapped_count_, 0);
    }
    return *this;
}

void Recording::unmap() {
    if (mapping_ != nullptr) {
        // The mapping's own pointer, given back as mmap gave it.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
        ::munmap(const_cast<std::uint8_t *>(mapping_), mapped_size_);
        mapping_ = nullptr;
    }
}

void Recording::append(const RecordedTransfer &transfer) {
    put(records_, static_cast<std::uint16_t>(transfer.error));
    put(records_, static_cast<std::uint8_t>(transfer.messages.size()));
    for (const auto &message : transfer.messages) {
        put(records_, message.addr);
        put(records_, message.flags);
        put(records_, message.length);
        put(records_, static_cast<std::uint16_t>(message.bytes.size()));
        records_.insert(records_.end(), message.bytes.begin(), message.bytes.end());
    }
    index_.push_back(static_cast<std::uint32_t>(records_.size()));
}

std::size_t Recording::size() const {
    return mapping_ != nullptr ? mapped_count_ : index_.size() - 1;
}

std::span<const std::uint8_t> Recording::records() const {
    if (mapping_ == nullptr) {
        return records_;
    }
    const std::size_t start = header_size + (mapped_count_ + 1) * sizeof(std::uint32_t);
    return {mapping_ + start, mapped_size_ - start};
}

std::uint32_t Recording::offset(std::size_t index) const {
    return mapping_ != nullptr
               ? load<std::uint32_t>(mapping_ + header_size + index * sizeof(std::uint32_t))
               : index_[index];
}

bool Recording::read(std::size_t index, TransferView &view) const {
    if (index >= size()) {
        return false;
    }
    const auto all = records();
    const std::size_t begin = offset(index);
    const std::size_t end = offset(index + 1);
    if (begin > end || end > all.size() || end - begin < transfer_head) {
        return false;
    }
    auto rest = all.subspan(begin, end - begin);
    view.error = load<std::uint16_t>(rest.data());
    view.count = rest[2];
    rest = rest.subspan(transfer_head);
    if (view.count == 0 || view.count > view.messages.size()) {
        return false;
    }
    for (auto &message : std::span(view.messages.data(), view.count)) {
        if (rest.size() < message_head) {
            return false;
        }
        message.addr = load<std::uint16_t>(rest.data());
        message.flags = load<std::uint16_t>(rest.data() + 2);
        message.length = load<std::uint16_t>(rest.data() + 4);
        const std::size_t bytes = load<std::uint16_t>(rest.data() + 6);
        rest = rest.subspan(message_head);
        if (rest.size() < bytes) {
            return false;
        }
        message.bytes = rest.first(bytes);
        rest = rest.subspan(bytes);
        if (!fits(message, view.error != 0)) {
            return false;
        }
    }
    return rest.empty();
}

bool Recording::save(const std::string &path) const {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    std::vector<std::uint8_t> head(magic.begin(), magic.end());
    put(head, byte_order_mark);
    put(head, static_cast<std::uint32_t>(size()));
    for (std::size_t i = 0; i <= size(); ++i) {
        put(head, offset(i));
    }
    const bool written = write_all(fd, head) && write_all(fd, records());
    const int error = errno;
    const bool closed = ::close(fd) == 0;
    errno = written ? errno : error;
    return written && closed;
}

bool Recording::is_saved_recording(std::string_view head) {
    return head.starts_with(magic);
}

std::optional<Recording> Recording::map(const std::string &path, std::string &reason) {
    const int fd = raw_open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        reason = std::strerror(errno);
        return std::nullopt;
    }
    struct stat info {};
    const void *mapped = MAP_FAILED;
    if (fstat(fd, &info) != 0) {
        reason = std::strerror(errno);
    } else if (!S_ISREG(info.st_mode) || static_cast<std::size_t>(info.st_size) < header_size) {
        reason = "not a recording";
    } else {
        mapped =
            ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        reason = mapped == MAP_FAILED ? std::strerror(errno) : "";
    }
    raw_close(fd);
    if (mapped == MAP_FAILED) {
        return std::nullopt;
    }
    Recording recording;
    recording.mapping_ = static_cast<const std::uint8_t *>(mapped);
    recording.mapped_size_ = static_cast<std::size_t>(info.st_size);
    const auto *const at = recording.mapping_;
    const std::size_t count = load<std::uint32_t>(at + magic.size() + sizeof(std::uint32_t));
    const std::size_t room = (recording.mapped_size_ - header_size) / sizeof(std::uint32_t);
    recording.mapped_count_ = count < room ? count : 0;
    if (std::memcmp(at, magic.data(), magic.size()) != 0 ||
        load<std::uint32_t>(at + magic.size()) != byte_order_mark || count >= room ||
        recording.offset(0) != 0 || recording.offset(count) != recording.records().size()) {
        reason = "not a recording";
        return std::nullopt;
    }
    return recording;
}

} // namespace kzr415::sim
