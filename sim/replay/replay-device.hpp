// A recorded capture replayed on the emulated bus: each transfer the program asks for is
// compared with the recording's transfer of that number, and answered as recorded (each
// read gets the recorded bytes, each failed transfer fails with the recorded errno).
//
// Two transfers ask for the same when their requests read alike in bus notation
// (format_request): the same messages, each with its address, direction and length, and
// for a write its bytes. The first transfer that differs, or that comes after the last one
// recorded, is the divergence: it is written, as one line, to the report file (kept by
// kzr-415-sim), and from it on every transfer fails with EIO, since the recording no
// longer says what the device would answer. A report file that holds a line already (another
// process of the run diverged first) is left as it is.
#pragma once

#include "bus/emulated-bus.hpp"
#include "replay/recording.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace kzr415::sim {

// What a divergence names in place of a transfer that is not there.
inline constexpr std::string_view end_of_recording = "the end of the recording";
inline constexpr std::string_view end_of_program = "the end of the program";

// "replay diverged at transfer N: expected EXPECTED, seen SEEN"
std::string divergence_text(unsigned number, std::string_view expected, std::string_view seen);

// The largest capture taken: some hundred thousand transfers.
inline constexpr std::size_t max_capture_size = std::size_t{16} << 20U;

// The text of the file `path`, read with the system's own calls, as a preloaded program must:
// false with `reason` set when it is not a regular file of at most max_capture_size bytes or
// cannot be read.
bool read_capture_file(const std::string &path, std::string &text, std::string &reason);

// The recording at `path`: a saved one (recording.hpp) mapped, else a capture in either
// format read (read_capture_to_replay), with the system's own calls, as a preloaded program must;
// nullopt with `error` set on failure.
std::optional<Recording> load_recording(const std::string &path, std::string &error);

class ReplayDevice final : public TransferResponder {
  public:
    // `report`: the file the divergence is written to (it must exist; empty: none).
    ReplayDevice(Recording recording, std::string report)
        : recording_(std::move(recording)), report_(std::move(report)) {}

    int respond(unsigned number, std::span<i2c_msg> messages) override;

    // The divergence this process met, without the newline; empty while there is none.
    [[nodiscard]] const std::string &divergence() const { return divergence_; }

  private:
    // Records the divergence unless one is recorded already; returns -EIO.
    int diverge(unsigned number, std::string_view expected, std::span<const i2c_msg> seen);
    // Whether the run has diverged, in this process or another sharing the report file.
    [[nodiscard]] bool diverged() const;

    Recording recording_;
    std::string report_;
    std::string divergence_;
};

// A capture of bus traffic read into transfers: either the kernel's own trace text of its
// I2C tracepoints (i2c:i2c_write, i2c_read, i2c_reply, i2c_result, as the tracefs "trace"
// file shows them), or the emulated bus's trace in bus notation (bus/bus-notation.hpp).
//
// Kernel trace text: each line "TASK-PID [CPU] FLAGS TIMESTAMP: EVENT: FIELDS", e.g.
//   tool-812 [000] .....  61.204518: i2c_write: i2c-4 #0 a=048 f=0000 l=3 [01-1c-1c]
//   tool-812 [000] .....  61.204631: i2c_result: i2c-4 n=1 ret=1
// One transfer is its i2c_write and i2c_read lines (#0, #1, ... in order), the i2c_reply
// of each read message the adapter completed, then its i2c_result (n= the message count,
// ret= the messages done, or -errno). Comment lines ("# tracer: nop", the capture's own
// header) and blank lines are skipped, and so are other events and other adapters' lines:
// the adapter read is the one the header "# kzr-415-capture: ... bus N ..." names, else the
// adapter of the first I2C event. A capture with a gap ("CPU:1 [LOST 12 EVENTS]", or a
// ring buffer that overwrote entries) is refused: it is not a recording.
//
// Bus notation: one transfer a line, as the emulated bus's trace writes it; comment and
// blank lines are skipped.
struct CaptureReading {
    Recording transfers;
    bool ok = true;
    unsigned line = 0;  // when refused: the line at fault (1 on), 0 for the capture as a whole
    std::string reason; // when refused: one line, without the line number
};

// Reads a capture in either format: bus notation when its first line that is not blank
// or a comment starts with "W " or "R ", else kernel trace text.
CaptureReading read_capture(std::string_view text);

// A capture to replay: read_capture, and refused as a whole when it holds no transfer, since
// it records no run. (A board's capture of a run without a bus node holds none, and is read.)
CaptureReading read_capture_to_replay(std::string_view text);

// Each format on its own.
CaptureReading read_kernel_trace(std::string_view text);
CaptureReading read_bus_notation(std::string_view text);

// "line N: REASON", or REASON alone for the capture as a whole.
std::string refusal_text(const CaptureReading &reading);

} // namespace kzr415::sim
