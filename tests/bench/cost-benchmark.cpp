// What each of the library's functions costs, on the in-process emulated bus.
//
// Every function is timed beside a floor measured in the same run: the same number of bare
// I2C_RDWR ioctl calls (same messages) on the same emulated bus, plus the same printing. The
// ratio of the two is the library's own cost. Beside the times: transfers per call (counted
// by the bus), heap allocations per call (counted by an interposed allocator, for the
// library call and for its floor; what the floor allocates is the bus's, not the library's).
//
// Standard output and error are pointed at /dev/null streams while a function runs, so the
// printing is done (formatted and written) but does not disturb the report.
#include "config/sim-config.hpp"
#include "counting-allocator.hpp"
#include "kzr-415-drv.h"
#include "preload/simulated-nodes.hpp"

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kzr415::bench {
namespace {

constexpr const char *node = "/dev/i2c-4";
constexpr std::uint16_t address = KZR_415_SLAVE_ADDR;
constexpr int counted_calls = 1000;
constexpr int batch = 64; // descriptors opened or closed per timed batch
// Batches per run: fixed, since a manual clock that leaves out the other half of each pair
// would otherwise make the library run far longer than its minimum time.
constexpr benchmark::IterationCount open_batches = 4000;

FILE *null_out = nullptr;
FILE *null_err = nullptr;

// Points stdout and stderr at /dev/null streams for its lifetime.
class QuietStreams {
  public:
    QuietStreams() : out_(stdout), err_(stderr) {
        stdout = null_out;
        stderr = null_err;
    }
    QuietStreams(const QuietStreams &) = delete;
    QuietStreams &operator=(const QuietStreams &) = delete;
    ~QuietStreams() {
        stdout = out_;
        stderr = err_;
    }

  private:
    FILE *out_;
    FILE *err_;
};

int bus_fd = -1;

// The floor's transfers: one I2C_RDWR call with one message, as bare as it gets.
void bare_transfer(std::uint16_t flags, std::uint16_t length, std::uint8_t *buffer) {
    i2c_msg message{address, flags, length, buffer};
    i2c_rdwr_ioctl_data request{&message, 1};
    benchmark::DoNotOptimize(ioctl(bus_fd, I2C_RDWR, &request));
}

void bare_write(std::uint8_t *bytes, std::uint16_t length) {
    bare_transfer(0, length, bytes);
}

void bare_read(std::uint8_t reg, std::uint8_t *buffer, std::uint16_t length) {
    std::array<std::uint8_t, 1> pointer{reg};
    bare_transfer(0, 1, pointer.data());
    bare_transfer(I2C_M_RD, length, buffer);
}

void print_raw_lines(const std::array<std::uint8_t, TEMPERATURE_REG_LENGTH> &image) {
    std::printf("raw value 1:%hhu %hhu %hhu\n", image[0], image[1], image[2]);
    std::printf("raw value 2:%hhu %hhu %hhu\n", image[3], image[4], image[5]);
}

struct Case {
    std::string name;
    std::function<void()> library;
    std::function<void()> floor;
};

std::array<std::uint8_t, T_LOW_REG_LENGTH> image{0x7F, 0xFF, 0xFF, 0x80, 0x00, 0x00};
std::array<std::uint8_t, CONFIGURATION_REG_LENGTH> config{0x1C, 0x1C};
std::array<std::uint8_t, 1 + T_LOW_REG_LENGTH> staging{};
std::array<float, 2> celsius{};

// Both channels' floor: the configuration and the temperature register read, 4 transfers.
void bare_both_channels() {
    std::array<std::uint8_t, TEMPERATURE_REG_LENGTH> raw{};
    bare_read(CONFIGURATION_REG, config.data(), CONFIGURATION_REG_LENGTH);
    bare_read(TEMPERATURE_REG, raw.data(), TEMPERATURE_REG_LENGTH);
}

std::vector<Case> per_call_cases() {
    return {
        {"kzr_415_write (6 bytes)",
         [] {
             benchmark::DoNotOptimize(
                 kzr_415_write(bus_fd, address, T_HIGH_REG, image.data(), T_HIGH_REG_LENGTH));
         },
         [] { bare_write(staging.data(), 1 + T_LOW_REG_LENGTH); }},
        {"kzr_415_read (6 bytes)",
         [] {
             benchmark::DoNotOptimize(kzr_415_read(bus_fd, address, TEMPERATURE_REG, image.data(),
                                                   TEMPERATURE_REG_LENGTH));
         },
         [] { bare_read(TEMPERATURE_REG, image.data(), TEMPERATURE_REG_LENGTH); }},
        {"temperature_reg_read",
         [] { benchmark::DoNotOptimize(temperature_reg_read(bus_fd, address, 1)); },
         [] {
             std::array<std::uint8_t, TEMPERATURE_REG_LENGTH> raw{};
             bare_read(CONFIGURATION_REG, config.data(), CONFIGURATION_REG_LENGTH);
             bare_read(TEMPERATURE_REG, raw.data(), TEMPERATURE_REG_LENGTH);
             print_raw_lines(raw);
         }},
        {"configurature_reg_control (write)",
         [] { configurature_reg_control(bus_fd, address, config.data(), REG_WRITE); },
         [] { bare_write(staging.data(), 1 + CONFIGURATION_REG_LENGTH); }},
        {"configurature_reg_control (read)",
         [] { configurature_reg_control(bus_fd, address, config.data(), REG_READ); },
         [] { bare_read(CONFIGURATION_REG, config.data(), CONFIGURATION_REG_LENGTH); }},
        {"t_low_reg_control (write)",
         [] { t_low_reg_control(bus_fd, address, image.data(), REG_WRITE); },
         [] { bare_write(staging.data(), 1 + T_LOW_REG_LENGTH); }},
        {"t_low_reg_control (read)",
         [] { t_low_reg_control(bus_fd, address, image.data(), REG_READ); },
         [] { bare_read(T_LOW_REG, image.data(), T_LOW_REG_LENGTH); }},
        {"t_high_reg_control (write)",
         [] { t_high_reg_control(bus_fd, address, image.data(), REG_WRITE); },
         [] { bare_write(staging.data(), 1 + T_LOW_REG_LENGTH); }},
        {"t_high_reg_control (read)",
         [] { t_high_reg_control(bus_fd, address, image.data(), REG_READ); },
         [] { bare_read(T_HIGH_REG, image.data(), T_HIGH_REG_LENGTH); }},
        {"alert_mode_set", [] { benchmark::DoNotOptimize(alert_mode_set(bus_fd, address, 1, 0)); },
         [] {
             bare_read(CONFIGURATION_REG, config.data(), CONFIGURATION_REG_LENGTH);
             std::array<std::uint8_t, 1 + CONFIGURATION_REG_LENGTH> write{CONFIGURATION_REG,
                                                                          config[0], config[1]};
             bare_write(write.data(), 1 + CONFIGURATION_REG_LENGTH);
         }},
        {"both channels: 2 x temperature_reg_read",
         [] {
             benchmark::DoNotOptimize(temperature_reg_read(bus_fd, address, 1));
             benchmark::DoNotOptimize(temperature_reg_read(bus_fd, address, 2));
         },
         [] {
             for (int channel = 1; channel <= 2; ++channel) {
                 std::array<std::uint8_t, TEMPERATURE_REG_LENGTH> raw{};
                 bare_read(CONFIGURATION_REG, config.data(), CONFIGURATION_REG_LENGTH);
                 bare_read(TEMPERATURE_REG, raw.data(), TEMPERATURE_REG_LENGTH);
                 print_raw_lines(raw);
             }
         }},
        {"kzr_415_read_temperatures (both channels)",
         [] {
             benchmark::DoNotOptimize(kzr_415_read_temperatures(bus_fd, address, celsius.data()));
         },
         bare_both_channels},
        {"kzr_415_get_register (6 bytes)",
         [] {
             benchmark::DoNotOptimize(
                 kzr_415_get_register(bus_fd, address, T_LOW_REG, image.data(), T_LOW_REG_LENGTH));
         },
         [] { bare_read(T_LOW_REG, image.data(), T_LOW_REG_LENGTH); }},
        {"kzr_415_set_register (6 bytes)",
         [] {
             benchmark::DoNotOptimize(kzr_415_set_register(bus_fd, address, T_HIGH_REG,
                                                           image.data(), T_HIGH_REG_LENGTH));
         },
         [] { bare_write(staging.data(), 1 + T_HIGH_REG_LENGTH); }},
        {"kzr_415_set_alert_mode",
         [] { benchmark::DoNotOptimize(kzr_415_set_alert_mode(bus_fd, address, 1, 0)); },
         [] {
             bare_read(CONFIGURATION_REG, config.data(), CONFIGURATION_REG_LENGTH);
             std::array<std::uint8_t, 1 + CONFIGURATION_REG_LENGTH> write{CONFIGURATION_REG,
                                                                          config[0], config[1]};
             bare_write(write.data(), 1 + CONFIGURATION_REG_LENGTH);
         }},
        {"the program's calls (configure, read both)",
         [] {
             auto configuration = std::array<std::uint8_t, CONFIGURATION_REG_LENGTH>{0x1C, 0x1C};
             auto low = std::array<std::uint8_t, T_LOW_REG_LENGTH>{0x80, 0, 0, 0x80, 0, 0};
             auto high =
                 std::array<std::uint8_t, T_HIGH_REG_LENGTH>{0x7F, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF};
             configurature_reg_control(bus_fd, address, configuration.data(), REG_WRITE);
             alert_mode_set(bus_fd, address, 1, 0);
             alert_mode_set(bus_fd, address, 2, 0);
             t_low_reg_control(bus_fd, address, low.data(), REG_WRITE);
             t_high_reg_control(bus_fd, address, high.data(), REG_WRITE);
             benchmark::DoNotOptimize(temperature_reg_read(bus_fd, address, 1));
             benchmark::DoNotOptimize(temperature_reg_read(bus_fd, address, 2));
         },
         [] {
             std::array<std::uint8_t, TEMPERATURE_REG_LENGTH> raw{};
             bare_write(staging.data(), 1 + CONFIGURATION_REG_LENGTH);
             for (int channel = 1; channel <= 2; ++channel) {
                 bare_read(CONFIGURATION_REG, config.data(), CONFIGURATION_REG_LENGTH);
                 bare_write(staging.data(), 1 + CONFIGURATION_REG_LENGTH);
             }
             bare_write(staging.data(), 1 + T_LOW_REG_LENGTH);
             bare_write(staging.data(), 1 + T_LOW_REG_LENGTH);
             for (int channel = 1; channel <= 2; ++channel) {
                 bare_read(CONFIGURATION_REG, config.data(), CONFIGURATION_REG_LENGTH);
                 bare_read(TEMPERATURE_REG, raw.data(), TEMPERATURE_REG_LENGTH);
                 print_raw_lines(raw);
             }
         }},
    };
}

// Heap allocations and transfers per call, counted over calls outside the timed loop.
void count_per_call(benchmark::State &state, const std::function<void()> &body) {
    const auto allocations = allocation_count();
    const auto transfers = sim::bus().transfer_count();
    {
        const QuietStreams quiet;
        for (int i = 0; i < counted_calls; ++i) {
            body();
        }
    }
    state.counters["allocs/call"] =
        static_cast<double>(allocation_count() - allocations) / counted_calls;
    state.counters["transfers/call"] =
        static_cast<double>(sim::bus().transfer_count() - transfers) / counted_calls;
}

void time_calls(benchmark::State &state, const std::function<void()> &body) {
    count_per_call(state, body);
    const QuietStreams quiet;
    for (auto _ : state) {
        body();
    }
}

using Clock = std::chrono::steady_clock;

// i2c_open and i2c_close are timed in batches, the other half of each pair outside the
// clock, so that neither runs out of descriptors nor pays for the other.
template <class Open, class Close>
void time_opens(benchmark::State &state, Open open_node, Close close_node) {
    std::array<int, batch> fds{};
    std::uint64_t allocations = 0;
    for (auto _ : state) {
        const auto before = allocation_count();
        const auto start = Clock::now();
        for (auto &fd : fds) {
            fd = open_node();
        }
        const std::chrono::duration<double> elapsed = Clock::now() - start;
        allocations += allocation_count() - before;
        state.SetIterationTime(elapsed.count() / batch);
        for (const int fd : fds) {
            close_node(fd);
        }
    }
    state.counters["allocs/call"] =
        static_cast<double>(allocations) / static_cast<double>(state.iterations() * batch);
}

template <class Open, class Close>
void time_closes(benchmark::State &state, Open open_node, Close close_node) {
    std::array<int, batch> fds{};
    std::uint64_t allocations = 0;
    for (auto _ : state) {
        for (auto &fd : fds) {
            fd = open_node();
        }
        const auto before = allocation_count();
        const auto start = Clock::now();
        for (const int fd : fds) {
            benchmark::DoNotOptimize(close_node(fd));
        }
        const std::chrono::duration<double> elapsed = Clock::now() - start;
        allocations += allocation_count() - before;
        state.SetIterationTime(elapsed.count() / batch);
    }
    state.counters["allocs/call"] =
        static_cast<double>(allocations) / static_cast<double>(state.iterations() * batch);
}

int library_open() {
    return i2c_open(node);
}
int bare_open() {
    return open(node, O_RDWR);
}

// Collects each run's time per call so that the ratios can be printed at the end: of the
// real times, and of the CPU times, which other processes on a busy machine disturb less
// (none for i2c_open and i2c_close, whose CPU time holds the other half of each pair).
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {} // plain text, for the record
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &run : runs) {
            if (run.error_occurred) {
                continue;
            }
            // Keyed by function; with repetitions the median stands for the function.
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Iteration || median) {
                const bool manual = run.run_name.time_type == "manual_time";
                times_[run.run_name.function_name] = {run.GetAdjustedRealTime(),
                                                      manual ? 0.0 : run.GetAdjustedCPUTime()};
            }
            repeated_ = repeated_ || median;
        }
    }

    void print_ratios(const std::vector<std::string> &names) const {
        std::printf("\nTime per call, real time%s:\n%-44s %12s %12s %8s %10s\n",
                    repeated_ ? " (medians)" : "", "function", "library ns", "floor ns", "ratio",
                    "CPU ratio");
        for (const auto &name : names) {
            const auto library = times_.find("library/" + name);
            const auto floor = times_.find("floor/" + name);
            if (library == times_.end() || floor == times_.end()) {
                continue;
            }
            std::printf("%-44s %12.1f %12.1f %8.3f", name.c_str(), library->second.real,
                        floor->second.real, library->second.real / floor->second.real);
            if (floor->second.cpu > 0) {
                std::printf(" %10.3f\n", library->second.cpu / floor->second.cpu);
            } else {
                std::printf(" %10s\n", "-");
            }
        }
    }

  private:
    struct Times {
        double real;
        double cpu; // 0: not measured
    };
    std::map<std::string, Times> times_;
    bool repeated_ = false;
};

} // namespace
} // namespace kzr415::bench

