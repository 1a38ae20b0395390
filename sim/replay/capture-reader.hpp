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
#pragma once

#include "bus/bus-notation.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace kzr415::sim {

struct CaptureReading {
    std::vector<RecordedTransfer> transfers;
    bool ok = true;
    unsigned line = 0;  // when refused: the line at fault (1 on), 0 for the capture as a whole
    std::string reason; // when refused: one line, without the line number
};

// Reads a capture in either format: bus notation when its first line that is not blank
// or a comment starts with "W " or "R ", else kernel trace text.
CaptureReading read_capture(std::string_view text);

// Each format on its own.
CaptureReading read_kernel_trace(std::string_view text);
CaptureReading read_bus_notation(std::string_view text);

// "line N: REASON", or REASON alone for the capture as a whole.
std::string refusal_text(const CaptureReading &reading);

} // namespace kzr415::sim
