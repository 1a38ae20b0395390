// kzr-415-sim as its users run it: the unmodified kzr-415-tool and Debian's i2c-tools
// against the simulated device, byte for byte; faults, state shared between processes and
// runs, exit statuses, and bad command lines.
#include "kernel/kzr-415-device.h"
#include "launcher/child-process.hpp"
#include "plan.hpp"
#include "program-run.hpp"
#include "tool-traffic.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace kzr415::test {
namespace {

const std::string tool = KZR415_TOOL_PATH;
const std::string read_temperatures = KZR415_READ_TEMPERATURES_PATH;
const std::string i2cdetect = KZR415_I2CDETECT;
const std::string i2cget = KZR415_I2CGET;
const std::string i2cset = KZR415_I2CSET;
const std::string i2ctransfer = KZR415_I2CTRANSFER;

const std::string address_line = "slave address of kzr-415      : 0x48\n";

// Runs kzr-415-sim of the build with `arguments`.
RunResult run_sim(const std::vector<std::string> &arguments) {
    std::vector<std::string> argv{KZR415_SIM_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run_program(argv);
}

bool exists(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// Runs `program` under kzr-415-sim with the scenario's settings as options (and an option
// of the test's own, `extra`) and a trace; checks all that the plan expects of the run.
void expect_as_planned(const Scenario &scenario, const std::vector<std::string> &program,
                       const std::vector<std::string> &extra = {}) {
    const TemporaryPath trace("trace");
    auto arguments = scenario.options();
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    arguments.insert(arguments.end(), {"--trace", trace.path(), "--"});
    arguments.insert(arguments.end(), program.begin(), program.end());
    const auto result = run_sim(arguments);
    if (scenario.expect.contains("stdout") || scenario.expect.contains("silent")) {
        EXPECT_EQ(result.out, scenario.text("stdout"));
    }
    if (scenario.expect.contains("stderr") || scenario.expect.contains("quiet")) {
        EXPECT_EQ(result.err, scenario.text("stderr"));
    }
    EXPECT_EQ(result.status, scenario.status());
    if (scenario.expect.contains("trace")) {
        EXPECT_EQ(trace.read(), scenario.text("trace"));
    }
    if (!scenario.value("transfers").empty()) {
        EXPECT_EQ(std::to_string(trace.lines().size()), scenario.value("transfers"));
    }
}

TEST(WrappedTool, MeetsADeviceAtRoomTemperatureByDefault) {
    const auto complete = scenario("complete");
    ASSERT_TRUE(complete.settings.empty());
    expect_as_planned(complete, {tool});
}

// The plan's runs of the program with what they must give, given as kzr-415-sim's options
// (the board plan's host check gives them in the environment).
TEST(WrappedTool, EveryRunThePlanExpectsSomethingOfGivesIt) {
    for (const auto &name : scenario_names("run")) {
        const auto run = scenario(name);
        if (!run.value("exit").empty()) {
            SCOPED_TRACE(name);
            expect_as_planned(run, {tool});
        }
    }
}

TEST(WrappedTool, TemperaturesInDegreesReadBackInBothFormats) {
    // The tool selects the two's-complement format: -25.25 is 25 + 2049 counts of 0.000122,
    // negated; 100.5 is 100 + 4098 counts, the nearest the device's step allows.
    const auto result = run_sim({"-1", "-25.25", "-2", "100.5", "--", tool});
    const std::string raw = "raw value 1:252 215 255\nraw value 2:12 144 2\n";
    EXPECT_EQ(result.out, address_line + raw + "temperature 1:-25.249977\n" + raw +
                              "temperature 2:100.499954\n");
    EXPECT_EQ(result.status, 0);

    // Switched to sign-magnitude by one process, read by the next: quarter steps, exact.
    const auto shell = run_sim(
        {"-1", "-25.25", "-2", "100.5", "--", "sh", "-c",
         i2ctransfer + " -y 4 w3@0x48 0x01 0x20 0x20 && " + i2ctransfer + " -y 4 w1@0x48 0x00 r6"});
    EXPECT_EQ(shell.out, "0x02 0x0c 0xa0 0x00 0x32 0x40\n");
    EXPECT_EQ(shell.status, 0);

    const auto decoded = run_sim({"-1", "-25.25", "-2", "100.5", "--", read_temperatures, "3c"});
    EXPECT_EQ(decoded.out, "raw value 1:2 12 160\nraw value 2:0 50 64\ntemperature 1:-25.250000\n"
                           "raw value 1:2 12 160\nraw value 2:0 50 64\ntemperature 2:100.500000\n");
    // Raw bytes stand as given, whatever the format (fc e0 00, -25 in two's complement,
    // reads as 448 in sign-magnitude); a channel given in degrees overrides them.
    const auto raw_bytes = run_sim({"--raw-temperature", temperature_register("00 0c 80 fc e0 00"),
                                    "-1", "1.5", "--", read_temperatures, "20"});
    EXPECT_EQ(raw_bytes.out,
              "raw value 1:0 0 192\nraw value 2:252 224 0\ntemperature 1:1.500000\n"
              "raw value 1:0 0 192\nraw value 2:252 224 0\ntemperature 2:448.000000\n");
}

TEST(WrappedTool, ReportsAnInjectedFaultAsTheLibrarySays) {
    // Transfer 12 is channel 1's temperature pointer write.
    const auto once = scenario("temperature-1-fails");
    ASSERT_EQ(once.settings, std::vector<std::string>{"fail=12:ETIMEDOUT"});
    EXPECT_EQ(once.expect.at("trace").at(11), "W 0x48 [00] FAILED ETIMEDOUT");
    expect_as_planned(once, {tool});
    // From transfer 16 on, every one fails: channel 2's temperature pointer write first.
    const auto onwards = scenario("temperature-2-fails");
    ASSERT_EQ(onwards.settings, std::vector<std::string>{"fail=16+:EREMOTEIO"});
    expect_as_planned(onwards, {tool});
}

TEST(WrappedTool, AnyErrnoReachesTheProgramByNameOrByNumber) {
    // Transfer 3 is channel 1's alert-mode configuration read; the run goes on.
    auto eproto = scenario("fault-3-eproto");
    ASSERT_EQ(eproto.settings, std::vector<std::string>{"fail=3:EPROTO"});
    EXPECT_EQ(eproto.expect.at("trace").at(2), "R 0x48 2 FAILED EPROTO");
    expect_as_planned(eproto, {tool});
    eproto.settings = {"fail=3:71"}; // the same errno by its number
    expect_as_planned(eproto, {tool});
}

TEST(WrappedTool, AMissingNodeOrDeviceIsReportedAsOnABoard) {
    // No node, and nobody answering at all: the plan's bus-absent and no-device runs.
    const auto bus_absent = scenario("bus-absent");
    ASSERT_EQ(bus_absent.settings, std::vector<std::string>{"node=absent"});
    EXPECT_EQ(bus_absent.status(), 1);
    const auto nobody = scenario("no-device");
    EXPECT_EQ(nobody.text("stdout"), address_line + "read configure register err!\n"
                                                    "temperature 1:-1.000000\n"
                                                    "read configure register err!\n"
                                                    "temperature 2:-1.000000\n");
    // The device answers elsewhere: the tool's address is not acknowledged, as when nobody
    // answers (seven failed transfers, each reported).
    const auto elsewhere = run_sim({"--address", "0x49", "--", tool});
    EXPECT_EQ(elsewhere.out, nobody.text("stdout"));
    std::string nacks;
    for (int i = 0; i < 7; ++i) {
        nacks += "ioctl(): No such device or address\nioctl returned -1\n";
    }
    EXPECT_EQ(elsewhere.err, nacks);
    EXPECT_EQ(nobody.text("stderr"), nacks);
    EXPECT_EQ(elsewhere.status, 3);
    EXPECT_EQ(nobody.status(), 3);
}

class StandardTools : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!exists(i2cdetect) || !exists(i2ctransfer) || !exists(i2cget) || !exists(i2cset)) {
            GTEST_SKIP() << "i2c-tools are not installed";
        }
    }
};

