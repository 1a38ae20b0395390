// libFuzzer target: the library's functions of both releases with fuzzed arguments against a
// fuzzed device on the in-process emulated bus (its register images, its address or its
// absence, a transfer that fails at a fuzzed point, or every one from there on).
//
// After each call the bus record and the printed text are replayed against what the
// library documents: exactly the transfers the arguments allow (one message each, a write
// never longer than the pointer and 6 data bytes, a refused request none at all), no
// transfer after a failed one where the call must stop, every failure of release 1.0's
// functions printed as the transport's two lines or the readout's message, nothing at all
// printed by release 1.1's, the right result (for 1.1, the failed transfer's -errno, and
// errno with it), and the caller's buffers filled or left as they were.
#include "bus/emulated-bus.hpp"
#include "config/sim-config.hpp"
#include "fuzz-input.hpp"
#include "kzr-415-drv.h"
#include "output-capture.hpp"
#include "preload/simulated-nodes.hpp"
#include "temperature-decode.hpp"

#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/i2c.h>

namespace kzr415::fuzz {
namespace {

constexpr const char *node_path = "/dev/i2c-fuzz";
constexpr std::array<int, 6> bus_errors{EIO, ENXIO, ETIMEDOUT, EREMOTEIO, EAGAIN, EBUSY};
constexpr std::size_t max_calls = 24;

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void violated(const char *what, const std::string &detail = {}) {
    std::fprintf(stderr, "invariant violated: %s %s\n", what, detail.c_str());
    std::abort();
}

void require(bool ok, const char *what, const std::string &detail = {}) {
    if (!ok) {
        violated(what, detail);
    }
}

// Walks the transfers one call made and builds the text it must have printed.
class Replay {
  public:
    Replay(const std::vector<sim::RecordedTransfer> &record, std::size_t first)
        : record_(record), next_(first) {}

    // The next transfer must be one write message of `bytes` to `addr`; true if it went
    // through.
    bool write(std::uint16_t addr, const Bytes &bytes) {
        const auto &message = take(addr);
        require(message.flags == 0, "write flagged as read");
        require(message.length == bytes.size() && message.bytes == bytes, "write bytes");
        require(message.length <= 7, "write longer than pointer and image");
        return succeeded();
    }

    // The next transfer must be one read message of `length` bytes from `addr`; on success
    // its bytes are returned through `bytes`.
    bool read(std::uint16_t addr, std::uint16_t length, Bytes &bytes) {
        const auto &message = take(addr);
        require(message.flags == I2C_M_RD, "read not flagged as read");
        require(message.length == length, "read length");
        bytes = message.bytes;
        return succeeded();
    }

    // A register read: the pointer alone, then the read, which a failed pointer write skips.
    bool register_read(std::uint16_t addr, std::uint8_t reg, std::uint16_t length, Bytes &bytes) {
        return write(addr, {reg}) && read(addr, length, bytes);
    }

    void done() const { require(next_ == record_.size(), "transfers beyond what the call allows"); }
    [[nodiscard]] const std::string &err() const { return err_; }
    // The errno of the last failed transfer, as release 1.1's functions return it: -errno.
    [[nodiscard]] int result() const { return -error_; }

  private:
    const sim::RecordedMessage &take(std::uint16_t addr) {
        require(next_ < record_.size(), "a transfer missing");
        const auto &transfer = record_[next_];
        require(transfer.messages.size() == 1, "a transfer of other than one message");
        require(transfer.messages[0].addr == addr, "a message to the wrong address");
        return transfer.messages[0];
    }

    bool succeeded() {
        const int error = record_[next_++].error;
        if (error != 0) {
            err_ += std::string("ioctl(): ") + std::strerror(error) + "\nioctl returned -1\n";
            error_ = error;
        }
        return error == 0;
    }

