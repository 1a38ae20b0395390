// Whether a file can be the preload of a program: what kzr-415-sim checks before it starts
// the program, so that the program never runs on the real bus by mistake.
#pragma once

#include <string>

namespace kzr415::sim {

// True when `path` can stand in LD_PRELOAD (which splits it at ':' and blanks) and names an
// ELF shared library for the machine that `like` (an ELF file, the program or this one) is
// built for (`like` empty, or not an ELF file: for any machine), and that library is the
// emulated bus: its dynamic symbol table exports the preload's marker (preload_marker).
// Otherwise false with `reason` set to a few words for kzr-415-sim's message.
bool check_preload(const std::string &path, const std::string &like, std::string &reason);

// True when the program file `path` can load a preload at all: not a statically linked ELF
// program (no dynamic loader runs for it) nor a set-user-ID or set-group-ID one (whose
// loader ignores a preload named by path). A file that is not ELF (a script) is left to the
// handshake. Otherwise false with `reason` set to a few words for kzr-415-sim's message.
bool check_program(const std::string &path, std::string &reason);

} // namespace kzr415::sim
