#pragma once

// What the simulated device on the bus is like, as given on a command line:
// the same words serve the emulated bus (simbus) and the in-process runner,
// so that one scenario means one device in both.

#include <memory>
#include <string>

#include "bootloader.h"
#include "usb_bus.h"

namespace simbus {

struct Scenario {
    // False: only the root hub is on the bus.
    bool bootloader = true;
    sim::Bootloader::Options device;
    // How long the device is off the bus after a restart before it enumerates
    // again; the updater looks for it only after ten seconds.
    int return_after_ms = 2000;
    // Where to write the device's flash once the command has ended.
    std::string flash_out;
};

// Options before "--". On success `next` is the index of the first argument
// after "--"; on failure `error` says why.
bool parse_scenario(int argc, char** argv, int& next, Scenario& scenario, std::string& error);

const char* scenario_usage();

// The bus as the host first finds it: the root hub, then the bootloader.
sim::Bus scenario_bus(const Scenario& scenario, std::shared_ptr<sim::Bootloader>& bootloader);

// The flash (application area, from block 0) as a file.
bool write_flash(const sim::Bootloader& bootloader, const std::string& path);

// The test image pattern: differs from block to block and from the erased
// and the factory contents of the flash.
bool write_image(const std::string& path, size_t size);

}  // namespace simbus
