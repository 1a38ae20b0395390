// kzr-415-tool, unmodified, as a child process on the emulated bus: its whole output, its
// exit status, its bus traffic and the descriptors it leaves open, for a complete run, an
// absent bus and each transfer failing in turn (exit status 0, 1 and 3).
#include "plan.hpp"
#include "program-run.hpp"
#include "tool-traffic.hpp"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace kzr415::test {
namespace {

constexpr const char *tool_path = KZR415_TOOL_PATH;

// The device the runs meet: both channels in the sign-magnitude encoding until the program
// configures them, so a lost configuration write shows in the readings.
const Environment device{{"KZR415_SIM_TEMPERATURE", temperature_register("03 20 00 03 30 00")},
                         {"KZR415_SIM_CONFIGURATION", "20 20"}};

const std::string address_line = "slave address of kzr-415      : 0x48\n";
const std::string raw_lines = "raw value 1:3 32 0\nraw value 2:3 48 0\n";

class ToolRun : public ::testing::Test {
  protected:
    void SetUp() override {
        // Named by test and process: the same test of another build may run at the same time.
        trace_path = ::testing::TempDir() + "kzr415-trace-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
                     std::to_string(getpid());
        std::remove(trace_path.c_str());
    }
    void TearDown() override { std::remove(trace_path.c_str()); }

