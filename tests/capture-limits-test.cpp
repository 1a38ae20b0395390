// Captures that the kernel could not have written, refused with their line; block reads
// (I2C_M_RECV_LEN) read from either format and replayed; the saved recording that every
// process of a replayed run maps.
#include "program-run.hpp"
#include "replay/replay-device.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace kzr415::sim {
namespace {

std::string traced(const std::string &event) {
    return "    i2cget-90     [000] .....    70.5: " + event + "\n";
}

// A transfer of one write on i2c-4, as the kernel traces it.
const std::string one_write =
    traced("i2c_write: i2c-4 #0 a=048 f=0000 l=1 [00]") + traced("i2c_result: i2c-4 n=1 ret=1");

std::string refusal(const std::string &capture) {
    const auto reading = read_capture_to_replay(capture);
    return reading.ok ? "accepted" : refusal_text(reading);
}

std::vector<std::string> lines_of(const Recording &recording) {
    std::vector<std::string> lines;
    TransferView transfer;
    for (std::size_t i = 0; recording.read(i, transfer); ++i) {
        lines.push_back(format_transfer(transfer.copy()));
    }
    return lines;
}

std::string repeated(const std::string &item, std::size_t count, const std::string &separator) {
    std::string text = item;
    for (std::size_t i = 1; i < count; ++i) {
        text += separator + item;
    }
    return text;
}

TEST(CaptureLimits, ACaptureOfNoTransferOrOfSplitLinesIsRefused) {
    for (const auto &empty :
         std::vector<std::string>{"", "\n\n", "# only\n# comments\n",
                                  traced("sched_switch: prev_comm=sh prev_pid=1 ==> next")}) {
        EXPECT_EQ(refusal(empty), "no transfer in the capture") << empty;
        // Read, not replayed (a board's run without a bus node): no transfer, no refusal.
        const auto read = read_capture(empty);
        EXPECT_TRUE(read.ok && read.transfers.empty()) << refusal_text(read);
    }
    // The header names a bus that none of the capture's I2C events is on.
    EXPECT_EQ(refusal("# kzr-415-capture: kernel 6.1.0; bus i2c-5; date 2026-12-09T05:31:02Z; "
                      "command i2cget\n" +
                      one_write),
              "line 1: no transfer on i2c-5, the bus this header names (the capture's I2C events "
              "are on i2c-4)");
    // Carriage returns for line ends: the whole file is one line. Before a line feed, one is
    // let through.
    const std::string split = "line 1: a carriage return within the line (a capture's lines end "
                              "with a line feed)";
    EXPECT_EQ(refusal("W 0x48 [01]\rW 0x48 [02]\r"), split);
    EXPECT_EQ(refusal("# tracer: nop\r#\r" + one_write), split);
    EXPECT_EQ(refusal("W 0x48 [01]\r\nW 0x48 [02]\r\n"), "accepted");
}

TEST(CaptureLimits, WhatI2cDevCannotCarryIsRefusedWithItsLine) {
    const std::string write = "W 0x48 [01]\n";
    const std::string too_long = "a message of 8193 bytes: i2c-dev takes at most 8192";
    EXPECT_EQ(refusal(write + "W 0x48 [" + repeated("00", 8193, " ") + "]\n"),
              "line 2: " + too_long);
    EXPECT_EQ(refusal(write + "R 0x48 8193 FAILED EIO\n"), "line 2: " + too_long);
    EXPECT_EQ(refusal(write + repeated("W 0x48 [00]", 42, " + ") + "\n"), "accepted");
    EXPECT_EQ(refusal(write + repeated("W 0x48 [00]", 43, " + ") + "\n"),
              "line 2: a transfer of more than 42 messages: i2c-dev takes at most 42");
    EXPECT_EQ(refusal(write + "W 0x48 [00] FAILED errno 4095\n"), "accepted");
    EXPECT_EQ(refusal(write + "W 0x48 [00] FAILED errno 99999\n"),
              "line 2: errno 99999: the kernel's errnos end at 4095");
    EXPECT_EQ(refusal(write + "R 0x48 1 -> [00] FAILED EIO\n"),
              "line 2: a failed transfer's read with bytes read");

    // The same limits in the kernel's trace text.
    EXPECT_EQ(refusal(traced("i2c_read: i2c-4 #0 a=048 f=0001 l=8193")), "line 1: " + too_long);
    std::string many;
    for (int i = 0; i < 43; ++i) {
        many += traced("i2c_write: i2c-4 #" + std::to_string(i) + " a=048 f=0000 l=1 [00]");
    }
    EXPECT_EQ(refusal(many), "line 43: a transfer of more than 42 messages: i2c-dev takes at "
                             "most 42");
    const std::string write0 = traced("i2c_write: i2c-4 #0 a=048 f=0000 l=1 [00]");
    EXPECT_EQ(refusal(write0 + traced("i2c_result: i2c-4 n=1 ret=-4095")), "accepted");
    EXPECT_EQ(refusal(write0 + traced("i2c_result: i2c-4 n=1 ret=-4096")),
              "line 2: i2c_result ret=-4096: the kernel's errnos end at 4095");
}

TEST(CaptureLimits, ACaptureCutShortOfTheEventsItsHeaderCountsIsRefused) {
    const auto counted = [](int events) {
        return "# tracer: nop\n#\n# entries-in-buffer/entries-written: " + std::to_string(events) +
               "/" + std::to_string(events) + "   #P:1\n#\n";
    };
    EXPECT_EQ(refusal(counted(4) + one_write),
              "line 3: the header counts 4 events, the capture holds 2 (it was cut short)");
    EXPECT_EQ(refusal(counted(2) + one_write), "accepted");
    // Events traced while the file was read (tracing stays on): more than counted.
    EXPECT_EQ(refusal(counted(1) + one_write), "accepted");
}

TEST(BlockRead, EitherFormatReadsABlockReadAsAskedAndChecksItsCount) {
    const std::string line = "W 0x48 [00] + R 0x48 1+ -> [03 20 00 02]";
    const auto kernel = read_capture(traced("i2c_write: i2c-4 #0 a=048 f=0200 l=1 [00]") +
                                     traced("i2c_read: i2c-4 #1 a=048 f=0601 l=1") +
                                     traced("i2c_reply: i2c-4 #1 a=048 f=0601 l=4 [03-20-00-02]") +
                                     traced("i2c_result: i2c-4 n=2 ret=2"));
    ASSERT_TRUE(kernel.ok) << refusal_text(kernel);
    EXPECT_EQ(lines_of(kernel.transfers), std::vector<std::string>{line});
    const auto notation = read_capture(line + "\nR 0x48 2+ FAILED EPROTO\n");
    ASSERT_TRUE(notation.ok) << refusal_text(notation);
    EXPECT_EQ(lines_of(notation.transfers),
              (std::vector<std::string>{line, "R 0x48 2+ FAILED EPROTO"}));

    const std::string count = "a block read of 1+ with 4 bytes read: they are the 1 asked for, "
                              "the first a count of 1 to 32, then that many";
    EXPECT_EQ(refusal("R 0x48 1+ -> [04 20 00 02]\n"), "line 1: " + count);
    EXPECT_TRUE(refusal("R 0x48 1+ -> [00]\n").starts_with("line 1: a block read of 1+ with 1 "));
    EXPECT_TRUE(refusal("R 0x48 1+ -> [21 " + repeated("00", 33, " ") + "]\n")
                    .starts_with("line 1: a block read of 1+ with 34 "));
    EXPECT_EQ(refusal(traced("i2c_read: i2c-4 #0 a=048 f=0401 l=1") +
                      traced("i2c_reply: i2c-4 #0 a=048 f=0401 l=4 [04-20-00-02]") +
                      traced("i2c_result: i2c-4 n=1 ret=1")),
              "line 2: i2c_reply #0: " + count);
    // A plain read's reply is as long as the read.
    EXPECT_EQ(refusal(traced("i2c_read: i2c-4 #0 a=048 f=0001 l=1") +
                      traced("i2c_reply: i2c-4 #0 a=048 f=0001 l=4 [03-20-00-02]")),
              "line 2: i2c_reply #0 does not answer the message it names");
}

// A block read as i2c-dev hands it to the bus: the count byte asked for, room for the block.
struct BlockRequest {
    std::array<std::uint8_t, 1> pointer{0x00};
    std::array<std::uint8_t, 1 + I2C_SMBUS_BLOCK_MAX> block{};
    std::array<i2c_msg, 2> messages{
        {{0x48, 0, 1, pointer.data()}, {0x48, I2C_M_RD | I2C_M_RECV_LEN, 1, block.data()}}};
    i2c_rdwr_ioctl_data data{messages.data(), 2};
};

Recording recording_of(const std::string &text) {
    auto reading = read_capture(text);
    EXPECT_TRUE(reading.ok) << refusal_text(reading);
    return std::move(reading.transfers);
}

TEST(BlockRead, AReplayAnswersWithTheCountAndBlockAndTellsAPlainReadApart) {
    ReplayDevice replay(recording_of("W 0x48 [00] + R 0x48 1+ -> [03 20 00 02]\n"
                                     "W 0x48 [00] + R 0x48 1+ -> [03 20 00 02]\n"),
                        "");
    EmulatedBus bus;
    bus.set_responder(&replay);
    BlockRequest request;
    EXPECT_EQ(bus.rdwr(request.data), 2);
    EXPECT_EQ(request.messages[1].len, 4); // raised by the count, as the adapter does
    EXPECT_EQ(std::vector<std::uint8_t>(request.block.begin(), request.block.begin() + 5),
              (std::vector<std::uint8_t>{0x03, 0x20, 0x00, 0x02, 0x00}));
    EXPECT_EQ(format_transfer(bus.transfers().at(0)), "W 0x48 [00] + R 0x48 1+ -> [03 20 00 02]");

    BlockRequest plain; // a plain read of four bytes where a block read was recorded
    plain.messages[1].flags = I2C_M_RD;
    plain.messages[1].len = 4;
    EXPECT_EQ(bus.rdwr(plain.data), -EIO);
    EXPECT_EQ(replay.divergence(), "replay diverged at transfer 2: expected W 0x48 [00] + R 0x48 "
                                   "1+, seen W 0x48 [00] + R 0x48 4");
}

TEST(SavedRecording, EveryProcessMapsWhatWasSavedAndAnythingElseIsRefused) {
    const test::TemporaryFolder folder;
    const std::string saved = folder.path("recording");
    const std::string text = "W 0x48 [01 1c 1c]\nW 0x48 [00] + R 0x48 1+ -> [02 1c 1c]\n"
                             "R 0x48 2 FAILED EREMOTEIO\n";
    ASSERT_TRUE(recording_of(text).save(saved));
    EXPECT_FALSE(recording_of(text).save(saved)) << "an existing file is never replaced";
    std::string error;
    auto mapped = load_recording(saved, error);
    ASSERT_TRUE(mapped) << error;
    EXPECT_EQ(lines_of(*mapped), (std::vector<std::string>{"W 0x48 [01 1c 1c]",
                                                           "W 0x48 [00] + R 0x48 1+ -> [02 1c 1c]",
                                                           "R 0x48 2 FAILED EREMOTEIO"}));
    // A capture's text, as the preload alone is given it, is read as a capture.
    test::write_file(folder.path("capture"), text);
    auto read = load_recording(folder.path("capture"), error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(lines_of(*read), lines_of(*mapped));

    // A saved file cut short, or with a transfer damaged in it.
    const std::string whole = test::read_file(saved);
    test::write_file(folder.path("short"), whole.substr(0, whole.size() - 1));
    EXPECT_FALSE(Recording::map(folder.path("short"), error));
    EXPECT_EQ(error, "not a recording");
    std::string damaged = whole;
    damaged[damaged.find(std::string("\x02\x1c\x1c", 3))] = 0x05; // the block's count
    test::write_file(folder.path("damaged"), damaged);
    auto recording = Recording::map(folder.path("damaged"), error);
    ASSERT_TRUE(recording) << error;
    TransferView transfer;
    EXPECT_TRUE(recording->read(0, transfer));
    EXPECT_FALSE(recording->read(1, transfer));
    ReplayDevice replay(std::move(*recording), "");
    EmulatedBus bus;
    bus.set_responder(&replay);
    std::array<std::uint8_t, 3> configuration{0x01, 0x1c, 0x1c};
    std::array<i2c_msg, 1> first{{{0x48, 0, 3, configuration.data()}}};
    i2c_rdwr_ioctl_data data{first.data(), 1};
    EXPECT_EQ(bus.rdwr(data), 1);
    BlockRequest block;
    EXPECT_EQ(bus.rdwr(block.data), -EIO);
    EXPECT_EQ(block.block[0], 0) << "nothing of a damaged transfer reaches the program";
    EXPECT_EQ(replay.divergence(), "replay diverged at transfer 2: expected a transfer the "
                                   "recording's file no longer holds whole, seen W 0x48 [00] + R "
                                   "0x48 1+");
}

} // namespace
} // namespace kzr415::sim
