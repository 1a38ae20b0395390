// Captures what a piece of code prints through the C library's stdout and stderr: both are
// pointed at memory streams while it runs. Descriptors 1 and 2 stay as they are, so a
// sanitizer's report still reaches the terminal; and it is cheap enough for a fuzzer to run
// once per input (the memory streams are kept and reused).
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>

namespace kzr415::test {

struct Output {
    std::string out;
    std::string err;
};

class OutputCapture {
  public:
    OutputCapture();
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;
    ~OutputCapture();

    // Runs `body` with stdout and stderr captured; what it printed on each.
    template <class Body>
    Output run(Body &&body) {
        begin();
        try {
            std::forward<Body>(body)();
        } catch (...) {
            end();
            throw;
        }
        return end();
    }

  private:
    struct Stream {
        std::FILE *file = nullptr;
        char *buffer = nullptr;
        std::size_t size = 0;
    };

    void begin();
    Output end();
    static std::string text(Stream &stream);

    Stream out_;
    Stream err_;
    std::FILE *saved_out_ = nullptr;
    std::FILE *saved_err_ = nullptr;
};

// One capture, for a test that captures now and then.
Output capture_output(const std::function<void()> &body);

} // namespace kzr415::test