    const std::vector<sim::RecordedTransfer> &record_;
    std::size_t next_;
    std::string err_;
    int error_ = 0;
};

bool one_line_starting(const std::string &text, const char *prefix) {
    return text.rfind(prefix, 0) == 0 && text.find('\n') == text.size() - 1;
}

std::string raw_lines(const Bytes &image) {
    std::array<char, 96> text{};
    std::snprintf(text.data(), text.size(), "raw value 1:%u %u %u\nraw value 2:%u %u %u\n",
                  image[0], image[1], image[2], image[3], image[4], image[5]);
    return text.data();
}

struct Call {
    int fd;
    std::uint16_t addr;
    FuzzInput &in;
    test::OutputCapture &capture;
};

std::uint16_t pick_address(FuzzInput &in, std::uint16_t device) {
    return (in.byte() & 1U) != 0 ? in.u16() : device;
}

// A buffer of exactly `length` bytes (so that the sanitizer sees any access past it), or
// none at all.
Bytes fuzzed_buffer(FuzzInput &in, std::size_t length) {
    Bytes buffer(length);
    in.fill(buffer);
    return buffer;
}

void call_write(const Call &c) {
    const auto reg = c.in.byte();
    const auto len = c.in.byte();
    const bool null_data = (c.in.byte() & 1U) != 0;
    Bytes data = fuzzed_buffer(c.in, null_data ? 0 : len);
    const auto *pointer = null_data ? nullptr : data.data();
    const std::size_t first = sim::bus().transfers().size();
    int result = 0;
    const auto output =
        c.capture.run([&] { result = kzr_415_write(c.fd, c.addr, reg, pointer, len); });
    require(output.out.empty(), "write printed on stdout");
    Replay replay(sim::bus().transfers(), first);
    if (len > 6 || (null_data && len != 0)) {
        require(result == -1, "refused write returned", std::to_string(result));
        require(one_line_starting(output.err, "kzr_415_write: "), "refusal text", output.err);
    } else {
        Bytes expected{reg};
        expected.insert(expected.end(), data.begin(), data.begin() + (null_data ? 0 : len));
        const bool ok = replay.write(c.addr, expected);
        require(result == (ok ? 0 : -1), "write result");
        require(output.err == replay.err(), "write diagnostics", output.err);
    }
    replay.done();
}

void call_read(const Call &c) {
    const auto reg = c.in.byte();
    const auto len = c.in.byte();
    const bool null_data = (c.in.byte() & 1U) != 0;
    Bytes data = fuzzed_buffer(c.in, null_data ? 0 : len);
    const Bytes before = data;
    auto *pointer = null_data ? nullptr : data.data();
    const std::size_t first = sim::bus().transfers().size();
    int result = 0;
    const auto output =
        c.capture.run([&] { result = kzr_415_read(c.fd, c.addr, reg, pointer, len); });
    require(output.out.empty(), "read printed on stdout");
    Replay replay(sim::bus().transfers(), first);
    if (null_data && len != 0) {
        require(result == -1, "refused read returned", std::to_string(result));
        require(one_line_starting(output.err, "kzr_415_read: "), "refusal text", output.err);
    } else {
        Bytes got;
        const bool ok = replay.register_read(c.addr, reg, len, got);
        require(result == (ok ? 0 : -1), "read result");
        require(!ok || data == got, "read buffer differs from the bytes read");
        require(output.err == replay.err(), "read diagnostics", output.err);
    }
    replay.done();
}

void call_temperature(const Call &c) {
    const auto choice = c.in.byte();
    const int channel = choice < 0x80 ? 1 + choice % 2 : c.in.i32();
    const std::size_t first = sim::bus().transfers().size();
    float result = 0;
    const auto output =
        c.capture.run([&] { result = temperature_reg_read(c.fd, c.addr, channel); });
    Replay replay(sim::bus().transfers(), first);
    Bytes config;
    Bytes image;
    std::string expected_out;
    float expected = -1.0F;
    if (!replay.register_read(c.addr, CONFIGURATION_REG, CONFIGURATION_REG_LENGTH, config)) {
        expected_out = "read configure register err!\n";
    } else if (!replay.register_read(c.addr, TEMPERATURE_REG, TEMPERATURE_REG_LENGTH, image)) {
        expected_out = "read temperature register err!\n";
    } else {
        expected_out = raw_lines(image);
        if (channel == 1 || channel == 2) {
            const auto index = static_cast<std::size_t>(channel - 1);
            const auto *bytes = &image[3 * index];
            expected = decode_temperature(assemble_raw(bytes[0], bytes[1], bytes[2]),
                                          (config[index] & 0x20U) != 0);
        }
    }
    replay.done();
    require(std::bit_cast<std::uint32_t>(result) == std::bit_cast<std::uint32_t>(expected),
            "temperature result");
    require(output.out == expected_out, "readout text", output.out);
    require(output.err == replay.err(), "readout diagnostics", output.err);
}

using Accessor = int (*)(int, std::uint16_t, std::uint8_t *, int);

void call_accessor(const Call &c, Accessor accessor, std::uint8_t reg, std::size_t length) {
    const auto choice = c.in.byte();
    const int rw = choice < 0x60 ? choice % 2 : c.in.i32();
    Bytes data = fuzzed_buffer(c.in, length);
    const Bytes before = data;
    const std::size_t first = sim::bus().transfers().size();
    int result = 0;
    const auto output = c.capture.run([&] { result = accessor(c.fd, c.addr, data.data(), rw); });
    require(output.out.empty(), "accessor printed on stdout");
    Replay replay(sim::bus().transfers(), first);
    if (rw == REG_WRITE) {
        Bytes expected{reg};
        expected.insert(expected.end(), before.begin(), before.end());
        const bool ok = replay.write(c.addr, expected);
        require(result == (ok ? 0 : -1), "accessor write result");
        require(data == before, "a write changed the caller's image");
    } else if (rw == REG_READ) {
        Bytes got;
        const bool ok = replay.register_read(c.addr, reg, static_cast<std::uint16_t>(length), got);
        require(result == (ok ? 0 : -1), "accessor read result");
        require(!ok || data == got, "accessor read buffer");
    } else {
        require(result == 0 && data == before, "unknown direction touched something");
    }
    require(output.err == replay.err(), "accessor diagnostics", output.err);
    replay.done();
}

// A channel and a mode, mostly ones the device has.
std::pair<int, unsigned> pick_channel_and_mode(FuzzInput &in) {
    const auto choice = in.byte();
    const int channel = choice < 0x80 ? 1 + choice % 2 : in.i32();
    const auto mode_choice = in.byte();
    return {channel, mode_choice < 0x80 ? mode_choice % 4U : in.u32()};
}

// An alert-mode change of a mode below 4 replayed: the configuration read, then, for channel
// 1 or 2, both bytes written back with the channel's bits changed. True when every transfer
// made went through.
bool replay_alert_mode(Replay &replay, std::uint16_t addr, int channel, unsigned mode) {
    Bytes config;
    if (!replay.register_read(addr, CONFIGURATION_REG, CONFIGURATION_REG_LENGTH, config)) {
        return false;
    }
    if (channel != 1 && channel != 2) {
        return true;
    }
    const auto index = static_cast<std::size_t>(channel - 1);
    config[index] = static_cast<std::uint8_t>((config[index] & 0xF9U) | (mode << 1U));
    return replay.write(addr, {CONFIGURATION_REG, config[0], config[1]});
}

void call_alert_mode(const Call &c) {
    const auto picked = pick_channel_and_mode(c.in); // no structured binding: lambdas use it
    const int channel = picked.first;
    const unsigned mode = picked.second;
    const std::size_t first = sim::bus().transfers().size();
    int result = 0;
    const auto output =
        c.capture.run([&] { result = alert_mode_set(c.fd, c.addr, channel, mode); });
    require(output.out.empty(), "alert_mode_set printed on stdout");
    Replay replay(sim::bus().transfers(), first);
    if (mode > 3) {
        require(result == -1, "out-of-range mode accepted");
        require(one_line_starting(output.err, "alert_mode_set: "), "refusal text", output.err);
    } else {
        const bool ok = replay_alert_mode(replay, c.addr, channel, mode);
        require(result == (ok ? 0 : -1), "alert_mode_set result");
        require(output.err == replay.err(), "alert_mode_set diagnostics", output.err);
    }
    replay.done();
}

// i2c_close of a descriptor that is not open returns 0 as well; the bus descriptor is then
// closed and opened again.
void call_close(Call &c) {
    const std::int32_t stale = -1 - static_cast<std::int32_t>(c.in.byte());
    require(i2c_close(stale) == 0, "i2c_close of a bad descriptor");
    require(i2c_close(c.fd) == 0, "i2c_close");
    c.fd = i2c_open(node_path);
}

// Release 1.1's calls: the call prints nothing; it returns what the replay says (0, or the
// failed transfer's -errno), with errno that error, or the caller's value after a success.
constexpr int callers_errno = EDOM;

template <class Body>
int quiet_call(const Call &c, Body body) {
    int result = 0;
    int error = 0;
    const auto output = c.capture.run([&] {
        errno = callers_errno;
        result = body();
        error = errno;
    });
    require(output.out.empty() && output.err.empty(), "release 1.1 printed",
            output.out + output.err);
    require(error == (result < 0 ? -result : callers_errno), "errno", std::to_string(error));
    return result;
}

// A register pointer and an image length, mostly ones that go together.
std::pair<std::uint8_t, std::uint8_t> pick_register(FuzzInput &in) {
    const auto choice = in.byte();
    const auto reg = static_cast<std::uint8_t>(choice < 0xC0 ? choice % 4U : in.byte());
    const auto len = static_cast<std::uint8_t>(
        choice < 0xA0 ? (reg == CONFIGURATION_REG ? CONFIGURATION_REG_LENGTH : 6) : in.byte());
    return {reg, len};
}

std::size_t image_length(std::uint8_t reg) {
    return reg == CONFIGURATION_REG ? CONFIGURATION_REG_LENGTH : reg < 4 ? 6 : 0;
}

void call_get_register(const Call &c) {
    const auto picked = pick_register(c.in); // no structured binding: lambdas capture it
    const std::uint8_t reg = picked.first;
    const std::uint8_t len = picked.second;
    const bool null_data = c.in.byte() == 0xFF;
    Bytes data = fuzzed_buffer(c.in, null_data ? 0 : len);
    const Bytes before = data;
    const std::size_t first = sim::bus().transfers().size();
    const int result = quiet_call(c, [&] {
        return kzr_415_get_register(c.fd, c.addr, reg, null_data ? nullptr : data.data(), len);
    });
    Replay replay(sim::bus().transfers(), first);
    if (null_data || image_length(reg) == 0 || len != image_length(reg)) {
        require(result == -EINVAL, "get_register refusal", std::to_string(result));
        require(data == before, "a refused get_register wrote");
    } else {
        Bytes got;
        const bool ok = replay.register_read(c.addr, reg, len, got);
        require(result == (ok ? 0 : replay.result()), "get_register result");
        require(data == (ok ? got : before), "get_register buffer");
    }
    replay.done();
}

void call_set_register(const Call &c) {
    const auto picked = pick_register(c.in); // no structured binding: lambdas capture it
    const std::uint8_t reg = picked.first;
    const std::uint8_t len = picked.second;
    const bool null_data = c.in.byte() == 0xFF;
    Bytes data = fuzzed_buffer(c.in, null_data ? 0 : len);
    const std::size_t first = sim::bus().transfers().size();
    const int result = quiet_call(c, [&] {
        return kzr_415_set_register(c.fd, c.addr, reg, null_data ? nullptr : data.data(), len);
    });
    Replay replay(sim::bus().transfers(), first);
    if (null_data || reg == TEMPERATURE_REG || image_length(reg) == 0 || len != image_length(reg)) {
        require(result == -EINVAL, "set_register refusal", std::to_string(result));
    } else {
        Bytes expected{reg};
        expected.insert(expected.end(), data.begin(), data.end());
        const bool ok = replay.write(c.addr, expected);
        require(result == (ok ? 0 : replay.result()), "set_register result");
    }
    replay.done();
}

void call_set_alert_mode(const Call &c) {
    const auto picked = pick_channel_and_mode(c.in); // no structured binding: lambdas use it
    const int channel = picked.first;
    const unsigned mode = picked.second;
    const std::size_t first = sim::bus().transfers().size();
    const int result =
        quiet_call(c, [&] { return kzr_415_set_alert_mode(c.fd, c.addr, channel, mode); });
    Replay replay(sim::bus().transfers(), first);
    if ((channel != 1 && channel != 2) || mode > 3) {
        require(result == -EINVAL, "set_alert_mode refusal", std::to_string(result));
    } else {
        const bool ok = replay_alert_mode(replay, c.addr, channel, mode);
        require(result == (ok ? 0 : replay.result()), "set_alert_mode result");
    }
    replay.done();
}

void call_read_temperatures(const Call &c) {
    const bool null_celsius = c.in.byte() == 0xFF;
    std::array<float, 2> celsius{std::bit_cast<float>(c.in.u32()),
                                 std::bit_cast<float>(c.in.u32())};
    const auto before = std::bit_cast<std::uint64_t>(celsius);
    const std::size_t first = sim::bus().transfers().size();
    const int result = quiet_call(c, [&] {
        return kzr_415_read_temperatures(c.fd, c.addr, null_celsius ? nullptr : celsius.data());
    });
    Replay replay(sim::bus().transfers(), first);
    Bytes config;
    Bytes image;
    if (null_celsius) {
        require(result == -EINVAL, "read_temperatures refusal", std::to_string(result));
    } else if (replay.register_read(c.addr, CONFIGURATION_REG, CONFIGURATION_REG_LENGTH, config) &&
               replay.register_read(c.addr, TEMPERATURE_REG, TEMPERATURE_REG_LENGTH, image)) {
        require(result == 0, "read_temperatures result");
        for (std::size_t index = 0; index < 2; ++index) {
            const auto *bytes = &image[3 * index];
            const float expected = decode_temperature(assemble_raw(bytes[0], bytes[1], bytes[2]),
                                                      (config[index] & 0x20U) != 0);
            require(std::bit_cast<std::uint32_t>(celsius.at(index)) ==
                        std::bit_cast<std::uint32_t>(expected),
                    "read_temperatures reading");
        }
    } else {
        require(result == replay.result(), "read_temperatures failure");
    }
    if (result != 0) {
        require(std::bit_cast<std::uint64_t>(celsius) == before, "a failed reading wrote");
    }
    replay.done();
}

void call_decode(const Call &c) {
    std::array<std::uint8_t, 3> raw{};
    c.in.fill(raw);
    const auto configuration = c.in.byte();
    const bool null_raw = c.in.byte() == 0xFF;
    const std::size_t first = sim::bus().transfers().size();
    float result = 0;
    int error = 0;
    const auto output = c.capture.run([&] {
        errno = callers_errno;
        result = kzr_415_decode(null_raw ? nullptr : raw.data(), configuration);
        error = errno;
    });
    require(output.out.empty() && output.err.empty() && error == callers_errno,
            "kzr_415_decode printed or changed errno");
    require(sim::bus().transfers().size() == first, "kzr_415_decode made a transfer");
    if (null_raw) {
        require(std::isnan(result), "kzr_415_decode of no bytes");
    } else {
        const float expected =
            decode_temperature(assemble_raw(raw[0], raw[1], raw[2]), (configuration & 0x20U) != 0);
        require(std::bit_cast<std::uint32_t>(result) == std::bit_cast<std::uint32_t>(expected),
                "kzr_415_decode");
    }
}

// kzr_415_close of a descriptor that is not open is -EBADF; the bus descriptor is then
// closed and opened again, close-on-exec.
void call_quiet_close(Call &c) {
    const std::int32_t stale = -1 - static_cast<std::int32_t>(c.in.byte());
    require(quiet_call(c, [&] { return kzr_415_close(stale); }) == -EBADF, "kzr_415_close stale");
    require(quiet_call(c, [&] { return kzr_415_close(c.fd); }) == 0, "kzr_415_close");
    c.fd = quiet_call(c, [] { return kzr_415_open(node_path); });
    require(c.fd >= 0 && (fcntl(c.fd, F_GETFD) & FD_CLOEXEC) != 0, "kzr_415_open");
}

} // namespace
} // namespace kzr415::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace kzr415;
    static test::OutputCapture capture;
    fuzz::FuzzInput in({data, size});

    sim::SimConfig config;
    config.node = fuzz::node_path;
    for (unsigned reg = 0; reg < KZR415_REGISTERS; ++reg) {
        in.fill(sim::image(config.device, reg));
    }
    const auto device = in.byte();
    config.device.absent = (device & 1U) != 0; // every transfer NACKed
    config.device.address =
        (device & 2U) != 0 ? static_cast<std::uint16_t>(in.byte() & 0x7FU) : 0x48;
    if ((device & 4U) != 0) {
        config.device.fault.transfer = 1U + in.byte() % 32U;
        config.device.fault.error = fuzz::bus_errors.at(in.byte() % fuzz::bus_errors.size());
        config.device.fault.onwards = (device & 8U) != 0;
    }
    sim::configure(config);

    fuzz::Call call{i2c_open(fuzz::node_path), 0, in, capture};
    for (std::size_t n = 0; n < fuzz::max_calls && !in.empty(); ++n) {
        const auto op = in.byte() % 14U;
        call.addr = fuzz::pick_address(in, config.device.address);
        switch (op) {
        case 0:
            fuzz::call_write(call);
            break;
        case 1:
            fuzz::call_read(call);
            break;
        case 2:
            fuzz::call_temperature(call);
            break;
        case 3:
            fuzz::call_accessor(call, configurature_reg_control, CONFIGURATION_REG,
                                CONFIGURATION_REG_LENGTH);
            break;
        case 4:
            fuzz::call_accessor(call, t_low_reg_control, T_LOW_REG, T_LOW_REG_LENGTH);
            break;
        case 5:
            fuzz::call_accessor(call, t_high_reg_control, T_HIGH_REG, T_HIGH_REG_LENGTH);
            break;
        case 6:
            fuzz::call_alert_mode(call);
            break;
        case 7:
            fuzz::call_close(call);
            break;
        case 8:
            fuzz::call_get_register(call);
            break;
        case 9:
            fuzz::call_set_register(call);
            break;
        case 10:
            fuzz::call_set_alert_mode(call);
            break;
        case 11:
            fuzz::call_read_temperatures(call);
            break;
        case 12:
            fuzz::call_decode(call);
            break;
        default:
            fuzz::call_quiet_close(call);
            break;
        }
    }
    i2c_close(call.fd);
    return 0;
}
