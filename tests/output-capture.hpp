// Captures what a piece of code prints through the C library's stdout and stderr: both are
// pointed at streams of this object while it runs, which append to strings in memory.
// Descriptors 1 and 2 stay as they are, so a sanitizer's report still reaches the terminal;
// it is cheap enough for a fuzzer to run once per input (the streams are kept and reused);
// and threads may print at once (each stream appends under a lock that ThreadSanitizer
// sees, and the C library's stream lock keeps each call's text whole).
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
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
    // A stream that appends what is written to it to `text`.
    struct Sink {
        std::mutex lock;
        std::string text;
        std::FILE *file = nullptr;
    };

    void begin();
    Output end();
    static std::string take(Sink &sink);

    Sink out_;
    Sink err_;
    std::FILE *saved_out_ = nullptr;
    std::FILE *saved_err_ = nullptr;
};

// One capture, for a test that captures now and then.
Output capture_output(const std::function<void()> &body);

} // namespace kzr415::test
