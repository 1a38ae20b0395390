// Captures what a piece of code prints on standard output and standard error.
#pragma once

#include <functional>
#include <string>

namespace kzr415::test {

struct Output {
    std::string out;
    std::string err;
};

// Runs `body` with both streams redirected to temporary files, and returns what it printed.
Output capture_output(const std::function<void()> &body);

} // namespace kzr415::test
