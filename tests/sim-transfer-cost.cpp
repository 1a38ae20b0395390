// Prints what one emulated I2C_RDWR transfer costs, as a ratio to a plain ioctl on
// /dev/null measured in the same run. Run it with the emulated bus preloaded (see
// scripts/sim-transfer-cost.sh); it is a measurement, not a test.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int samples = 2001;
constexpr int calls_per_sample = 20;

double now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

template <class F>
double sample(F &&call) {
    const double start = now_ns();
    for (int i = 0; i < calls_per_sample; ++i) {
        call();
    }
    return (now_ns() - start) / calls_per_sample;
}

double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2),
                     values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
    const char *node = argc > 1 ? argv[1] : "/dev/i2c-4";
    const int null_fd = open("/dev/null", O_RDWR);
    const int bus_fd = open(node, O_RDWR);
    if (null_fd < 0 || bus_fd < 0) {
        std::perror("open");
        return 1;
    }
    unsigned char buffer[2] = {};
    i2c_msg message{0x48, I2C_M_RD, 2, buffer};
    i2c_rdwr_ioctl_data request{&message, 1};
    unsigned long functionality = 0;

    // Interleaved, so that a change of machine load touches all three alike.
    std::vector<double> raw_null, libc_null, emulated;
    for (int i = 0; i < samples; ++i) {
        raw_null.push_back(
            sample([&] { (void)syscall(SYS_ioctl, null_fd, I2C_FUNCS, &functionality); }));
        libc_null.push_back(sample([&] { (void)ioctl(null_fd, I2C_FUNCS, &functionality); }));
        emulated.push_back(sample([&] {
            if (ioctl(bus_fd, I2C_RDWR, &request) != 1) {
                std::perror("I2C_RDWR");
                _exit(1);
            }
        }));
    }
    const double base = median(raw_null);
    std::printf("median of %d samples of %d calls each\n", samples, calls_per_sample);
    std::printf("  ioctl on /dev/null (system call):        %9.0f ns   1.0\n", base);
    std::printf("  ioctl on /dev/null (through the preload): %8.0f ns %5.1f\n", median(libc_null),
                median(libc_null) / base);
    std::printf("  emulated I2C_RDWR, one 2-byte read:       %8.0f ns %5.1f\n", median(emulated),
                median(emulated) / base);
    return 0;
}
