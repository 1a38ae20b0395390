// Captures what the library prints on stdout and stderr during one call, cheaply enough for a
// fuzzer: the C library's stdout and stderr streams are pointed at memory streams for the
// call. Descriptors 1 and 2 stay as they are, so a sanitizer's report still reaches the
// terminal.
#pragma once

#include <array>
#include <cstdio>
#include <string>
#include <wchar.h>

namespace kzr415::fuzz {

class StreamCapture {
  public:
    StreamCapture()
        : out_(fmemopen(out_buffer_.data(), out_buffer_.size(), "w")),
          err_(fmemopen(err_buffer_.data(), err_buffer_.size(), "w")) {
        // Byte-oriented, so that perror writes to the stream itself rather than to a
        // duplicate of its (absent) descriptor.
        fwide(out_, -1);
        fwide(err_, -1);
    }
    StreamCapture(const StreamCapture &) = delete;
    StreamCapture &operator=(const StreamCapture &) = delete;
    ~StreamCapture() {
        std::fclose(out_);
        std::fclose(err_);
    }

    struct Output {
        std::string out;
        std::string err;
    };

    template <class Body>
    Output run(Body &&body) {
        std::rewind(out_);
        std::rewind(err_);
        FILE *const saved_out = stdout;
        FILE *const saved_err = stderr;
        stdout = out_;
        stderr = err_;
        body();
        std::fflush(out_);
        std::fflush(err_);
        stdout = saved_out;
        stderr = saved_err;
        return {text(out_, out_buffer_), text(err_, err_buffer_)};
    }

  private:
    static std::string text(FILE *stream, const std::array<char, 4096> &buffer) {
        const long length = std::ftell(stream);
        return {buffer.data(), static_cast<std::size_t>(length < 0 ? 0 : length)};
    }

    std::array<char, 4096> out_buffer_{};
    std::array<char, 4096> err_buffer_{};
    FILE *out_;
    FILE *err_;
};

} // namespace kzr415::fuzz
