// A test fixture with the library's bus descriptor open on the in-process emulated bus.
#pragma once

#include "bus/emulated-bus.hpp"
#include "config/sim-config.hpp"
#include "kzr-415-drv.h"
#include "output-capture.hpp"
#include "preload/simulated-nodes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kzr415::test {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint16_t device_address = 0x48;

class BusTest : public ::testing::Test {
  protected:
    void SetUp() override { start(sim::SimConfig{}); }
    void TearDown() override { i2c_close(fd); }

    // Starts over with `config`: a fresh device, the node opened, nothing recorded.
    void start(const sim::SimConfig &config) {
        if (fd >= 0) {
            i2c_close(fd);
        }
        sim::configure(config);
        fd = i2c_open(config.node.c_str());
    }
    // A register's image on the device, as bytes.
    static std::span<std::uint8_t> image(unsigned reg) {
        return sim::image(sim::bus().device(), reg);
    }
    static Bytes bytes(unsigned reg) { return {image(reg).begin(), image(reg).end()}; }
    // Sets a register's image on the device.
    static void set(unsigned reg, const Bytes &bytes) {
        std::copy(bytes.begin(), bytes.end(), image(reg).begin());
    }
    // Fails transfer `k` from now on (counting from 1) with `error`.
    static void fail_transfer(unsigned k, int error, bool onwards = false) {
        sim::bus().device().fault = {sim::bus().transfer_count() + k, error, onwards};
    }
    static const std::vector<sim::RecordedTransfer> &transfers() { return sim::bus().transfers(); }
    // The transfers as bus notation lines.
    static std::vector<std::string> trace() {
        std::vector<std::string> lines;
        for (const auto &transfer : transfers()) {
            lines.push_back(sim::format_transfer(transfer));
        }
        return lines;
    }

    int fd = -1;
};

} // namespace kzr415::test
