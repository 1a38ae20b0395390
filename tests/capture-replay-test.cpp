// Captures read into transfers (the kernel's I2C trace text and bus notation), and a
// recording replayed on the emulated bus: answers, failures and divergences.
#include "replay/replay-device.hpp"
#include "tool-traffic.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace kzr415::sim {
namespace {

// The tracefs "trace" file of the event lines `events`, under its head as the kernel writes
// it, which counts them.
std::string ring(const std::string &events) {
    std::size_t count = 0;
    std::istringstream lines(events);
    for (std::string line; std::getline(lines, line);) {
        count += line.empty() ? 0U : 1U;
    }
    const std::string counted = std::to_string(count) + "/" + std::to_string(count);
    return "# tracer: nop\n"
           "#\n"
           "# entries-in-buffer/entries-written: " +
           counted +
           "   #P:2\n"
           "#\n"
           "#                                _-----=> irqs-off/BH-disabled\n"
           "#           TASK-PID     CPU#  |||||  TIMESTAMP  FUNCTION\n"
           "#              | |         |   |||||     |         |\n" +
           events;
}

// A line of the trace, with the usual columns before the event.
std::string traced(const std::string &event) {
    return "    kzr-415-tool-812     [001] .....    61.204518: " + event + "\n";
}

std::vector<std::string> lines_of(const CaptureReading &reading) {
    std::vector<std::string> lines;
    TransferView transfer;
    for (std::size_t i = 0; reading.transfers.read(i, transfer); ++i) {
        lines.push_back(format_transfer(transfer.copy()));
    }
    return lines;
}

TEST(KernelTrace, ReadsTransfersOfOneAndOfSeveralMessages) {
    const std::string text = ring(
        traced("i2c_write: i2c-4 #0 a=048 f=0000 l=3 [01-1c-1c]") +
        traced("i2c_result: i2c-4 n=1 ret=1") +
        traced("i2c_write: i2c-4 #0 a=048 f=0000 l=1 [01]") +
        traced("i2c_result: i2c-4 n=1 ret=1") + traced("i2c_read: i2c-4 #0 a=048 f=0001 l=2") +
        traced("i2c_reply: i2c-4 #0 a=048 f=0001 l=2 [1c-1c]") +
        traced("i2c_result: i2c-4 n=1 ret=1") +
        // A pointer write and a read joined by a repeated start, as i2ctransfer makes them;
        // a task name with blanks and brackets, and no flags column.
        "    my [odd] task-77     [000]    62.5: i2c_write: i2c-4 #0 a=048 f=0000 l=1 [00]\n" +
        traced("i2c_read: i2c-4 #1 a=048 f=0001 l=6") +
        traced("i2c_reply: i2c-4 #1 a=048 f=0001 l=6 [03-20-00-02-a0-00]") +
        traced("i2c_result: i2c-4 n=2 ret=2") +
        // An address-only write (a quick write) has no bytes.
        traced("i2c_write: i2c-4 #0 a=048 f=0000 l=0 []") + traced("i2c_result: i2c-4 n=1 ret=1"));
    const auto reading = read_kernel_trace(text);
    ASSERT_TRUE(reading.ok) << refusal_text(reading);
    EXPECT_EQ(
        lines_of(reading),
        (std::vector<std::string>{"W 0x48 [01 1c 1c]", "W 0x48 [01]", "R 0x48 2 -> [1c 1c]",
                                  "W 0x48 [00] + R 0x48 6 -> [03 20 00 02 a0 00]", "W 0x48 []"}));
    EXPECT_EQ(read_capture(text).transfers.size(), 5U); // recognised as the kernel's
}

// A capture of the complete kzr-415-tool run that kzr-415-capture recorded on the
// emulated board (Debian's armmp kernel, the simulated kzr-415 module on bus 4).
TEST(KernelTrace, ACaptureFromTheBoardIsTheCompleteRunsTraffic) {
    std::ifstream file(KZR415_BOARD_CAPTURE);
    std::stringstream text;
    text << file.rdbuf();
    ASSERT_FALSE(text.str().empty());
    const auto reading = read_capture(text.str());
    ASSERT_TRUE(reading.ok) << refusal_text(reading);
    EXPECT_EQ(lines_of(reading), test::tool_traffic("03 20 00 02 a0 00"));
    // The kernel's i2c-dev marks its buffers DMA-safe (0x200); only the direction counts.
    TransferView first;
    ASSERT_TRUE(reading.transfers.read(0, first));
    EXPECT_EQ(first.messages[0].flags, 0x200);
}

TEST(KernelTrace, AFailedTransferCarriesItsErrnoAndNoReply) {
    const auto reading = read_kernel_trace(ring(
        traced("i2c_write: i2c-4 #0 a=048 f=0000 l=1 [00]") +
        traced("i2c_result: i2c-4 n=1 ret=-5") + traced("i2c_read: i2c-4 #0 a=048 f=0001 l=2") +
        traced("i2c_result: i2c-4 n=1 ret=-121") +
        traced("i2c_write: i2c-4 #0 a=050 f=0000 l=1 [00]") +
        traced("i2c_read: i2c-4 #1 a=050 f=0001 l=1") + traced("i2c_result: i2c-4 n=2 ret=-6")));
    ASSERT_TRUE(reading.ok) << refusal_text(reading);
    EXPECT_EQ(lines_of(reading),
              (std::vector<std::string>{"W 0x48 [00] FAILED EIO", "R 0x48 2 FAILED EREMOTEIO",
                                        "W 0x50 [00] + R 0x50 1 FAILED ENXIO"}));
}

TEST(KernelTrace, SkipsOtherAdaptersOtherEventsAndComments) {
    const std::string own = traced("i2c_write: i2c-5 #0 a=044 f=0000 l=2 [02-14]") +
                            traced("i2c_result: i2c-5 n=1 ret=1");
    const std::string others =
        traced("i2c_write: i2c-1 #0 a=050 f=0000 l=1 [00]") +
        traced("smbus_read: i2c-5 a=044 f=0000 c=2 BYTE_DATA") +
        traced("sched_switch: prev_comm=sh prev_pid=1 ==> next_comm=x next_pid=2") +
        traced("i2c_read: i2c-1 #1 a=050 f=0001 l=1") +
        traced("i2c_reply: i2c-1 #1 a=050 f=0001 l=1 [ff]") + "\n" +
        traced("i2c_result: i2c-1 n=2 ret=2");
    // The adapter of the first I2C event, or the one the capture's header names.
    auto reading = read_kernel_trace(ring(own + others + own));
    ASSERT_TRUE(reading.ok) << refusal_text(reading);
    EXPECT_EQ(lines_of(reading), (std::vector<std::string>{"W 0x44 [02 14]", "W 0x44 [02 14]"}));
    reading = read_kernel_trace("# kzr-415-capture: kernel 6.1.0-28-armmp; bus i2c-5; date "
                                "2026-12-09T05:31:02Z; command kzr-415-tool\n" +
                                ring(others + own));
    ASSERT_TRUE(reading.ok) << refusal_text(reading);
    EXPECT_EQ(lines_of(reading), (std::vector<std::string>{"W 0x44 [02 14]"}));
}

TEST(KernelTrace, RefusesACaptureWithAGap) {
    const std::string own =
        traced("i2c_write: i2c-4 #0 a=048 f=0000 l=1 [00]") + traced("i2c_result: i2c-4 n=1 ret=1");
    auto reading = read_kernel_trace(ring(own + "CPU:1 [LOST 12 EVENTS]\n" + own));
    EXPECT_FALSE(reading.ok);
    EXPECT_EQ(refusal_text(reading),
              "line 10: lost events (a capture with a gap is not a recording)");
    // The ring buffer overwrote its oldest entries.
    reading = read_kernel_trace("# tracer: nop\n#\n# entries-in-buffer/entries-written: 10/12   "
                                "#P:2\n" +
                                own);
    EXPECT_FALSE(reading.ok);
    EXPECT_EQ(refusal_text(reading), "line 3: the ring buffer lost 2 of 12 events (a capture "
                                     "with a gap is not a recording)");
}

TEST(KernelTrace, RefusesMalformedLinesWithTheLineNumberAndAReason) {
    struct Case {
        std::string text;
        std::string refusal;
    };
    const std::string write0 = traced("i2c_write: i2c-4 #0 a=048 f=0000 l=1 [00]");
    const std::string read1 = traced("i2c_read: i2c-4 #1 a=048 f=0001 l=2");
    const std::vector<Case> cases{
        {"garbage\n", "line 1: not a line of the kernel's trace (TASK-PID [CPU] FLAGS "
                      "TIMESTAMP: EVENT: FIELDS)"},
        {traced("i2c_write: i2c-4 #0 a=0z8 f=0000 l=1 [00]"),
         "line 1: malformed i2c_write fields (expected #N a=ADDR f=FLAGS l=LENGTH)"},
        {traced("i2c_write: i2c-4 #0 a=048 f=0000 l=2 [00]"),
         "line 1: malformed i2c_write fields (l=2 but 1 bytes)"},
        {traced("i2c_write: i2c-4 #0 a=048 f=0000 l=1 [0]"),
         "line 1: malformed i2c_write fields (expected [HEX-HEX-...] after l=)"},
        {traced("i2c_result: i2c-4 n=1"),
         "line 1: malformed i2c_result fields (expected n=COUNT ret=RESULT)"},
        {traced("i2c_result: i2c-4 n=1 ret=1"), "line 1: i2c_result with no transfer before it"},
        {write0 + traced("i2c_write: i2c-4 #2 a=048 f=0000 l=1 [00]"),
         "line 2: message #2 where #1 was due"},
        {write0 + write0, "line 2: a new transfer while the one begun on line 1 has no "
                          "i2c_result"},
        {write0 + read1 + traced("i2c_result: i2c-4 n=1 ret=1"),
         "line 3: i2c_result n=1 for a transfer of 2 messages"},
        {write0 + read1 + traced("i2c_result: i2c-4 n=2 ret=2"),
         "line 3: read message #1 has no i2c_reply"},
        {write0 + read1 + traced("i2c_result: i2c-4 n=2 ret=1"),
         "line 3: i2c_result ret=1 of n=2: a transfer done in part cannot be replayed"},
        {write0 + traced("i2c_reply: i2c-4 #0 a=048 f=0001 l=1 [00]"),
         "line 2: i2c_reply #0 does not answer the message it names"},
        {traced("i2c_read: i2c-4 #0 a=048 f=0000 l=1"), "line 1: i2c_read #0 with flags f=0"},
        {"\n" + write0 + read1, "line 3: the capture ends inside the transfer begun on line 2"},
    };
    for (const auto &c : cases) {
        const auto reading = read_kernel_trace(c.text);
        EXPECT_FALSE(reading.ok) << c.text;
        EXPECT_EQ(refusal_text(reading), c.refusal) << c.text;
    }
    // The kernel shows no more than 64 bytes of a message.
    std::string bytes = "00";
    for (int i = 1; i < 64; ++i) {
        bytes += "-00";
    }
    const auto long_write =
        read_kernel_trace(traced("i2c_write: i2c-4 #0 a=048 f=0000 l=100 [" + bytes + "]"));
    EXPECT_EQ(refusal_text(long_write), "line 1: a message of 100 bytes: the kernel's trace shows "
                                        "only its first 64, so it cannot be replayed");
}

TEST(BusNotation, ReadsTheEmulatedBussTraceBack) {
    const auto traffic = test::tool_traffic("03 20 00 02 a0 00");
    std::string text = "# a comment\n\n";
    std::vector<std::string> expected = traffic;
    expected.insert(expected.end(),
                    {"W 0x48 [00] FAILED ETIMEDOUT", "R 0x48 6 FAILED EIO",
                     "W 0x48 [00] + R 0x48 2 -> [1c 1c]", "W 0x48 [01] FAILED errno 4000"});
    for (const auto &line : expected) {
        text += line + "\n";
    }
    const auto reading = read_capture(text);
    ASSERT_TRUE(reading.ok) << refusal_text(reading);
    EXPECT_EQ(lines_of(reading), expected);
    TransferView last;
    ASSERT_TRUE(reading.transfers.read(reading.transfers.size() - 1, last));
    EXPECT_EQ(last.error, 4000);

    for (const auto &[line, refusal] : std::vector<std::pair<std::string, std::string>>{
             {"W 0x48 [01 1c 1c]\nW 48 [01]\n",
              "line 2: expected W 0xADDR [...] or R 0xADDR LENGTH -> [...]"},
             {"R 0x48 2 -> [1c]\n", "line 1: a read of 2 bytes with 1 bytes read"},
             {"R 0x48 2\n", "line 1: expected -> [...] after the read's length"},
             {"W 0x48 [01] FAILED EWHAT\n", "line 1: unknown errno name 'EWHAT'"},
         }) {
        const auto refused = read_bus_notation(line);
        EXPECT_FALSE(refused.ok);
        EXPECT_EQ(refusal_text(refused), refusal) << line;
    }
}

// A request of the messages given, as a program makes it.
class Request {
  public:
    Request &write(std::vector<std::uint8_t> bytes) {
        buffers_.push_back(std::move(bytes));
        flags_.push_back(0);
        return *this;
    }
    Request &read(std::size_t length) {
        buffers_.emplace_back(length, 0xEE);
        flags_.push_back(I2C_M_RD);
        return *this;
    }
    i2c_rdwr_ioctl_data &data() {
        messages_.clear();
        for (std::size_t i = 0; i < buffers_.size(); ++i) {
            messages_.push_back(i2c_msg{0x48, flags_[i],
                                        static_cast<std::uint16_t>(buffers_[i].size()),
                                        buffers_[i].data()});
        }
        request_ = {messages_.data(), static_cast<std::uint32_t>(messages_.size())};
        return request_;
    }
    [[nodiscard]] const std::vector<std::uint8_t> &buffer(std::size_t i) const {
        return buffers_[i];
    }