const std::string scan_with_48 = "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n"
                                 "00:                         -- -- -- -- -- -- -- -- \n"
                                 "10: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                                 "20: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                                 "30: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                                 "40: -- -- -- -- -- -- -- -- 48 -- -- -- -- -- -- -- \n"
                                 "50: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                                 "60: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                                 "70: -- -- -- -- -- -- -- --                         \n";

TEST_F(StandardTools, I2cdetectListsTheDeviceWhereItAnswers) {
    const auto found = run_sim({"--", i2cdetect, "-y", "4"});
    EXPECT_EQ(found.out, scan_with_48);
    EXPECT_EQ(found.err, "");
    EXPECT_EQ(found.status, 0);

    std::string scan_empty = scan_with_48;
    scan_empty.replace(scan_empty.find("48 "), 2, "--");
    EXPECT_EQ(run_sim({"--no-device", "--", i2cdetect, "-y", "4"}).out, scan_empty);

    // Another node and an address that i2cdetect probes with a read (0x50-0x5f).
    std::string scan_with_51 = scan_empty;
    scan_with_51.replace(scan_with_51.find("50: -- --") + 7, 2, "51");
    EXPECT_EQ(run_sim({"-n", "/dev/i2c-7", "-a", "0x51", "--", i2cdetect, "-y", "7"}).out,
              scan_with_51);
}

