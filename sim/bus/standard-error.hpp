// Where the emulated bus writes its diagnostics, and a trace named "-": the standard error
// that the program was started with, and only while descriptor 2 still is that file.
//
// A program may close descriptor 2 and open a file of its own in its place (a daemon, a
// program that keeps its data on the lowest free number); a line written to "descriptor 2"
// would then land in the program's data. The bus notes which file descriptor 2 is when it
// starts, before any code of the program's own runs, and checks before each line that the
// number still stands for that file (device and inode; the same file reopened counts as
// the same). Otherwise the line is dropped: the bus keeps no descriptor of its own that
// would hold the program's pipe or terminal open, or take a number the program may count on.
#pragma once

#include <string_view>

namespace kzr415::sim {

// Notes the file that descriptor 2 is now (none when it is closed). Called once as the
// bus starts in a process, and again in the program that an exec starts.
void note_standard_error();

// Writes `line` whole to `fd` with a system call of its own (in a preloaded program the C
// library's write is the emulated bus's entry point), through interruptions; what cannot be
// written is dropped: there is nowhere left to report it.
void write_whole(int fd, std::string_view line);

// Writes `line` whole to descriptor 2 when it is still the file noted; drops it otherwise.
// In a process that never noted one, descriptor 2 is taken as the process's own.
void write_standard_error(std::string_view line);

} // namespace kzr415::sim
