// A value as kzr-415-sim and the emulated bus quote it in a one-line message: control
// characters (a newline, a tab, an escape) written as C escapes, so that whatever a user
// gave never breaks the message into several lines or reaches the terminal raw.
#pragma once

#include <string>
#include <string_view>

namespace kzr415::sim {

std::string printable(std::string_view text);

} // namespace kzr415::sim