TEST_F(StandardTools, I2ctransferReadsTheTemperatureImageInOneCombinedTransfer) {
    auto probe = scenario("temperature-image");
    ASSERT_EQ(probe.command.at(0), "i2ctransfer");
    probe.command.at(0) = i2ctransfer;
    expect_as_planned(probe, probe.command);
}

TEST_F(StandardTools, AConfigurationWrittenByOneProcessReadsBackInTheNext) {
    const std::string write = i2ctransfer + " -y 4 w3@0x48 0x01 0x1c 0x1c";
    const std::string read = i2ctransfer + " -y 4 w1@0x48 0x01 r2";
    // Within one run: every process the program starts meets the same device.
    const auto shell = run_sim({"--", "sh", "-c", write + " && " + read});
    EXPECT_EQ(shell.out, "0x1c 0x1c\n");

    // Across runs, through a state file.
    const TemporaryPath state("state");
    EXPECT_EQ(run_sim({"-s", state.path(), "--", "sh", "-c", write}).status, 0);
    EXPECT_EQ(run_sim({"-s", state.path(), "--", "sh", "-c", read}).out, "0x1c 0x1c\n");
    // Options that set the device replace those parts only; the rest carries on.
    EXPECT_EQ(run_sim({"-s", state.path(), "-t", "-0.5", "--", "sh", "-c",
                       read + " && " + i2ctransfer + " -y 4 w1@0x48 0x00 r6"})
                  .out,
              "0x1c 0x1c\n0xff 0xef 0xfe 0xff 0xef 0xfe\n");
    // A fresh run without the file starts from the options again.
    EXPECT_EQ(run_sim({"--", "sh", "-c", read}).out, "0x00 0x00\n");
}

TEST_F(StandardTools, I2cgetAndI2csetUseSmbusTransfersOnTheSameDevice) {
    const TemporaryPath trace("trace");
    const auto result =
        run_sim({"-T", trace.path(), "--", "sh", "-c",
                 i2cset + " -y 4 0x48 0x01 0x201c w && " + i2cget + " -y 4 0x48 0x01 w && " +
                     i2cget + " -y 4 0x48 0x00 && " + i2cget + " -y 4 0x48 && " + i2cset +
                     " -y 4 0x48 0x02 0x7f && " + i2cget + " -y 4 0x48 0x02 i 6"});
    EXPECT_EQ(result.err, "");
    // A word is sent low byte first: configuration bytes 1c 20.
    EXPECT_EQ(result.out, "0x201c\n0x03\n0x03\n0x7f 0x00 0x00 0x00 0x00 0x00\n");
    EXPECT_EQ(trace.lines(), (std::vector<std::string>{
                                 "W 0x48 [01 1c 20]",
                                 "W 0x48 [01] + R 0x48 2 -> [1c 20]",
                                 "W 0x48 [00] + R 0x48 1 -> [03]",
                                 "R 0x48 1 -> [03]",
                                 "W 0x48 [02 7f]",
                                 "W 0x48 [02] + R 0x48 6 -> [7f 00 00 00 00 00]",
                             }));
    const auto nack = run_sim({"--no-device", "--", i2cget, "-y", "4", "0x48", "0x00"});
    EXPECT_EQ(nack.out, "");
    EXPECT_EQ(nack.err, "Error: Read failed\n");
    EXPECT_EQ(nack.status, 2);
}

