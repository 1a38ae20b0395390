// kzr415-read-capture CAPTURE: prints the transfers of a capture (the kernel's I2C trace
// text as kzr-415-capture writes it, or bus notation) in bus notation, one a line, as the
// emulated bus's trace writes them, with the reader that kzr-415-sim --replay uses. The
// board test compares a board's capture with the emulated bus's trace of the same run.
//
// Exit status: 0 when read; 1 when the capture is refused ("CAPTURE: line N: REASON" on
// standard error); 2 for bad arguments or a file that cannot be read.
#include "bus/emulated-bus.hpp"
#include "replay/replay-device.hpp"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::cerr << "usage: kzr415-read-capture CAPTURE\n";
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (!file || file.bad()) {
        std::cerr << argv[1] << ": cannot be read\n";
        return 2;
    }
    const auto reading = kzr415::sim::read_capture(text.str());
    if (!reading.ok) {
        std::cerr << argv[1] << ": " << kzr415::sim::refusal_text(reading) << '\n';
        return 1;
    }
    kzr415::sim::TransferView transfer;
    for (std::size_t i = 0; reading.transfers.read(i, transfer); ++i) {
        std::cout << kzr415::sim::format_transfer(transfer.copy()) << '\n';
    }
    std::cout.flush();
    return std::cout ? 0 : 2;
}
