#include "output-capture.hpp"

#include <cstdlib>
#include <stdexcept>

#include <wchar.h>

namespace kzr415::test {

OutputCapture::OutputCapture() {
    for (auto *stream : {&out_, &err_}) {
        stream->file = open_memstream(&stream->buffer, &stream->size);
        if (stream->file == nullptr) {
            throw std::runtime_error("cannot open a memory stream");
        }
        // Byte-oriented, so that perror writes to the stream itself rather than to a
        // duplicate of its (absent) descriptor.
        fwide(stream->file, -1);
    }
}

OutputCapture::~OutputCapture() {
    for (auto *stream : {&out_, &err_}) {
        std::fclose(stream->file);
        std::free(stream->buffer);
    }
}

void OutputCapture::begin() {
    std::fflush(stdout); // what was printed before belongs to the terminal
    std::fflush(stderr);
    std::rewind(out_.file);
    std::rewind(err_.file);
    saved_out_ = stdout;
    saved_err_ = stderr;
    stdout = out_.file;
    stderr = err_.file;
}

Output OutputCapture::end() {
    stdout = saved_out_;
    stderr = saved_err_;
    return {text(out_), text(err_)};
}

std::string OutputCapture::text(Stream &stream) {
    std::fflush(stream.file); // updates buffer and size
    const long length = std::ftell(stream.file);
    return {stream.buffer, static_cast<std::size_t>(length < 0 ? 0 : length)};
}

Output capture_output(const std::function<void()> &body) {
    OutputCapture capture;
    return capture.run(body);
}

} // namespace kzr415::test