    RunResult run(Environment environment) {
        environment.insert(environment.end(), device.begin(), device.end());
        environment.emplace_back("KZR415_SIM_TRACE", trace_path);
        return run_on_emulated_bus(tool_path, environment);
    }
    // Every descriptor the program opened is closed when it exits, and the emulated bus
    // keeps none of its own (the trace is opened for each line).
    static void expect_nothing_left_open(const RunResult &result) {
        ASSERT_TRUE(result.left_open.has_value()) << "the descriptor check made no report";
        for (const auto &line : *result.left_open) {
            ADD_FAILURE() << "left open at exit: " << line;
        }
    }
    [[nodiscard]] std::vector<std::string> trace() const {
        std::ifstream file(trace_path);
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    std::string trace_path;
};

TEST_F(ToolRun, ACompleteRunConfiguresThenPrintsBothTemperatures) {
    const auto result = run({});
    EXPECT_EQ(result.out, address_line + raw_lines + "temperature 1:25.000000\n" + raw_lines +
                              "temperature 2:25.499712\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(trace(), tool_traffic("03 20 00 03 30 00"));
    expect_nothing_left_open(result);
}

TEST_F(ToolRun, AnAbsentBusNodeEndsTheRunWithStatusOne) {
    const auto planned = scenario("bus-absent");
    const auto result = run(planned.environment());
    EXPECT_EQ(result.out, planned.text("stdout"));
    EXPECT_EQ(result.err, planned.text("stderr"));
    EXPECT_EQ(result.status, planned.status());
    EXPECT_TRUE(trace().empty());
    expect_nothing_left_open(result);
}

TEST_F(ToolRun, AReadingOfMinusOneIsAReadingNotAFailure) {
    const auto result = run_on_emulated_bus(
        tool_path, {{"KZR415_SIM_TEMPERATURE", temperature_register("ff e0 00 ff e0 00")},
                    {"KZR415_SIM_TRACE", trace_path}});
    const std::string raw = "raw value 1:255 224 0\nraw value 2:255 224 0\n";
    EXPECT_EQ(result.out,
              address_line + raw + "temperature 1:-1.000000\n" + raw + "temperature 2:-1.000000\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(trace(), tool_traffic("ff e0 00 ff e0 00"));
}

TEST_F(ToolRun, AnAbsentDeviceFailsEveryStepButPrintsBothLines) {
    // Seven failed steps: the configuration, two alert modes, two thresholds, two readouts.
    const auto planned = scenario("no-device");
    ASSERT_EQ(planned.expect.at("stderr").size(), 14U);
    const auto result = run(planned.environment());
    EXPECT_EQ(result.out, planned.text("stdout"));
    EXPECT_EQ(result.err, planned.text("stderr"));
    EXPECT_EQ(result.status, planned.status());
    expect_nothing_left_open(result);
}

TEST_F(ToolRun, AStateFileWithATemperatureTheDeviceCannotCarryFailsEveryTransfer) {
    const std::string state_path = trace_path + "-state";
    std::ofstream(state_path) << "celsius1 inf\n";
    const auto result = run({{"KZR415_SIM_STATE", state_path}});
    std::remove(state_path.c_str());
    EXPECT_EQ(result.out, address_line + "read configure register err!\ntemperature 1:-1.000000\n"
                                         "read configure register err!\ntemperature 2:-1.000000\n");
    std::string refused;
    for (int i = 0; i < 7; ++i) { // config, two alert modes, two thresholds, two readouts
        refused += "kzr-415 emulated bus: state file " + state_path +
                   ": cannot load: Bad message\nioctl(): Input/output error\nioctl returned -1\n";
    }
    EXPECT_EQ(result.err, refused);
    EXPECT_EQ(result.status, 3);
}

// What the program must print when bus transfer `transfer` fails and every other succeeds.
struct FailedTransfer {
    unsigned transfer;
    const char *errno_name;
    const char *system_error;
    std::string out; // after the address line
    unsigned made;   // transfers the run makes in all
};

const std::string temperature_1 = "temperature 1:25.000000\n";
const std::string temperature_2 = "temperature 2:25.499712\n";
const std::string normal = raw_lines + temperature_1 + raw_lines + temperature_2;
const std::string config_err = "read configure register err!\n";
const std::string temperature_err = "read temperature register err!\n";

// Transfers 1-9 configure: a failure there is reported and the run goes on. Only a lost
// configuration write (1) changes the readings: the channels keep the sign-magnitude
// encoding they started with. A failed pointer write skips the read after it, and a failed
// configuration read in an alert-mode change skips its write back.
const std::array<FailedTransfer, 17> failed_transfers{{
    {1, "EIO", "Input/output error",
     raw_lines + "temperature 1:-576.000000\n" + raw_lines + "temperature 2:-608.000000\n", 17},
    {2, "ETIMEDOUT", "Connection timed out", normal, 15},
    {3, "EREMOTEIO", "Remote I/O error", normal, 16},
    {4, "ENXIO", "No such device or address", normal, 17},
    {5, "EAGAIN", "Resource temporarily unavailable", normal, 15},
    {6, "EIO", "Input/output error", normal, 16},
    {7, "ETIMEDOUT", "Connection timed out", normal, 17},
    {8, "EREMOTEIO", "Remote I/O error", normal, 17},
    {9, "ENXIO", "No such device or address", normal, 17},
    {10, "EAGAIN", "Resource temporarily unavailable",
     config_err + "temperature 1:-1.000000\n" + raw_lines + temperature_2, 14},
    {11, "EIO", "Input/output error",
     config_err + "temperature 1:-1.000000\n" + raw_lines + temperature_2, 15},
    {12, "ETIMEDOUT", "Connection timed out",
     temperature_err + "temperature 1:-1.000000\n" + raw_lines + temperature_2, 16},
    {13, "EREMOTEIO", "Remote I/O error",
     temperature_err + "temperature 1:-1.000000\n" + raw_lines + temperature_2, 17},
    {14, "ENXIO", "No such device or address",
     raw_lines + temperature_1 + config_err + "temperature 2:-1.000000\n", 14},
    {15, "EAGAIN", "Resource temporarily unavailable",
     raw_lines + temperature_1 + config_err + "temperature 2:-1.000000\n", 15},
    {16, "EIO", "Input/output error",
     raw_lines + temperature_1 + temperature_err + "temperature 2:-1.000000\n", 16},
    {17, "ETIMEDOUT", "Connection timed out",
     raw_lines + temperature_1 + temperature_err + "temperature 2:-1.000000\n", 17},
}};

// Every failed step is reported and counted: a run that goes through to the end after one
// exits with 3.
TEST_F(ToolRun, EachFailingTransferIsReportedAndTheRunGoesOn) {
    for (const auto &failure : failed_transfers) {
        SCOPED_TRACE("transfer " + std::to_string(failure.transfer));
        std::remove(trace_path.c_str());
        const auto result =
            run({{"KZR415_SIM_FAIL", std::to_string(failure.transfer) + ":" + failure.errno_name}});
        EXPECT_EQ(result.out, address_line + failure.out);
        EXPECT_EQ(result.err,
                  std::string("ioctl(): ") + failure.system_error + "\nioctl returned -1\n");
        EXPECT_EQ(result.status, 3);
        expect_nothing_left_open(result);
        const auto lines = trace();
        ASSERT_EQ(lines.size(), failure.made);
        const auto &failed = lines[failure.transfer - 1];
        EXPECT_NE(failed.find(std::string(" FAILED ") + failure.errno_name), std::string::npos)
            << failed;
    }
}

} // namespace
} // namespace kzr415::test