TEST_F(StandardTools, TransfersOfProcessesRunningAtOnceStayWhole) {
    // Four processes at once, 25 combined transfers each: every transfer loads, changes and
    // stores the shared count under the lock; a lost update would show a smaller count.
    const TemporaryPath state("state");
    const TemporaryPath trace("trace");
    const std::string loop = "for i in $(seq 25); do " + i2ctransfer +
                             " -y 4 w3@0x48 0x01 0x1c 0x1c w1@0x48 0x01 r2 >/dev/null; done";
    const std::string script =
        "(" + loop + ") & (" + loop + ") & (" + loop + ") & (" + loop + ") & wait";
    const auto result = run_sim({"-s", state.path(), "-T", trace.path(), "--", "sh", "-c", script});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(state.read().find("\ntransfers 100\n"), std::string::npos) << state.read();
    const auto lines = trace.lines();
    EXPECT_EQ(lines.size(), 100U);
    for (const auto &line : lines) {
        ASSERT_EQ(line, "W 0x48 [01 1c 1c] + W 0x48 [01] + R 0x48 2 -> [1c 1c]");
    }
}

TEST(WrapperRun, ATemporaryStateFileIsRemovedWhenPreparingItFails) {
    // With no file allowed to grow, writing the state fails (EFBIG) once the temporary file
    // exists. kzr-415-sim's message and status come through a pipe, which may grow.
    const TemporaryFolder tmpdir; // kzr-415-sim's TMPDIR
    const auto result = run_program(
        {"sh", "-c", "(ulimit -f 0; trap '' XFSZ; \"$0\" -- true 2>&1; echo \"status $?\") | cat",
         KZR415_SIM_PATH},
        {{"TMPDIR", tmpdir.path()}});
    const std::string prefix = "kzr-415-sim: cannot write the state file '" + tmpdir.path() + "/";
    EXPECT_EQ(result.out.substr(0, prefix.size()), prefix) << result.out;
    EXPECT_TRUE(result.out.ends_with("': File too large\nstatus 2\n")) << result.out;
    EXPECT_EQ(tmpdir.entries(), std::vector<std::string>{});
}

TEST(WrapperRun, ASignalSentBeforeTheProgramStartsEndsTheRunAsOneSentLater) {
    // kzr-415-sim starts with the signal blocked, as its caller's mask leaves it, and the
    // signal is sent at once: it waits, pending, until the program has started, which it
    // must then end (the program would otherwise sleep on and exit with 0). An interrupt
    // reaches the program too: the terminal sent it before the program was there.
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        const TemporaryFolder tmpdir; // kzr-415-sim's TMPDIR
        auto options = test_child({KZR415_SIM_PATH, "--", "sh", "-c", "exec sleep 10"},
                                  {{"TMPDIR", tmpdir.path()}});
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, signal);
        options.signal_mask = &blocked;
        pid_t pid = 0;
        ASSERT_EQ(sim::start_child(options, pid), 0);
        kill(pid, signal);
        EXPECT_EQ(sim::wait_for_child(pid), 128 + signal);
        EXPECT_EQ(tmpdir.entries(), std::vector<std::string>{});
    }
}

TEST(WrapperRun, PassesTheProgramsExitStatusThrough) {
    EXPECT_EQ(run_sim({"--", "sh", "-c", "exit 7"}).status, 7);
    EXPECT_EQ(run_sim({"sh", "-c", "exit 0"}).status, 0);
    EXPECT_EQ(run_sim({"--", "sh", "-c", "kill -TERM $$"}).status, 128 + 15);
    // The preload comes after whatever the caller preloads, and the simulation's variables
    // replace inherited ones.
    const auto environment = run_program({"env", "LD_PRELOAD=/nonexistent-first.so",
                                          "KZR415_SIM_FAIL=1:EIO", KZR415_SIM_PATH, "--", "sh",
                                          "-c", "echo $LD_PRELOAD; echo ${KZR415_SIM_FAIL-none}"});
    EXPECT_NE(environment.out.find("/nonexistent-first.so:/"), std::string::npos)
        << environment.out;
    EXPECT_NE(environment.out.find("libkzr-415-sim-bus.so\nnone\n"), std::string::npos)
        << environment.out;
}

