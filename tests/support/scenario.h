#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fake_libusb.h"
#include "recorded_sleep.h"
#include "stdout_capture.h"
#include "usb_bus.h"

// Every test starts from a process as main() finds it: the one device zeroed,
// tags from 1, no transport installed, an empty bus, nothing printed.
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Back to a process as main() finds it, with an empty bus, for the next
    // case of a table; what the double saw so far must have been sound.
    void start_over();

    // Puts the bootloader on the bus (after any devices already there).
    std::shared_ptr<sim::Bootloader> add_bootloader(sim::Bootloader::Options options = {});
    // Writes an image file of the given bytes and returns its path.
    std::string write_image(const std::vector<uint8_t>& bytes,
                            const std::string& name = "image.bin");
    // Runs `update <args...>` in process, as main() would.
    int run(std::vector<std::string> args);

    std::string output() { return capture_->take(); }

    sim::Bus bus;
    std::filesystem::path workdir;

private:
    std::unique_ptr<StdoutCapture> capture_;
};

// An image of n bytes with a pattern that differs from block to block.
std::vector<uint8_t> image_bytes(size_t n);
// The image as the device should hold it: padded with 0xFF to whole blocks.
std::vector<uint8_t> padded(std::vector<uint8_t> image);
