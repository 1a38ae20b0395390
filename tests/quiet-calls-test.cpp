// Release 1.1's calls on the emulated bus: their transfers, their values, every error they
// return (and errno with it), and not one byte printed.
#include "bus-fixture.hpp"
#include "worked-values.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <functional>

#include <fcntl.h>

namespace kzr415::test {
namespace {

constexpr int untouched_errno = EDOM; // what the caller left in errno
constexpr std::uint16_t no_one = 0x49;

std::uint32_t bits(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

class QuietCalls : public BusTest {
  protected:
    // Runs `call` with errno at untouched_errno; it must print nothing. Its result.
    template <class Call>
    static auto quietly(Call call) {
        decltype(call()) result{};
        const auto output = capture_output([&] {
            errno = untouched_errno;
            result = call();
        });
        EXPECT_EQ(output.out, "");
        EXPECT_EQ(output.err, "");
        return result;
    }
    // A success: 0, errno as the caller left it.
    template <class Call>
    static void expect_success(Call call) {
        EXPECT_EQ(quietly([&] { return std::pair(call(), errno); }), std::pair(0, untouched_errno));
    }
    // A failure: -error returned, errno `error`.
    template <class Call>
    static void expect_error(int error, Call call) {
        EXPECT_EQ(quietly([&] { return std::pair(call(), errno); }), std::pair(-error, error));
    }
};

TEST_F(QuietCalls, ReadTemperaturesDecodesBothChannelsInFourTransfers) {
    // Channel 1 takes each worked value in its encoding, channel 2 another one in its own.
    for (std::size_t i = 0; i < worked_values.size(); ++i) {
        const auto &one = worked_values[i];
        const auto &two = worked_values[(i + 3) % worked_values.size()];
        SCOPED_TRACE(std::string(one.printed) + " and " + two.printed);
        std::copy(one.bytes.begin(), one.bytes.end(), image(KZR415_TEMPERATURE).begin());
        std::copy(two.bytes.begin(), two.bytes.end(),
                  image(KZR415_TEMPERATURE).begin() + KZR415_CHANNEL_LEN);
        set(KZR415_CONFIGURATION, {static_cast<std::uint8_t>(one.sign_magnitude ? 0x3C : 0x1C),
                                   static_cast<std::uint8_t>(two.sign_magnitude ? 0xE6 : 0xC6)});
        sim::bus().clear_record();
        std::array<float, 2> celsius{};
        expect_success(
            [&] { return kzr_415_read_temperatures(fd, device_address, celsius.data()); });
        EXPECT_EQ(bits(celsius[0]), bits(one.value));
        EXPECT_EQ(bits(celsius[1]), bits(two.value));
        EXPECT_EQ(transfers().size(), 4U);
    }
    EXPECT_EQ(trace(),
              (std::vector<std::string>{"W 0x48 [01]", "R 0x48 2 -> [3c c6]", "W 0x48 [00]",
                                        "R 0x48 6 -> [01 ff e0 fc e0 00]"}));
}

TEST_F(QuietCalls, OneDecodeServesEveryReadingOfBothReleases) {
    // Raw values across the whole 24-bit range, each channel with other bits of its
    // configuration byte set beside bit 5.
    for (std::uint32_t raw = 0; raw < (1U << 24U); raw += 65521) {
        const std::uint32_t other = raw ^ 0xA5C3E1U;
        const std::array<std::uint8_t, 2> config{static_cast<std::uint8_t>(raw & 0xFFU),
                                                 static_cast<std::uint8_t>(other & 0xFFU)};
        const Bytes image{
            static_cast<std::uint8_t>(raw >> 16U),  static_cast<std::uint8_t>(raw >> 8U),
            static_cast<std::uint8_t>(raw),         static_cast<std::uint8_t>(other >> 16U),
            static_cast<std::uint8_t>(other >> 8U), static_cast<std::uint8_t>(other)};
        set(KZR415_TEMPERATURE, image);
        set(KZR415_CONFIGURATION, {config.begin(), config.end()});
        std::array<float, 2> celsius{};
        ASSERT_EQ(kzr_415_read_temperatures(fd, device_address, celsius.data()), 0);
        for (int channel = 1; channel <= 2; ++channel) {
            const auto index = static_cast<std::size_t>(channel - 1);
            float reading = 0;
            capture_output([&] { reading = temperature_reg_read(fd, device_address, channel); });
            const float decoded = kzr_415_decode(&image.at(3 * index), config.at(index));
            ASSERT_EQ(bits(celsius.at(index)), bits(reading)) << std::hex << raw << " " << channel;
            ASSERT_EQ(bits(decoded), bits(reading)) << std::hex << raw << " " << channel;
        }
    }
    errno = untouched_errno;
    EXPECT_TRUE(std::isnan(kzr_415_decode(nullptr, 0)));
    EXPECT_EQ(errno, untouched_errno);
}

TEST_F(QuietCalls, GetAndSetRegisterMoveWholeImages) {
    set(KZR415_TEMPERATURE, {1, 2, 3, 4, 5, 6});
    set(KZR415_CONFIGURATION, {0x1C, 0x3C});
    set(KZR415_T_LOW, {0x80, 0, 0, 0x80, 0, 1});
    set(KZR415_T_HIGH, {0x7F, 0xFF, 0xFF, 0x7F, 0xFF, 0xFE});
    Bytes image(6);
    expect_success([&] { return kzr_415_get_register(fd, device_address, 0x00, image.data(), 6); });
    EXPECT_EQ(image, bytes(KZR415_TEMPERATURE));
    expect_success([&] { return kzr_415_get_register(fd, device_address, 0x01, image.data(), 2); });
    EXPECT_EQ(image, (Bytes{0x1C, 0x3C, 3, 4, 5, 6}));
    expect_success([&] { return kzr_415_get_register(fd, device_address, 0x02, image.data(), 6); });
    EXPECT_EQ(image, bytes(KZR415_T_LOW));
    expect_success([&] { return kzr_415_get_register(fd, device_address, 0x03, image.data(), 6); });
    EXPECT_EQ(image, bytes(KZR415_T_HIGH));
    expect_success([&] { return kzr_415_set_register(fd, device_address, 0x01, image.data(), 2); });
    expect_success([&] { return kzr_415_set_register(fd, device_address, 0x02, image.data(), 6); });
    EXPECT_EQ(bytes(KZR415_T_LOW), bytes(KZR415_T_HIGH));
    EXPECT_EQ(trace(), (std::vector<std::string>{
                           "W 0x48 [00]", "R 0x48 6 -> [01 02 03 04 05 06]", "W 0x48 [01]",
                           "R 0x48 2 -> [1c 3c]", "W 0x48 [02]", "R 0x48 6 -> [80 00 00 80 00 01]",
                           "W 0x48 [03]", "R 0x48 6 -> [7f ff ff 7f ff fe]", "W 0x48 [01 7f ff]",
                           "W 0x48 [02 7f ff ff 7f ff fe]"}));
}

TEST_F(QuietCalls, SetAlertModeChangesOneChannelsBitsByReadModifyWrite) {
    set(KZR415_CONFIGURATION, {0xFF, 0x20});
    expect_success([&] { return kzr_415_set_alert_mode(fd, device_address, 1, 2); });
    expect_success([&] { return kzr_415_set_alert_mode(fd, device_address, 2, 3); });
    EXPECT_EQ(bytes(KZR415_CONFIGURATION), (Bytes{0xFD, 0x26}));
    EXPECT_EQ(trace(), (std::vector<std::string>{"W 0x48 [01]", "R 0x48 2 -> [ff 20]",
                                                 "W 0x48 [01 fd 20]", "W 0x48 [01]",
                                                 "R 0x48 2 -> [fd 20]", "W 0x48 [01 fd 26]"}));
}

TEST_F(QuietCalls, WhatCannotBeDoneIsEinvalBeforeAnyTrafficWithBuffersUntouched) {
    std::array<std::uint8_t, 8> buffer{9, 9, 9, 9, 9, 9, 9, 9};
    const std::vector<std::function<int()>> refused{
        [&] { return kzr_415_get_register(fd, device_address, 0x04, buffer.data(), 6); },
        [&] { return kzr_415_get_register(fd, device_address, 0xFF, buffer.data(), 2); },
        [&] { return kzr_415_get_register(fd, device_address, 0x00, buffer.data(), 7); },
        [&] { return kzr_415_get_register(fd, device_address, 0x01, buffer.data(), 6); },
        [&] { return kzr_415_get_register(fd, device_address, 0x02, buffer.data(), 0); },
        [&] { return kzr_415_get_register(fd, device_address, 0x03, nullptr, 6); },
        [&] { return kzr_415_set_register(fd, device_address, 0x00, buffer.data(), 6); },
        [&] { return kzr_415_set_register(fd, device_address, 0x04, buffer.data(), 2); },
        [&] { return kzr_415_set_register(fd, device_address, 0x01, buffer.data(), 3); },
        [&] { return kzr_415_set_register(fd, device_address, 0x03, buffer.data(), 255); },
        [&] { return kzr_415_set_register(fd, device_address, 0x02, nullptr, 6); },
        [&] { return kzr_415_set_alert_mode(fd, device_address, 0, 1); },
        [&] { return kzr_415_set_alert_mode(fd, device_address, 3, 1); },
        [&] { return kzr_415_set_alert_mode(fd, device_address, -1, 1); },
        [&] { return kzr_415_set_alert_mode(fd, device_address, 1, 4); },
        [&] { return kzr_415_set_alert_mode(fd, device_address, 2, UINT_MAX); },
        [&] { return kzr_415_read_temperatures(fd, device_address, nullptr); },
        [&] { return kzr_415_open(nullptr); },
    };
    for (std::size_t i = 0; i < refused.size(); ++i) {
        SCOPED_TRACE("refusal " + std::to_string(i));
        expect_error(EINVAL, refused[i]);
    }
    EXPECT_EQ(buffer, (decltype(buffer){9, 9, 9, 9, 9, 9, 9, 9}));
    EXPECT_TRUE(transfers().empty());
}

TEST_F(QuietCalls, EachFailedTransferIsReturnedAndEndsTheCall) {
    std::array<std::uint8_t, 6> buffer{9, 9, 9, 9, 9, 9};
    std::array<float, 2> celsius{7, 7};
    struct Case {
        std::function<int(std::uint16_t)> call;
        unsigned transfers; // what the call makes when none fails
    };
    const std::vector<Case> cases{
        {[&](std::uint16_t at) { return kzr_415_get_register(fd, at, 0x00, buffer.data(), 6); }, 2},
        {[&](std::uint16_t at) { return kzr_415_set_register(fd, at, 0x02, buffer.data(), 6); }, 1},
        {[&](std::uint16_t at) { return kzr_415_set_alert_mode(fd, at, 2, 1); }, 3},
        {[&](std::uint16_t at) { return kzr_415_read_temperatures(fd, at, celsius.data()); }, 4},
    };
    const std::array<int, 4> errors{EIO, ETIMEDOUT, EREMOTEIO, EPROTO};
    for (std::size_t c = 0; c < cases.size(); ++c) {
        for (unsigned k = 1; k <= cases[c].transfers; ++k) {
            SCOPED_TRACE("call " + std::to_string(c) + ", transfer " + std::to_string(k));
            sim::bus().clear_record();
            fail_transfer(k, errors.at(k - 1));
            expect_error(errors.at(k - 1), [&] { return cases[c].call(device_address); });
            EXPECT_EQ(transfers().size(), k);
        }
        SCOPED_TRACE("call " + std::to_string(c) + ", nobody at the address");
        sim::bus().clear_record();
        expect_error(ENXIO, [&] { return cases[c].call(no_one); });
        EXPECT_EQ(trace().size(), 1U);
    }
    EXPECT_EQ(buffer, (decltype(buffer){9, 9, 9, 9, 9, 9}));
    EXPECT_EQ(celsius, (decltype(celsius){7, 7}));
}

TEST_F(QuietCalls, OpenIsCloseOnExecAndOpenAndCloseReturnTheirErrors) {
    set(KZR415_TEMPERATURE, {0x03, 0x20, 0x00, 0x02, 0xA0, 0x00}); // 25.0 and 21.0
    const int own = quietly([&] { return kzr_415_open("/dev/i2c-4"); });
    ASSERT_GE(own, 0);
    EXPECT_EQ(errno, untouched_errno);
    EXPECT_NE(fcntl(own, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(fcntl(own, F_GETFL) & O_ACCMODE, O_RDWR);
    std::array<float, 2> celsius{};
    expect_success([&] { return kzr_415_read_temperatures(own, device_address, celsius.data()); });
    EXPECT_EQ(celsius, (std::array<float, 2>{25.0F, 21.0F}));
    expect_success([&] { return kzr_415_close(own); });
    expect_error(EBADF, [&] { return kzr_415_close(own); });

    sim::SimConfig config;
    config.node_present = false;
    sim::configure(config);
    expect_error(ENOENT, [&] { return kzr_415_open("/dev/i2c-4"); });
    sim::configure(sim::SimConfig{});
}

} // namespace
} // namespace kzr415::test
