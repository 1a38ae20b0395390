// kzr-415-sim --replay: a capture of a run (the emulated bus's trace, or the kernel's I2C
// trace text) replayed with the unmodified kzr-415-tool and Debian's i2ctransfer; the
// replay's answers, its divergences and its exit status.
#include "program-run.hpp"
#include "tool-traffic.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kzr415::test {
namespace {

const std::string tool = KZR415_TOOL_PATH;
const std::string i2ctransfer = KZR415_I2CTRANSFER;
constexpr int diverged = 124;

RunResult run_sim(const std::vector<std::string> &arguments) {
    std::vector<std::string> argv{KZR415_SIM_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run_program(argv);
}

void write_lines(const TemporaryPath &file, const std::vector<std::string> &lines) {
    std::string text;
    for (const auto &line : lines) {
        text += line + "\n";
    }
    run_program({"sh", "-c", "printf '%s' \"$1\" > \"$2\"", "sh", text, file.path()});
}

// Bytes "01 1c" as the kernel's trace shows them: "01-1c".
std::string dashed(std::string bytes) {
    for (auto &c : bytes) {
        c = c == ' ' ? '-' : c;
    }
    return bytes;
}

// The kernel's trace text of single-message transfers in bus notation, on adapter i2c-4,
// under the tracefs file's own header and a capture header.
std::vector<std::string> as_kernel_trace(const std::vector<std::string> &transfers) {
    std::vector<std::string> lines{
        "# kzr-415-capture: kernel 6.1.0-28-armmp; bus i2c-4; date 2026-12-09T05:31:02Z; "
        "command kzr-415-tool",
        "# tracer: nop",
        "#",
        "# entries-in-buffer/entries-written: 40/40   #P:1",
        "#",
        "#           TASK-PID     CPU#  |||||  TIMESTAMP  FUNCTION"};
    const std::string columns = "    kzr-415-tool-812     [000] .....    61.2045: ";
    for (const auto &transfer : transfers) {
        const auto open = transfer.find('[');
        const auto bytes = dashed(transfer.substr(open + 1, transfer.find(']') - open - 1));
        if (transfer.starts_with("W ")) {
            const auto count = bytes.empty() ? 0 : (bytes.size() + 1) / 3;
            lines.push_back(columns + "i2c_write: i2c-4 #0 a=048 f=0000 l=" +
                            std::to_string(count) + " [" + bytes + "]");
        } else {
            const auto length = transfer.substr(7, transfer.find(' ', 7) - 7);
            lines.push_back(columns + "i2c_read: i2c-4 #0 a=048 f=0001 l=" + length);
            lines.push_back(columns + "i2c_reply: i2c-4 #0 a=048 f=0001 l=" + length + " [" +
                            bytes + "]");
        }
        lines.push_back(columns + "i2c_result: i2c-4 n=1 ret=1");
    }
    return lines;
}

TEST(Replay, ACompleteRunReplaysToTheSameOutputInEitherFormat) {
    const TemporaryPath trace("trace");
    const auto recorded =
        run_sim({"-1", "-25.25", "-2", "21", "--trace", trace.path(), "--", tool});
    ASSERT_EQ(recorded.status, 0);
    const auto traffic = trace.lines();
    ASSERT_EQ(traffic, tool_traffic("fc d7 ff 02 a0 00"));

    const TemporaryPath replayed_trace("replayed-trace");
    const auto replayed =
        run_sim({"--replay", trace.path(), "--trace", replayed_trace.path(), "--", tool});
    EXPECT_EQ(replayed.out, recorded.out);
    EXPECT_EQ(replayed.err, "");
    EXPECT_EQ(replayed.status, 0);
    EXPECT_EQ(replayed_trace.lines(), traffic);

    const TemporaryPath kernel("kernel-trace");
    write_lines(kernel, as_kernel_trace(traffic));
    const auto from_kernel = run_sim({"--replay", kernel.path(), "--", tool});
    EXPECT_EQ(from_kernel.out, recorded.out);
    EXPECT_EQ(from_kernel.err, "");
    EXPECT_EQ(from_kernel.status, 0);
}

TEST(Replay, AFailedTransferFailsAgainWithTheRecordedErrno) {
    const TemporaryPath trace("trace");
    const auto recorded = run_sim({"--fail", "3:EPROTO", "--trace", trace.path(), "--", tool});
    ASSERT_EQ(trace.lines().at(2), "R 0x48 2 FAILED EPROTO");
    const auto replayed = run_sim({"--replay", trace.path(), "--", tool});
    EXPECT_EQ(replayed.out, recorded.out);
    EXPECT_EQ(replayed.err, "ioctl(): Protocol error\nioctl returned -1\n");
    EXPECT_EQ(replayed.err, recorded.err);
    EXPECT_EQ(replayed.status, 3);
    EXPECT_EQ(recorded.status, 3);
}

// The complete run recorded with kzr-415-capture on the emulated board's kernel.
const std::string board_capture = KZR415_BOARD_CAPTURE;

TEST(Replay, TheBoardsCaptureReplaysToTheBoardsOutput) {
    const auto planned = scenario("board-capture");
    ASSERT_EQ(planned.command.at(0).substr(planned.command.at(0).rfind('/')),
              board_capture.substr(board_capture.rfind('/')));
    const auto replayed = run_sim({"--replay", planned.command.at(0), "--", tool});
    EXPECT_EQ(replayed.out, planned.text("stdout"));
    EXPECT_EQ(replayed.err, planned.text("stderr"));
    EXPECT_EQ(replayed.status, planned.status());
}

TEST(Replay, AnotherMessageDivergesThere) {
    if (i2ctransfer.empty()) {
        GTEST_SKIP() << "i2ctransfer (i2c-tools) is not installed";
    }
    // A program that configures {0x1C, 0x3C} where the recorded one wrote {0x1C, 0x1C}.
    const auto result = run_sim({"--replay", board_capture, "--", i2ctransfer, "-y", "4", "w3@0x48",
                                 "0x01", "0x1c", "0x3c"});
    EXPECT_NE(result.err.find("kzr-415-sim: replay diverged at transfer 1: expected W 0x48 [01 1c "
                              "1c], seen W 0x48 [01 1c 3c]\n"),
              std::string::npos)
        << result.err;
    EXPECT_TRUE(result.err.ends_with("3c]\n")) << "the divergence is the run's last line";
    EXPECT_EQ(result.status, diverged);
}

TEST(Replay, ATransferTooManyOrOneTooFewDiverges) {
    auto traffic = tool_traffic("03 20 00 02 a0 00");
    const std::string last = traffic.back(); // channel 2's temperature read
    traffic.pop_back();
    const TemporaryPath short_recording("short");
    write_lines(short_recording, traffic);
    const auto too_many = run_sim({"--replay", short_recording.path(), "--", tool});
    EXPECT_EQ(too_many.err, "ioctl(): Input/output error\nioctl returned -1\n"
                            "kzr-415-sim: replay diverged at transfer 17: expected the end of the "
                            "recording, seen " +
                                last.substr(0, last.find(" ->")) + "\n");
    EXPECT_NE(too_many.out.find("read temperature register err!\ntemperature 2:-1.000000\n"),
              std::string::npos);
    EXPECT_EQ(too_many.status, diverged);

    if (i2ctransfer.empty()) {
        GTEST_SKIP() << "i2ctransfer (i2c-tools) is not installed";
    }
    const TemporaryPath full("full");
    write_lines(full, tool_traffic("03 20 00 02 a0 00"));
    const auto too_few = run_sim(
        {"--replay", full.path(), "--", i2ctransfer, "-y", "4", "w3@0x48", "0x01", "0x1c", "0x1c"});
    EXPECT_EQ(too_few.err, "kzr-415-sim: replay diverged at transfer 2: expected W 0x48 [01], "
                           "seen the end of the program\n");
    EXPECT_EQ(too_few.status, diverged);
    // A program that fails on its own, with the recording followed to its end, keeps its
    // status.
    write_lines(full, {"W 0x48 [01 1c 1c]"});
    EXPECT_EQ(run_sim({"--replay", full.path(), "--", "sh", "-c",
                       i2ctransfer + " -y 4 w3@0x48 0x01 0x1c 0x1c; exit 3"})
                  .status,
              3);
}

TEST(Replay, ABadCaptureOrAContradictingOptionIsRefusedBeforeTheProgramRuns) {
    const TemporaryPath capture("capture");
    const TemporaryPath marker("marker");
    write_lines(capture, {"# tracer: nop", "CPU:0 [LOST 3 EVENTS]"});
    auto result = run_sim({"--replay", capture.path(), "--", "touch", marker.path()});
    EXPECT_EQ(result.err, "kzr-415-sim: bad value for --replay: '" + capture.path() +
                              "' (line 2: lost events (a capture with a gap is not a "
                              "recording))\n");
    EXPECT_EQ(result.status, 2);
    write_lines(capture, {"W 0x48 [01]"});
    result = run_sim({"--replay", capture.path(), "--fail", "1:EIO", "--", "touch", marker.path()});
    EXPECT_EQ(result.err, "kzr-415-sim: --replay cannot be combined with --fail (the recording "
                          "answers for the device)\n");
    EXPECT_EQ(result.status, 2);
    result = run_sim({"--replay", "/nonexistent/capture", "--", "touch", marker.path()});
    EXPECT_EQ(result.err, "kzr-415-sim: bad value for --replay: '/nonexistent/capture' (No such "
                          "file or directory)\n");
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(run_program({"test", "-e", marker.path()}).status, 1) << "the program ran";
}

} // namespace
} // namespace kzr415::test