TEST(WrapperRun, StartsTheProgramThroughAnEmulatorThatPassesThePreloadOn) {
    const auto result = run_sim({"--emulator", std::string("sh ") + KZR415_FAKE_EMULATOR, "--fail",
                                 "1:EIO", "--", "kzr415-no-such-program"});
    EXPECT_EQ(result.err, "kzr-415-sim: kzr415-no-such-program: No such file or directory\n");
    EXPECT_EQ(result.status, 127);
    const auto tool_run = run_sim(
        {"--emulator", std::string("sh ") + KZR415_FAKE_EMULATOR, "--fail", "1:EIO", "--", tool});
    EXPECT_EQ(tool_run.err, "emulator preload: none\nioctl(): Input/output error\n"
                            "ioctl returned -1\n");
    EXPECT_EQ(tool_run.status, 3);
}

TEST(WrapperRun, AProgramThatCannotBeStartedEndsWithStatus127) {
    const auto missing = run_sim({"--", "/nonexistent/program"});
    EXPECT_EQ(missing.err, "kzr-415-sim: /nonexistent/program: No such file or directory\n");
    EXPECT_EQ(missing.status, 127);
    const TemporaryPath plain("plain");
    run_program({"touch", plain.path()});
    const auto not_executable = run_sim({"--", plain.path()});
    EXPECT_EQ(not_executable.err, "kzr-415-sim: " + plain.path() + ": Permission denied\n");
    EXPECT_EQ(not_executable.status, 127);
}

