// The device core that the kernel module compiles, under ASan and UBSan: every setting of
// its table through its parser and back (images, address, fault plan, flag, pointer, count),
// an errno by name or number, then arbitrary transfers of
// up to four messages of any length and flags. Every buffer is allocated to its exact
// size, so a byte read or written past one is caught; each result is checked against a
// plain model of the device's rules.
#include "fuzz-input.hpp"
#include "kernel/kzr-415-device.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using kzr415::fuzz::FuzzInput;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Text of a control, `limit` characters at most, in a buffer of exactly its length.
std::vector<char> text(FuzzInput &in, unsigned limit) {
    std::vector<char> chars(in.byte() % (limit + 1));
    for (auto &c : chars) {
        c = static_cast<char>(in.byte());
    }
    return chars;
}

// The device's rules, written plainly.
struct Model {
    std::array<std::vector<std::uint8_t>, KZR415_REGISTERS> images;
    std::uint8_t pointer = 0;

    void write(const std::uint8_t *buf, std::size_t len) {
        if (len == 0) {
            return;
        }
        pointer = buf[0];
        if (pointer == KZR415_TEMPERATURE || pointer >= KZR415_REGISTERS) {
            return;
        }
        auto &image = images[pointer];
        std::copy_n(buf + 1, std::min(len - 1, image.size()), image.begin());
    }
    [[nodiscard]] std::uint8_t at(std::size_t i) const {
        if (pointer >= KZR415_REGISTERS || i >= images[pointer].size()) {
            return 0xFF;
        }
        return images[pointer][i];
    }
};

// A register's image as the device holds it.
std::vector<std::uint8_t> image_of(const kzr415_device &dev, unsigned reg) {
    return {dev.image[reg], dev.image[reg] + kzr415_image_len(reg)};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput in({data, size});
    kzr415_device dev{};
    kzr415_device_init(&dev);
    // Every setting of the table through its parser, as a module parameter, the environment
    // or the state file gives it; a value taken reads back as the same.
    for (const auto &setting : kzr415_settings) {
        const auto chars = text(in, 40);
        const int parsed = kzr415_setting_parse(&dev, &setting, chars.data(), chars.size());
        if (setting.kind == KZR415_KIND_DEGREES) {
            check(parsed == -EOPNOTSUPP); // user space's: no floating point here
            continue;
        }
        if (parsed != 0) {
            continue;
        }
        std::array<char, 64> written{};
        std::array<char, 64> again{};
        const int length = kzr415_setting_format(written.data(), written.size(), &dev, &setting);
        check(length > 0 && static_cast<std::size_t>(length) < written.size());
        kzr415_device copy = dev;
        check(kzr415_setting_parse(&copy, &setting, written.data(),
                                   static_cast<std::size_t>(length)) == 0);
        check(kzr415_setting_format(again.data(), again.size(), &copy, &setting) == length);
        check(written == again);
    }
    const auto errno_text = text(in, 16);
    if (const int error = kzr415_parse_errno(errno_text.data(), errno_text.size()); error != 0) {
        const char *name = kzr415_errno_name(error);
        check(name != nullptr && kzr415_parse_errno(name, std::strlen(name)) == error);
    }
    Model model;
    for (unsigned reg = 0; reg < KZR415_REGISTERS; ++reg) {
        model.images[reg] = image_of(dev, reg);
    }
    model.pointer = dev.pointer;
    const auto temperature = image_of(dev, KZR415_TEMPERATURE);
    dev.transfers = 0;

    unsigned transfers = 0;
    while (!in.empty()) {
        const std::size_t count = in.byte() % 4U + 1U;
        std::vector<i2c_msg> messages(count);
        std::vector<std::vector<std::uint8_t>> buffers(count);
        std::vector<std::uint16_t> lengths(count);
        for (std::size_t i = 0; i < count; ++i) {
            auto &message = messages[i];
            const auto choice = in.byte();
            message.addr = choice < 200 ? dev.address : static_cast<std::uint16_t>(in.u16());
            message.flags = in.u16();
            message.len = static_cast<std::uint16_t>(in.u16() % 600U);
            const bool block = (message.flags & I2C_M_RD) && (message.flags & I2C_M_RECV_LEN);
            buffers[i].resize(message.len + (block ? I2C_SMBUS_BLOCK_MAX : 0U));
            if (!(message.flags & I2C_M_RD)) {
                in.fill(buffers[i]);
            }
            message.buf = buffers[i].empty() ? nullptr : buffers[i].data();
            lengths[i] = message.len;
        }
        const int result = kzr415_transfer(&dev, messages.data(), count);
        ++transfers;
        check(dev.transfers == transfers);
        if (const int planned = kzr415_fault_due(&dev, transfers); planned != 0) {
            check(result == -planned); // nothing served
            check(image_of(dev, KZR415_CONFIGURATION) == model.images[KZR415_CONFIGURATION]);
            continue;
        }
        // Replay on the model, message by message, and compare.
        int expected = static_cast<int>(count);
        for (std::size_t i = 0; i < count; ++i) {
            const auto &message = messages[i];
            if (dev.absent || (message.flags & I2C_M_TEN) || message.addr != dev.address) {
                expected = -ENXIO;
                break;
            }
            if (!(message.flags & I2C_M_RD)) {
                check(message.len == lengths[i]);
                model.write(buffers[i].data(), lengths[i]);
                continue;
            }
            std::size_t filled = lengths[i];
            if (message.flags & I2C_M_RECV_LEN) {
                const std::uint8_t block = model.at(0);
                if (lengths[i] == 0 || block == 0 || block > I2C_SMBUS_BLOCK_MAX) {
                    expected = lengths[i] == 0 ? -EINVAL : -EPROTO;
                    check(message.len == lengths[i]);
                    break;
                }
                check(message.len == lengths[i] + block);
                check(buffers[i][0] == block);
                filled = message.len;
            } else {
                check(message.len == lengths[i]);
            }
            for (std::size_t b = 0; b < filled; ++b) {
                check(buffers[i][b] == model.at(b));
            }
        }
        check(result == expected);
        check(dev.pointer == model.pointer);
        for (unsigned reg = 0; reg < KZR415_REGISTERS; ++reg) {
            check(image_of(dev, reg) == model.images[reg]);
        }
        check(image_of(dev, KZR415_TEMPERATURE) == temperature);
        if (in.byte() == 0xFF) {
            dev.transfers = transfers = 0; // a new run, as writing transfers=0 starts one
        }
    }
    return 0;
}
