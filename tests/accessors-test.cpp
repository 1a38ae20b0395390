// The register accessors and the alert mode's read-modify-write.
#include "bus-fixture.hpp"

#include <array>
#include <cerrno>
#include <cstdio>

namespace kzr415::test {
namespace {

using AccessorTest = BusTest;
using Accessor = int (*)(int, std::uint16_t, std::uint8_t *, int);

struct AccessorCase {
    Accessor function;
    std::uint8_t pointer;
    std::size_t length;
};

constexpr std::array<AccessorCase, 3> accessors{{
    {configurature_reg_control, CONFIGURATION_REG, CONFIGURATION_REG_LENGTH},
    {t_low_reg_control, T_LOW_REG, T_LOW_REG_LENGTH},
    {t_high_reg_control, T_HIGH_REG, T_HIGH_REG_LENGTH},
}};

TEST_F(AccessorTest, WriteSendsTheWholeImageToItsRegister) {
    std::array<std::uint8_t, T_LOW_REG_LENGTH> image{0x80, 0x00, 0x00, 0x80, 0x00, 0x01};
    for (const auto &accessor : accessors) {
        sim::bus().clear_record();
        EXPECT_EQ(accessor.function(fd, device_address, image.data(), REG_WRITE), 0);
        ASSERT_EQ(transfers().size(), 1U);
        Bytes expected{accessor.pointer};
        expected.insert(expected.end(), image.begin(),
                        image.begin() + static_cast<std::ptrdiff_t>(accessor.length));
        EXPECT_EQ(transfers()[0].messages.at(0).bytes, expected);
    }
    EXPECT_EQ(bytes(KZR415_CONFIGURATION), (Bytes{0x80, 0x00}));
    EXPECT_EQ(bytes(KZR415_T_LOW), Bytes(image.begin(), image.end()));
    EXPECT_EQ(bytes(KZR415_T_HIGH), Bytes(image.begin(), image.end()));
}

TEST_F(AccessorTest, ReadFillsTheCallersBufferFromItsRegister) {
    set(KZR415_T_HIGH, {0x7F, 0xFF, 0xFF, 0x01, 0x02, 0x03});
    std::array<std::uint8_t, T_HIGH_REG_LENGTH> image{};
    EXPECT_EQ(t_high_reg_control(fd, device_address, image.data(), REG_READ), 0);
    EXPECT_EQ(Bytes(image.begin(), image.end()), bytes(KZR415_T_HIGH));
    EXPECT_EQ(trace(),
              (std::vector<std::string>{"W 0x48 [03]", "R 0x48 6 -> [7f ff ff 01 02 03]"}));
}

TEST_F(AccessorTest, AnUnknownDirectionTouchesNeitherBusNorBuffer) {
    for (const auto &accessor : accessors) {
        for (const int rw : {2, -1, 1000}) {
            std::array<std::uint8_t, T_LOW_REG_LENGTH> image{1, 2, 3, 4, 5, 6};
            EXPECT_EQ(accessor.function(fd, device_address, image.data(), rw), 0);
            EXPECT_EQ(image, (decltype(image){1, 2, 3, 4, 5, 6}));
        }
    }
    EXPECT_TRUE(transfers().empty());
}

TEST_F(AccessorTest, AFailedTransferBecomesMinusOne) {
    std::array<std::uint8_t, T_LOW_REG_LENGTH> image{};
    for (const auto &accessor : accessors) {
        for (const int rw : {REG_WRITE, REG_READ}) {
            fail_transfer(1, ENXIO);
            capture_output(
                [&] { EXPECT_EQ(accessor.function(fd, device_address, image.data(), rw), -1); });
            if (rw == REG_READ) {
                fail_transfer(2, EIO);
                capture_output([&] {
                    EXPECT_EQ(accessor.function(fd, device_address, image.data(), rw), -1);
                });
            }
        }
    }
}

struct AlertCase {
    std::array<std::uint8_t, CONFIGURATION_REG_LENGTH> before;
    int channel;
    unsigned mode;
    std::array<std::uint8_t, CONFIGURATION_REG_LENGTH> after;
};

std::string alert_case_name(const ::testing::TestParamInfo<AlertCase> &param_info) {
    const auto &c = param_info.param;
    std::array<char, 48> name{};
    std::snprintf(name.data(), name.size(), "channel%d_mode%u_from_%02x%02x", c.channel, c.mode,
                  c.before[0], c.before[1]);
    return name.data();
}

class AlertModeTest : public BusTest, public ::testing::WithParamInterface<AlertCase> {};

TEST_P(AlertModeTest, ChangesOnlyTheChannelsModeBits) {
    const auto c = GetParam();
    set(KZR415_CONFIGURATION, {c.before[0], c.before[1]});
    EXPECT_EQ(alert_mode_set(fd, device_address, c.channel, c.mode), 0);
    ASSERT_EQ(transfers().size(), 3U);
    EXPECT_EQ(transfers()[2].messages.at(0).bytes, (Bytes{0x01, c.after[0], c.after[1]}));
    EXPECT_EQ(bytes(KZR415_CONFIGURATION), (Bytes{c.after[0], c.after[1]}));
}

INSTANTIATE_TEST_SUITE_P(Cases, AlertModeTest,
                         ::testing::Values(AlertCase{{0x1C, 0x1C}, 1, 0, {0x18, 0x1C}},
                                           AlertCase{{0x18, 0x1C}, 2, 0, {0x18, 0x18}},
                                           AlertCase{{0x20, 0x06}, 2, 1, {0x20, 0x02}},
                                           AlertCase{{0x00, 0x00}, 1, 3, {0x06, 0x00}},
                                           AlertCase{{0xFF, 0xFF}, 1, 2, {0xFD, 0xFF}},
                                           AlertCase{{0xFF, 0xFF}, 2, 0, {0xFF, 0xF9}}),
                         alert_case_name);

using AlertModeRefusal = BusTest;

TEST_F(AlertModeRefusal, AnUnknownChannelReadsButNeverWrites) {
    set(KZR415_CONFIGURATION, {0x1C, 0x1C});
    EXPECT_EQ(alert_mode_set(fd, device_address, 5, 3), 0);
    EXPECT_EQ(trace(), (std::vector<std::string>{"W 0x48 [01]", "R 0x48 2 -> [1c 1c]"}));
}

TEST_F(AlertModeRefusal, AModeWiderThanTwoBitsIsRefusedBeforeAnyTraffic) {
    set(KZR415_CONFIGURATION, {0x00, 0x00});
    const auto output = capture_output([&] {
        EXPECT_EQ(alert_mode_set(fd, device_address, 1, 4), -1);
        EXPECT_EQ(alert_mode_set(fd, device_address, 2, 0xFFFFFFFFU), -1);
    });
    EXPECT_EQ(output.err, "alert_mode_set: mode 4 out of range 0-3\n"
                          "alert_mode_set: mode 4294967295 out of range 0-3\n");
    EXPECT_TRUE(transfers().empty());
    EXPECT_EQ(bytes(KZR415_CONFIGURATION), (Bytes{0x00, 0x00}));
}

TEST_F(AlertModeRefusal, AFailedReadLeavesTheDeviceUntouched) {
    set(KZR415_CONFIGURATION, {0x1C, 0x1C});
    for (const unsigned failing : {1U, 2U}) {
        sim::bus().clear_record();
        fail_transfer(failing, EIO);
        capture_output([&] { EXPECT_EQ(alert_mode_set(fd, device_address, 1, 0), -1); });
        EXPECT_EQ(transfers().size(), failing);
    }
    EXPECT_EQ(bytes(KZR415_CONFIGURATION), (Bytes{0x1C, 0x1C}));
}

TEST_F(AlertModeRefusal, AFailedWriteBackIsMinusOne) {
    fail_transfer(3, EAGAIN);
    const auto output =
        capture_output([&] { EXPECT_EQ(alert_mode_set(fd, device_address, 2, 1), -1); });
    EXPECT_EQ(output.err, "ioctl(): Resource temporarily unavailable\nioctl returned -1\n");
}

} // namespace
} // namespace kzr415::test
