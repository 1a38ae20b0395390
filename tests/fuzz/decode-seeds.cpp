// Writes the decode fuzzer's seeds into DIRECTORY: each worked value of the device
// (lib/worked-values.txt) on either channel, in the fuzzer's input layout. The channel's
// three bytes stand at its offset and 55 aa 55 at the other channel's; the channel's
// configuration byte selects the value's encoding (0x1c two's complement, 0x3c
// sign-magnitude) and the other's is 0x3c; then the channel (0 or 1) and four bytes of noise.
#include "worked-values.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string directory = argv[1];
    for (const auto &worked : kzr415::worked_values) {
        for (std::size_t channel = 0; channel < 2; ++channel) {
            std::array<std::uint8_t, 13> seed{
                0x55, 0xAA, 0x55, 0x55, 0xAA, 0x55, 0x3C, 0x3C, static_cast<std::uint8_t>(channel),
                0xA5, 0xC3, 0xF0, 0x0F};
            for (std::size_t i = 0; i < 3; ++i) {
                seed.at(3 * channel + i) = worked.bytes.at(i);
            }
            seed.at(6 + channel) = worked.sign_magnitude ? 0x3C : 0x1C;

            std::array<char, 64> name{};
            std::snprintf(name.data(), name.size(), "/worked-%02x%02x%02x-channel%zu",
                          worked.bytes[0], worked.bytes[1], worked.bytes[2], channel + 1);
            std::FILE *file = std::fopen((directory + name.data()).c_str(), "wb");
            if (file == nullptr || std::fwrite(seed.data(), 1, seed.size(), file) != seed.size() ||
                std::fclose(file) != 0) {
                std::perror((directory + name.data()).c_str());
                return 1;
            }
        }
    }
    return 0;
}
