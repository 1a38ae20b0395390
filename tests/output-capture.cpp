#include "output-capture.hpp"

#include <array>
#include <cstdio>
#include <stdexcept>

#include <unistd.h>

namespace kzr415::test {

namespace {

class Redirect {
  public:
    Redirect(std::FILE *stream, int fd) : stream_(stream), fd_(fd), file_(std::tmpfile()) {
        std::fflush(stream_);
        saved_ = dup(fd_);
        if (file_ == nullptr || saved_ < 0 || dup2(fileno(file_), fd_) < 0) {
            throw std::runtime_error("cannot redirect a standard stream");
        }
    }
    Redirect(const Redirect &) = delete;
    Redirect &operator=(const Redirect &) = delete;
    ~Redirect() {
        if (saved_ >= 0) {
            restore();
        }
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }

    std::string finish() {
        restore();
        std::string text;
        std::rewind(file_);
        std::array<char, 4096> chunk{};
        std::size_t n = 0;
        while ((n = std::fread(chunk.data(), 1, chunk.size(), file_)) > 0) {
            text.append(chunk.data(), n);
        }
        return text;
    }

  private:
    void restore() {
        std::fflush(stream_);
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
    }

    std::FILE *stream_;
    int fd_;
    std::FILE *file_;
    int saved_ = -1;
};

} // namespace

Output capture_output(const std::function<void()> &body) {
    Redirect out(stdout, STDOUT_FILENO);
    Redirect err(stderr, STDERR_FILENO);
    body();
    Output result;
    result.out = out.finish();
    result.err = err.finish();
    return result;
}

} // namespace kzr415::test
