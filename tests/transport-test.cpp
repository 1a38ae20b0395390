// The transport: exact I2C_RDWR messages, one transfer per write and two per read, and the
// diagnostics of a failed transfer.
#include "bus-fixture.hpp"

#include <linux/i2c.h>

#include <array>
#include <cerrno>

namespace kzr415::test {
namespace {

using TransportTest = BusTest;

TEST_F(TransportTest, WriteSendsOneMessageWithPointerAndImage) {
    const std::array<std::uint8_t, CONFIGURATION_REG_LENGTH> image{0x1C, 0x1C};
    EXPECT_EQ(kzr_415_write(fd, device_address, CONFIGURATION_REG, image.data(),
                            CONFIGURATION_REG_LENGTH),
              0);

    ASSERT_EQ(transfers().size(), 1U);
    ASSERT_EQ(transfers()[0].messages.size(), 1U);
    const auto &message = transfers()[0].messages[0];
    EXPECT_EQ(message.addr, 0x48);
    EXPECT_EQ(message.flags, 0);
    EXPECT_EQ(message.length, 3);
    EXPECT_EQ(message.bytes, (Bytes{0x01, 0x1C, 0x1C}));
    EXPECT_EQ(bytes(KZR415_CONFIGURATION), (Bytes{0x1C, 0x1C}));
}

TEST_F(TransportTest, WriteOfSixBytesCarriesAllSevenOnTheWire) {
    const std::array<std::uint8_t, T_HIGH_REG_LENGTH> image{0x7F, 0xFF, 0xFF, 0x80, 0x00, 0x01};
    EXPECT_EQ(kzr_415_write(fd, device_address, T_HIGH_REG, image.data(), T_HIGH_REG_LENGTH), 0);
    EXPECT_EQ(trace(), (std::vector<std::string>{"W 0x48 [03 7f ff ff 80 00 01]"}));
}

TEST_F(TransportTest, EmptyWriteSendsThePointerAloneAndNeverReadsData) {
    // A pointer that would fault if read: a count of 0 must not touch it.
    const auto *poison = reinterpret_cast<const std::uint8_t *>(alignof(std::max_align_t));
    EXPECT_EQ(kzr_415_write(fd, device_address, T_LOW_REG, poison, 0), 0);
    EXPECT_EQ(kzr_415_write(fd, device_address, TEMPERATURE_REG, nullptr, 0), 0);
    EXPECT_EQ(trace(), (std::vector<std::string>{"W 0x48 [02]", "W 0x48 [00]"}));
}

TEST_F(TransportTest, ReadIsAPointerWriteThenASeparateReadMessage) {
    set(KZR415_TEMPERATURE, {0x03, 0x20, 0x00, 0xFC, 0xE0, 0x00});
    std::array<std::uint8_t, TEMPERATURE_REG_LENGTH> image{};
    EXPECT_EQ(
        kzr_415_read(fd, device_address, TEMPERATURE_REG, image.data(), TEMPERATURE_REG_LENGTH), 0);

    ASSERT_EQ(transfers().size(), 2U);
    ASSERT_EQ(transfers()[0].messages.size(), 1U);
    ASSERT_EQ(transfers()[1].messages.size(), 1U);
    EXPECT_EQ(transfers()[0].messages[0].bytes, Bytes{0x00});
    EXPECT_EQ(transfers()[0].messages[0].flags, 0);
    const auto &read = transfers()[1].messages[0];
    EXPECT_EQ(read.addr, 0x48);
    EXPECT_EQ(read.flags, I2C_M_RD);
    EXPECT_EQ(read.length, 6);
    EXPECT_EQ(image, (decltype(image){0x03, 0x20, 0x00, 0xFC, 0xE0, 0x00}));
}

// A failed transfer of a register write or read: the system's error and the result on
// standard error, nothing more, no transfer after it, the caller's buffer as it was.
struct TransferFailure {
    const char *name;
    unsigned transfer; // the one that fails, from 1
    int error;
    const char *text; // the system's text of `error`
    bool read;        // kzr_415_read: the pointer write, then the read; else kzr_415_write
};

class TransportFailure : public BusTest, public ::testing::WithParamInterface<TransferFailure> {};

TEST_P(TransportFailure, PrintsTheSystemErrorAndTheResultAndStops) {
    const auto &c = GetParam();
    fail_transfer(c.transfer, c.error);
    std::array<std::uint8_t, CONFIGURATION_REG_LENGTH> image{0xAA, 0xBB};
    int result = 0;
    const auto output = capture_output([&] {
        result = c.read ? kzr_415_read(fd, device_address, CONFIGURATION_REG, image.data(),
                                       CONFIGURATION_REG_LENGTH)
                        : kzr_415_write(fd, device_address, CONFIGURATION_REG, image.data(),
                                        CONFIGURATION_REG_LENGTH);
    });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(output.err, std::string("ioctl(): ") + c.text + "\nioctl returned -1\n");
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(transfers().size(), c.transfer);
    EXPECT_EQ(image, (decltype(image){0xAA, 0xBB})); // as the kernel leaves a failed read's
}

INSTANTIATE_TEST_SUITE_P(
    EachTransfer, TransportFailure,
    ::testing::Values(TransferFailure{"write", 1, EIO, "Input/output error", false},
                      TransferFailure{"pointer_write", 1, ETIMEDOUT, "Connection timed out", true},
                      TransferFailure{"read_half", 2, EREMOTEIO, "Remote I/O error", true}),
    [](const auto &test) { return std::string(test.param.name); });

TEST_F(TransportTest, AnAbsentDeviceIsANackAtEveryTransfer) {
    std::array<std::uint8_t, CONFIGURATION_REG_LENGTH> image{};
    const auto output = capture_output([&] {
        EXPECT_EQ(kzr_415_read(fd, 0x49, CONFIGURATION_REG, image.data(), CONFIGURATION_REG_LENGTH),
                  -1);
    });
    EXPECT_EQ(output.err, "ioctl(): No such device or address\nioctl returned -1\n");
    EXPECT_EQ(trace(), (std::vector<std::string>{"W 0x49 [01] FAILED ENXIO"}));
}

TEST_F(TransportTest, RequestsThatCannotBeCarriedAreRefusedBeforeAnyTraffic) {
    const std::array<std::uint8_t, 8> big{};
    const auto output = capture_output([&] {
        EXPECT_EQ(kzr_415_write(fd, device_address, T_LOW_REG, big.data(), 7), -1);
        EXPECT_EQ(kzr_415_write(fd, device_address, T_LOW_REG, big.data(), 255), -1);
        EXPECT_EQ(kzr_415_write(fd, device_address, T_LOW_REG, nullptr, 2), -1);
        EXPECT_EQ(kzr_415_read(fd, device_address, T_LOW_REG, nullptr, 6), -1);
    });
    EXPECT_TRUE(transfers().empty());
    EXPECT_EQ(output.err, "kzr_415_write: 7 data bytes exceed the 6-byte register image\n"
                          "kzr_415_write: 255 data bytes exceed the 6-byte register image\n"
                          "kzr_415_write: no data buffer for 2 bytes\n"
                          "kzr_415_read: no data buffer for 6 bytes\n");
}

TEST_F(TransportTest, CloseReturnsZeroEvenForADescriptorThatIsNotOpen) {
    EXPECT_EQ(i2c_close(-1), 0);
    EXPECT_EQ(i2c_close(1'000'000), 0);
}

TEST(OpenTest, AMissingNodeEndsTheProcessWithStatusOne) {
    sim::SimConfig config;
    config.node_present = false;
    sim::configure(config);
    EXPECT_EXIT(i2c_open("/dev/i2c-4"), ::testing::ExitedWithCode(1),
                "^Could not open i2c at /dev/i2c-4\n/dev/i2c-4: No such file or directory\n$");
    sim::configure(sim::SimConfig{});
}

} // namespace
} // namespace kzr415::test
