// kzr-415-sim --replay with Debian's i2c-tools: SMBus block reads recorded and replayed from
// either format, a recording shared by every process of a run, and captures the kernel could
// not have written refused before the program starts.
#include "program-run.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kzr415::test {
namespace {

const std::string i2cget = KZR415_I2CGET;

RunResult run_sim(const std::vector<std::string> &arguments) {
    std::vector<std::string> argv{KZR415_SIM_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run_program(argv);
}

TEST(ReplayInput, AnSmbusBlockReadReplaysFromTheBussTraceAndFromAKernelCapture) {
    if (i2cget.empty()) {
        GTEST_SKIP() << "i2cget (i2c-tools) is not installed";
    }
    const std::vector<std::string> block_read{i2cget, "-y", "4", "0x48", "0", "s"};
    const TemporaryPath trace("trace");
    std::vector<std::string> traced{"--trace", trace.path(), "--"};
    traced.insert(traced.end(), block_read.begin(), block_read.end());
    const auto recorded = run_sim(traced);
    ASSERT_EQ(recorded.status, 0) << recorded.err;
    ASSERT_EQ(trace.lines(), std::vector<std::string>{"W 0x48 [00] + R 0x48 1+ -> [03 20 00 02]"});

    const TemporaryPath kernel("kernel");
    write_file(kernel.path(),
               "# kzr-415-capture: kernel 6.1.0-57-armmp; bus i2c-4; date "
               "2026-12-09T05:29:13Z; command i2cget -y 4 0x48 0 s\n"
               "          i2cget-97      [000] .....    20.1: i2c_write: i2c-4 #0 a=048 f=0200 "
               "l=1 [00]\n"
               "          i2cget-97      [000] .....    20.1: i2c_read: i2c-4 #1 a=048 f=0601 l=1\n"
               "          i2cget-97      [000] .....    20.1: i2c_reply: i2c-4 #1 a=048 f=0601 "
               "l=4 [03-20-00-02]\n"
               "          i2cget-97      [000] .....    20.1: i2c_result: i2c-4 n=2 ret=2\n");
    for (const auto *capture : {&trace, &kernel}) {
        std::vector<std::string> replay{"--replay", capture->path(), "--"};
        replay.insert(replay.end(), block_read.begin(), block_read.end());
        const auto replayed = run_sim(replay);
        EXPECT_EQ(replayed.out, recorded.out);
        EXPECT_EQ(replayed.err, "");
        EXPECT_EQ(replayed.status, 0);
    }
}

TEST(ReplayInput, EveryProcessOfTheRunAnswersFromTheOneRecording) {
    if (i2cget.empty()) {
        GTEST_SKIP() << "i2cget (i2c-tools) is not installed";
    }
    // Three processes, one after another, each with its own turn of the recording.
    const std::string script = "for r in 0 1 2; do \"$0\" -y 4 0x48 $r w || exit; done";
    const TemporaryPath trace("trace");
    const auto recorded = run_sim({"--trace", trace.path(), "--", "sh", "-c", script, i2cget});
    ASSERT_EQ(recorded.status, 0) << recorded.err;
    ASSERT_EQ(trace.lines().size(), 3U);
    const auto replayed = run_sim({"--replay", trace.path(), "--", "sh", "-c", script, i2cget});
    EXPECT_EQ(replayed.out, recorded.out);
    EXPECT_EQ(replayed.err, "");
    EXPECT_EQ(replayed.status, 0);
    // The same processes in another order diverge where the second one starts.
    const auto reordered = run_sim({"--replay", trace.path(), "--", "sh", "-c",
                                    "for r in 0 2 1; do \"$0\" -y 4 0x48 $r w; done", i2cget});
    EXPECT_NE(reordered.err.find("replay diverged at transfer 2: expected W 0x48 [01] + R 0x48 "
                                 "2, seen W 0x48 [02] + R 0x48 2\n"),
              std::string::npos)
        << reordered.err;
    EXPECT_EQ(reordered.status, 124);
}

TEST(ReplayInput, ACaptureTheKernelCouldNotHaveWrittenIsRefusedBeforeTheProgramStarts) {
    std::stringstream board;
    board << std::ifstream(KZR415_BOARD_CAPTURE).rdbuf();
    std::string cut; // the board's capture, ended after transfer 3 of 17
    std::istringstream lines(board.str());
    for (std::string line;
         std::getline(lines, line) && cut.find("13.560921") == std::string::npos;) {
        cut += line + "\n";
    }
    const std::vector<std::pair<std::string, std::string>> captures{
        {"", "no transfer in the capture"},
        {"W 0x48 [01]\nW 0x48 [00] FAILED errno 99999\n",
         "line 2: errno 99999: the kernel's errnos end at 4095"},
        {cut, "line 4: the header counts 40 events, the capture holds 7 (it was cut short)"},
    };
    const TemporaryPath capture("capture");
    const TemporaryPath marker("marker");
    for (const auto &[text, reason] : captures) {
        write_file(capture.path(), text);
        const auto result = run_sim({"--replay", capture.path(), "--", "touch", marker.path()});
        EXPECT_EQ(result.err, "kzr-415-sim: bad value for --replay: '" + capture.path() + "' (" +
                                  reason + ")\n");
        EXPECT_EQ(result.status, 2);
    }
    EXPECT_EQ(run_program({"test", "-e", marker.path()}).status, 1) << "a program ran";
}

} // namespace
} // namespace kzr415::test