  private:
    std::vector<std::vector<std::uint8_t>> buffers_;
    std::vector<std::uint16_t> flags_;
    std::vector<i2c_msg> messages_;
    i2c_rdwr_ioctl_data request_{};
};

Recording recording(const std::string &text) {
    auto reading = read_bus_notation(text);
    EXPECT_TRUE(reading.ok) << refusal_text(reading);
    return std::move(reading.transfers);
}

// A bus on which a recording (bus notation) answers, its divergence reported to `report`.
struct ReplayedBus {
    ReplayedBus(const std::string &text, const std::string &report)
        : replay(recording(text), report) {
        bus.set_responder(&replay);
    }
    int transfer(Request &request) { return bus.rdwr(request.data()); }
    ReplayDevice replay;
    EmulatedBus bus;
};

TEST(Replay, AnswersAsRecordedThenReportsATransferTooMany) {
    ReplayedBus replayed("W 0x48 [00] + R 0x48 2 -> [1c 3c]\nR 0x48 6 FAILED EREMOTEIO\n", "");
    Request both;
    both.write({0x00}).read(2);
    EXPECT_EQ(replayed.transfer(both), 2);
    EXPECT_EQ(both.buffer(1), (std::vector<std::uint8_t>{0x1C, 0x3C}));
    Request failing;
    failing.read(6);
    EXPECT_EQ(replayed.transfer(failing), -EREMOTEIO);
    EXPECT_EQ(replayed.replay.divergence(), "");
    // The bus's own record shows the replayed answers.
    EXPECT_EQ(format_transfer(replayed.bus.transfers()[0]), "W 0x48 [00] + R 0x48 2 -> [1c 3c]");

    Request more;
    more.write({0x01});
    EXPECT_EQ(replayed.transfer(more), -EIO);
    EXPECT_EQ(replayed.replay.divergence(),
              "replay diverged at transfer 3: expected the end of the recording, seen W 0x48 [01]");
}

TEST(Replay, TheFirstDivergenceIsReportedOnceAndLaterTransfersFail) {
    const test::TemporaryFolder folder;
    const std::string report = folder.path("divergence");
    test::write_file(report, "");

    ReplayedBus replayed("W 0x48 [01 1c 1c]\nW 0x48 [01]\nR 0x48 2 -> [1c 1c]\n", report);
    Request other_bytes;
    other_bytes.write({0x01, 0x1C, 0x3C});
    EXPECT_EQ(replayed.transfer(other_bytes), -EIO);
    Request as_recorded; // matches transfer 2, but the replay has diverged
    as_recorded.write({0x01});
    EXPECT_EQ(replayed.transfer(as_recorded), -EIO);
    Request longer_read;
    longer_read.read(6);
    EXPECT_EQ(replayed.transfer(longer_read), -EIO);
    EXPECT_EQ(test::read_file(report), "replay diverged at transfer 1: expected W 0x48 [01 1c 1c], "
                                       "seen W 0x48 [01 1c 3c]\n");
    // Another process of the run (another replay of the same report) diverged first: this
    // one's transfers fail, and the report keeps the first line.
    ReplayedBus second("W 0x48 [01 1c 1c]\n", report);
    Request first;
    first.write({0x01, 0x1C, 0x1C});
    EXPECT_EQ(second.transfer(first), -EIO);
}

TEST(Replay, AReadOfAnotherLengthOrAddressDiverges) {
    ReplayedBus replayed("R 0x48 2 -> [1c 1c]\n", "");
    Request longer;
    longer.read(6);
    EXPECT_EQ(replayed.transfer(longer), -EIO);
    EXPECT_EQ(replayed.replay.divergence(),
              "replay diverged at transfer 1: expected R 0x48 2, seen R 0x48 6");
    EXPECT_EQ(longer.buffer(0), std::vector<std::uint8_t>(6, 0xEE)); // nothing read
}

} // namespace
} // namespace kzr415::sim