int main(int argc, char **argv) {
    using namespace kzr415;
    using namespace kzr415::bench;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }

    // The allocation counts mean something only if the counting allocator is in use.
    void *(*volatile allocate)(std::size_t) = std::malloc;
    const auto before = allocation_count();
    std::free(allocate(16));
    if (allocation_count() != before + 1) {
        std::fputs("the counting allocator is not in use\n", stderr);
        return 1;
    }

    null_out = std::fopen("/dev/null", "w");
    null_err = std::fopen("/dev/null", "w");
    // Unbuffered like the real stderr; stdout fully buffered as when it is not a terminal.
    std::setvbuf(null_err, nullptr, _IONBF, 0);
    std::fputs("warm-up\n", null_out); // the stream's buffer is allocated here, once

    sim::SimConfig config;
    config.node = node;
    sim::configure(config);
    sim::bus().set_recording(false);
    bus_fd = i2c_open(node);

    std::vector<std::string> names;
    const auto cases = per_call_cases();
    for (const auto &c : cases) {
        names.push_back(c.name);
        benchmark::RegisterBenchmark(("library/" + c.name).c_str(), [&c](benchmark::State &state) {
            time_calls(state, c.library);
        });
        benchmark::RegisterBenchmark(("floor/" + c.name).c_str(),
                                     [&c](benchmark::State &state) { time_calls(state, c.floor); });
    }
    names.emplace_back("i2c_open");
    benchmark::RegisterBenchmark(
        "library/i2c_open",
        [](benchmark::State &state) { time_opens(state, library_open, i2c_close); })
        ->UseManualTime()
        ->Iterations(open_batches);
    benchmark::RegisterBenchmark(
        "floor/i2c_open", [](benchmark::State &state) { time_opens(state, bare_open, close); })
        ->UseManualTime()
        ->Iterations(open_batches);
    names.emplace_back("i2c_close");
    benchmark::RegisterBenchmark(
        "library/i2c_close",
        [](benchmark::State &state) { time_closes(state, library_open, i2c_close); })
        ->UseManualTime()
        ->Iterations(open_batches);
    benchmark::RegisterBenchmark(
        "floor/i2c_close", [](benchmark::State &state) { time_closes(state, bare_open, close); })
        ->UseManualTime()
        ->Iterations(open_batches);

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios(names);
    benchmark::Shutdown();

    i2c_close(bus_fd);
    std::fclose(null_out);
    std::fclose(null_err);
    return 0;
}