TEST(WrapperRun, HelpListsEveryOption) {
    const auto help = run_sim({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char *option :
         {"--node", "--address", "--temperature1", "--temperature2", "--raw-temperature",
          "--configuration", "--t-low", "--t-high", "--fail", "--no-device", "--no-node", "--trace",
          "--state", "--preload", "--emulator", "--replay"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
}

// The man page's paragraph (.TP) of each option states the default --help gives it, which
// --help takes from the table of the device's settings.
TEST(WrapperRun, TheManPageStatesTheDefaultsHelpGives) {
    std::ifstream file(KZR415_SIM_MAN_PAGE);
    std::stringstream roff;
    roff << file.rdbuf();
    std::string page = roff.str();
    for (auto at = page.find("\\-"); at != std::string::npos; at = page.find("\\-", at)) {
        page.replace(at, 2, "-");
    }
    std::istringstream help(run_sim({"--help"}).out);
    std::string option;
    std::string entry; // an option's lines of --help, joined
    int defaults = 0;
    for (std::string line; std::getline(help, line);) {
        if (line.starts_with("  -") || line.starts_with("      --")) {
            option =
                line.substr(line.find("--"), line.find(' ', line.find("--")) - line.find("--"));
            entry.clear();
        }
        entry += line;
        const auto start = entry.find("(default ");
        if (option.empty() || start == std::string::npos || entry.find(')', start) == entry.npos) {
            continue;
        }
        const std::string stated = entry.substr(start, entry.find(')', start) + 1 - start);
        const auto at = page.find(option + " ", page.find(".SH OPTIONS"));
        ASSERT_NE(at, std::string::npos) << option << " is not in the man page's options";
        const auto paragraph = page.substr(at, page.find(".TP", at) - at);
        EXPECT_NE(paragraph.find(stated), std::string::npos) << option << ": " << stated;
        option.clear();
        ++defaults;
    }
    EXPECT_GE(defaults, 9);
}

struct BadInput {
    std::vector<std::string> options;
    std::string error; // the whole line on standard error
};

const BadInput bad_inputs[] = {
    {{"--frobnicate"}, "kzr-415-sim: unknown option '--frobnicate'\n"},
    {{"-x"}, "kzr-415-sim: unknown option '-x'\n"},
    {{"--address", "0x4g"},
     "kzr-415-sim: bad value for --address: '0x4g' (a 7-bit address, 0 to 0x7f)\n"},
    {{"-a", "128"}, "kzr-415-sim: bad value for -a: '128' (a 7-bit address, 0 to 0x7f)\n"},
    {{"-t", "1024"},
     "kzr-415-sim: bad value for -t: '1024' (degrees Celsius, magnitude below 1024)\n"},
    {{"--temperature2", "-1024.5"},
     "kzr-415-sim: bad value for --temperature2: '-1024.5' (degrees Celsius, magnitude below "
     "1024)\n"},
    {{"-1", "25C"},
     "kzr-415-sim: bad value for -1: '25C' (degrees Celsius, magnitude below 1024)\n"},
    {{"-1", "nan"},
     "kzr-415-sim: bad value for -1: 'nan' (degrees Celsius, magnitude below 1024)\n"},
    {{"--raw-temperature", "03 20 00 02 a0"},
     "kzr-415-sim: bad value for --raw-temperature: '03 20 00 02 a0' (" +
         std::to_string(KZR415_TEMPERATURE_LEN) + " hex bytes)\n"},
    {{"-c", "1c 1c 1c"}, "kzr-415-sim: bad value for -c: '1c 1c 1c' (2 hex bytes)\n"},
    {{"--t-high", "100 0 0 0 0 0"},
     "kzr-415-sim: bad value for --t-high: '100 0 0 0 0 0' (6 hex bytes)\n"},
    {{"-f", "0:EIO"}, "kzr-415-sim: bad value for -f: '0:EIO' (K:ERRNO or K+:ERRNO, K from 1)\n"},
    {{"--fail", "3:EWHAT"},
     "kzr-415-sim: bad value for --fail: '3:EWHAT' (K:ERRNO or K+:ERRNO, K from 1)\n"},
    {{"--preload", "/nonexistent.so"},
     "kzr-415-sim: bad value for --preload: '/nonexistent.so' (no such file)\n"},
};

TEST(WrapperRun, BadInputIsRefusedWithOneLineAndStatus2BeforeTheProgramStarts) {
    const TemporaryPath marker("marker");
    for (const auto &bad : bad_inputs) {
        auto arguments = bad.options;
        arguments.insert(arguments.end(), {"--", "touch", marker.path()});
        const auto result = run_sim(arguments);
        EXPECT_EQ(result.err, bad.error);
        EXPECT_EQ(result.status, 2) << bad.error;
        EXPECT_FALSE(exists(marker.path())) << bad.error;
    }
    EXPECT_EQ(run_sim({}).err, "kzr-415-sim: no PROGRAM given (see --help)\n");
    EXPECT_EQ(run_sim({"-t", "20", "--"}).status, 2);
    const auto missing_value = run_sim({"--temperature"});
    EXPECT_EQ(missing_value.err, "kzr-415-sim: missing value for --temperature\n");
    EXPECT_EQ(missing_value.status, 2);
    const TemporaryPath state("state");
    run_program({"sh", "-c", "echo garbage > " + state.path()});
    const auto bad_state = run_sim({"-s", state.path(), "--", "touch", marker.path()});
    EXPECT_EQ(bad_state.err, "kzr-415-sim: bad value for --state: '" + state.path() +
                                 "' (not a kzr-415-sim state file)\n");
    EXPECT_EQ(bad_state.status, 2);
    EXPECT_FALSE(exists(marker.path()));
    // A temperature the device cannot carry is refused in the file as on the command line.
    for (const char *line : {"celsius1 inf", "celsius1 1e10", "celsius2 nan"}) {
        run_program({"sh", "-c", std::string("echo '") + line + "' > " + state.path()});
        const auto refused = run_sim({"-s", state.path(), "--", "touch", marker.path()});
        EXPECT_EQ(refused.err, "kzr-415-sim: bad value for --state: '" + state.path() +
                                   "' (not a kzr-415-sim state file)\n")
            << line;
        EXPECT_EQ(refused.status, 2) << line;
        EXPECT_FALSE(exists(marker.path())) << line;
    }
}

} // namespace
} // namespace kzr415::test
