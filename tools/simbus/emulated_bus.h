#pragma once

// A umockdev testbed holding the scenario's USB bus: a root hub and the
// simulated bootloader, each with its sysfs entry and usbfs node. When the
// bootloader drops off the bus (a restart request), the bus unplugs it and,
// unless it is gone for good, plugs it in again a little later at the next
// address, as the hub would after the device re-enumerated.
//
// Everything that touches the testbed runs on the thread that created it,
// from the default GLib main context; umockdev's ioctl thread only talks to
// the usbfs nodes.

#include <umockdev.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bus_scenario.h"
#include "usbfs_node.h"

namespace simbus {

class EmulatedBus {
public:
    explicit EmulatedBus(const Scenario& scenario);
    ~EmulatedBus();
    EmulatedBus(const EmulatedBus&) = delete;
    EmulatedBus& operator=(const EmulatedBus&) = delete;

    // Empty when the bus is up; otherwise what went wrong.
    const std::string& error() const { return error_; }

    bool write_flash(const std::string& path);

private:
    void plug(sim::Device& device);
    void unplug_bootloader();
    void replug_bootloader();
    static gboolean on_dropped_off(gpointer self);
    static gboolean on_back(gpointer self);

    UMockdevTestbed* testbed_ = nullptr;
    std::string root_dir_;
    std::mutex lock_;
    std::shared_ptr<sim::Bootloader> bootloader_;
    sim::Bus bus_;
    // Every node ever plugged in: a handle opened before a re-enumeration
    // keeps talking to its own node and learns there that the device left.
    std::vector<std::unique_ptr<UsbfsNode>> nodes_;
    UsbfsNode* bootloader_node_ = nullptr;
    int return_after_ms_ = 0;
    std::string error_;
};

}  // namespace simbus
