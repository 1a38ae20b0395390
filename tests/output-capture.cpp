#include "output-capture.hpp"

#include <stdexcept>

#include <sys/types.h>
#include <wchar.h>

namespace kzr415::test {

OutputCapture::OutputCapture() {
    static constexpr cookie_io_functions_t appending{
        nullptr,
        [](void *cookie, const char *data, std::size_t size) -> ssize_t {
            auto &sink = *static_cast<Sink *>(cookie);
            const std::lock_guard guard(sink.lock);
            sink.text.append(data, size);
            return static_cast<ssize_t>(size);
        },
        nullptr, nullptr};
    for (auto *sink : {&out_, &err_}) {
        sink->file = fopencookie(sink, "w", appending);
        if (sink->file == nullptr) {
            throw std::runtime_error("cannot open a capturing stream");
        }
        // Unbuffered, so that what is printed is in the text at once; byte-oriented, so
        // that perror writes to the stream itself rather than to a duplicate of its
        // (absent) descriptor.
        std::setvbuf(sink->file, nullptr, _IONBF, 0);
        fwide(sink->file, -1);
    }
}

OutputCapture::~OutputCapture() {
    std::fclose(out_.file);
    std::fclose(err_.file);
}

void OutputCapture::begin() {
    std::fflush(stdout); // what was printed before belongs to the terminal
    std::fflush(stderr);
    take(out_);
    take(err_);
    saved_out_ = stdout;
    saved_err_ = stderr;
    stdout = out_.file;
    stderr = err_.file;
}

Output OutputCapture::end() {
    stdout = saved_out_;
    stderr = saved_err_;
    return {take(out_), take(err_)};
}

std::string OutputCapture::take(Sink &sink) {
    std::fflush(sink.file);
    const std::lock_guard guard(sink.lock);
    std::string text = sink.text;
    sink.text.clear(); // keeps its room for the next capture
    return text;
}

Output capture_output(const std::function<void()> &body) {
    OutputCapture capture;
    return capture.run(body);
}

} // namespace kzr415::test
