// The temperature readout through the library: register traffic, raw-value lines, the
// encoding chosen per channel, and every failure point.
#include "bus-fixture.hpp"
#include "worked-values.hpp"

#include <array>
#include <cerrno>
#include <cstdio>

namespace kzr415::test {
namespace {

std::string printed(float value) {
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "%f", static_cast<double>(value));
    return text.data();
}

std::string raw_lines(const Bytes &image) {
    std::array<char, 128> text{};
    std::snprintf(text.data(), text.size(), "raw value 1:%u %u %u\nraw value 2:%u %u %u\n",
                  image[0], image[1], image[2], image[3], image[4], image[5]);
    return text.data();
}

class ReadoutTest : public BusTest, public ::testing::WithParamInterface<int> {};

TEST_P(ReadoutTest, DecodesEveryWorkedValueOnEitherChannel) {
    const int channel = GetParam();
    const auto index = static_cast<std::size_t>(channel - 1);
    for (const auto &value : worked_values) {
        SCOPED_TRACE(value.printed);
        // The other channel holds the opposite encoding and other bytes: neither may leak in.
        const auto temperature = image(KZR415_TEMPERATURE);
        std::fill(temperature.begin(), temperature.end(), 0x55);
        std::copy(value.bytes.begin(), value.bytes.end(),
                  temperature.begin() + KZR415_CHANNEL_LEN * (channel - 1));
        set(KZR415_CONFIGURATION, {0x20, 0x20});
        image(KZR415_CONFIGURATION)[index] = value.sign_magnitude ? 0x1C | 0x20 : 0x1C;
        const auto before = bytes(KZR415_TEMPERATURE);

        float result = 0;
        const auto output =
            capture_output([&] { result = temperature_reg_read(fd, device_address, channel); });
        EXPECT_EQ(printed(result), value.printed);
        EXPECT_EQ(output.out, raw_lines(before));
        EXPECT_EQ(output.err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(BothChannels, ReadoutTest, ::testing::Values(1, 2));

using ReadoutTraffic = BusTest;

TEST_F(ReadoutTraffic, ReadsConfigurationThenTemperatureInFourTransfers) {
    set(KZR415_TEMPERATURE, {0x03, 0x20, 0x00, 0x03, 0x30, 0x00});
    set(KZR415_CONFIGURATION, {0x18, 0x18});
    capture_output([&] { EXPECT_EQ(temperature_reg_read(fd, device_address, 2), 25.499712F); });
    EXPECT_EQ(trace(),
              (std::vector<std::string>{"W 0x48 [01]", "R 0x48 2 -> [18 18]", "W 0x48 [00]",
                                        "R 0x48 6 -> [03 20 00 03 30 00]"}));
}

TEST_F(ReadoutTraffic, AnUnknownChannelStillReadsAndPrintsBothChannels) {
    set(KZR415_TEMPERATURE, {1, 2, 3, 250, 251, 252});
    for (const int channel : {0, 3, -1}) {
        sim::bus().clear_record();
        float result = 0;
        const auto output =
            capture_output([&] { result = temperature_reg_read(fd, device_address, channel); });
        EXPECT_EQ(result, -1.0F);
        EXPECT_EQ(output.out, "raw value 1:1 2 3\nraw value 2:250 251 252\n");
        EXPECT_EQ(transfers().size(), 4U);
    }
}

struct FailurePoint {
    unsigned transfer; // which of the four transfers fails
    const char *message;
    std::size_t transfers_made;
};

class ReadoutFailure : public BusTest, public ::testing::WithParamInterface<FailurePoint> {};

TEST_P(ReadoutFailure, PrintsOneMessageAndReturnsMinusOne) {
    const auto point = GetParam();
    fail_transfer(point.transfer, EIO);
    float result = 0;
    const auto output =
        capture_output([&] { result = temperature_reg_read(fd, device_address, 1); });
    EXPECT_EQ(result, -1.0F);
    EXPECT_EQ(output.out, point.message);
    EXPECT_EQ(output.err, "ioctl(): Input/output error\nioctl returned -1\n");
    EXPECT_EQ(transfers().size(), point.transfers_made);
}

INSTANTIATE_TEST_SUITE_P(EachTransfer, ReadoutFailure,
                         ::testing::Values(FailurePoint{1, "read configure register err!\n", 1},
                                           FailurePoint{2, "read configure register err!\n", 2},
                                           FailurePoint{3, "read temperature register err!\n", 3},
                                           FailurePoint{4, "read temperature register err!\n", 4}),
                         [](const ::testing::TestParamInfo<FailurePoint> &param_info) {
                             return "transfer" + std::to_string(param_info.param.transfer);
                         });

} // namespace
} // namespace kzr415::test
