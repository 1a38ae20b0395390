// errno after a failure: the failed transfer's error, or EINVAL for a refused request, even
// when printing the diagnostics fails. Here they go to /dev/full, where every write fails
// with ENOSPC, so a library that let its printing set errno shows ENOSPC instead.
#include "bus-fixture.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace kzr415::test {
namespace {

// Points descriptors 1 and 2 at /dev/full, with standard output unbuffered so that puts()
// fails at once, for the life of the object.
class PrintingFails {
  public:
    PrintingFails() {
        std::fflush(stdout);
        std::fflush(stderr);
        const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
        saved_out_ = dup(STDOUT_FILENO);
        saved_err_ = dup(STDERR_FILENO);
        if (full < 0 || saved_out_ < 0 || saved_err_ < 0 || dup2(full, STDOUT_FILENO) < 0 ||
            dup2(full, STDERR_FILENO) < 0) {
            throw std::runtime_error("cannot point the standard streams at /dev/full");
        }
        close(full);
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    }
    PrintingFails(const PrintingFails &) = delete;
    PrintingFails &operator=(const PrintingFails &) = delete;
    ~PrintingFails() {
        std::clearerr(stdout);
        std::clearerr(stderr);
        dup2(saved_out_, STDOUT_FILENO);
        dup2(saved_err_, STDERR_FILENO);
        close(saved_out_);
        close(saved_err_);
        std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    }

  private:
    int saved_out_ = -1;
    int saved_err_ = -1;
};

using ErrnoTest = BusTest;

TEST_F(ErrnoTest, AFailedTransferLeavesItsOwnErrorWhateverThePrintingDid) {
    const std::array<std::uint8_t, 2> image{0x1C, 0x1C};
    std::array<std::uint8_t, 6> buffer{};
    int write_result = 0;
    int write_error = 0;
    int read_result = 0;
    int read_error = 0;
    {
        const PrintingFails printing;
        fail_transfer(1, ETIMEDOUT);
        errno = 0;
        write_result = kzr_415_write(fd, device_address, CONFIGURATION_REG, image.data(), 2);
        write_error = errno;
        fail_transfer(2, EREMOTEIO); // the read half, after a good pointer write
        errno = 0;
        read_result = kzr_415_read(fd, device_address, T_LOW_REG, buffer.data(), 6);
        read_error = errno;
    }
    EXPECT_EQ(write_result, -1);
    EXPECT_EQ(write_error, ETIMEDOUT);
    EXPECT_EQ(read_result, -1);
    EXPECT_EQ(read_error, EREMOTEIO);
}

TEST_F(ErrnoTest, AFailedReadoutLeavesTheTransferErrorNotTheMessageOne) {
    float configuration_failed = 0;
    int configuration_error = 0;
    float temperature_failed = 0;
    int temperature_error = 0;
    {
        const PrintingFails printing;
        fail_transfer(1, EIO); // the configuration register's pointer write
        configuration_failed = temperature_reg_read(fd, device_address, 1);
        configuration_error = errno;
        fail_transfer(4, ETIMEDOUT); // the temperature register's read half
        temperature_failed = temperature_reg_read(fd, device_address, 2);
        temperature_error = errno;
    }
    EXPECT_EQ(configuration_failed, -1.0F);
    EXPECT_EQ(configuration_error, EIO);
    EXPECT_EQ(temperature_failed, -1.0F);
    EXPECT_EQ(temperature_error, ETIMEDOUT);
}

TEST_F(ErrnoTest, NoDeviceAtTheAddressIsEnxioThroughEveryLayer) {
    std::array<std::uint8_t, 6> image{};
    int accessor_error = 0;
    int alert_error = 0;
    {
        const PrintingFails printing;
        EXPECT_EQ(t_high_reg_control(fd, device_address + 1, image.data(), REG_READ), -1);
        accessor_error = errno;
        EXPECT_EQ(alert_mode_set(fd, device_address + 1, 1, 0), -1);
        alert_error = errno;
    }
    EXPECT_EQ(accessor_error, ENXIO);
    EXPECT_EQ(alert_error, ENXIO);
}

TEST_F(ErrnoTest, ARefusedRequestIsEinvalWithNoBusTraffic) {
    const std::array<std::uint8_t, 7> seven{};
    std::array<int, 3> errors{};
    {
        const PrintingFails printing;
        EXPECT_EQ(kzr_415_write(fd, device_address, T_LOW_REG, seven.data(), 7), -1);
        errors[0] = errno;
        EXPECT_EQ(kzr_415_read(fd, device_address, T_LOW_REG, nullptr, 6), -1);
        errors[1] = errno;
        EXPECT_EQ(alert_mode_set(fd, device_address, 1, 4), -1);
        errors[2] = errno;
    }
    EXPECT_EQ(errors, (std::array<int, 3>{EINVAL, EINVAL, EINVAL}));
    EXPECT_TRUE(transfers().empty());
}

} // namespace
} // namespace kzr415::test
