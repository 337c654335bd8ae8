#pragma once

// The Linux USB device file (usbfs) of one simulated device, as libusb uses
// it: URBs submitted, reaped and discarded, interface claims, halt clearing.
// umockdev hands every ioctl on the node to this object; bulk URBs go to the
// simulated bootloader, control URBs for string descriptors are answered from
// the device's descriptions.

#include <umockdev.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "usb_bus.h"

namespace simbus {

class UsbfsNode {
public:
    // `lock` serialises the device function between umockdev's ioctl thread
    // and the main loop. `dropped_off` runs (under the lock) once the function
    // leaves the bus, as after a restart request.
    UsbfsNode(const sim::Device& device, std::mutex& lock, std::function<void()> dropped_off);
    ~UsbfsNode();
    UsbfsNode(const UsbfsNode&) = delete;
    UsbfsNode& operator=(const UsbfsNode&) = delete;

    UMockdevIoctlBase* handler() const { return handler_; }
    const sim::Device& device() const { return device_; }

    // The device is off the bus: what is in flight ends with -ENODEV and the
    // node refuses everything after, as the kernel does for an open usbfs
    // file whose device went away. Call with the lock held.
    void unplug();

private:
    struct Urb {
        uint64_t address = 0;  // the URB in the client's memory
        uint8_t type = 0;
        uint8_t endpoint = 0;
        int status = 0;
        std::vector<uint8_t> in_data;  // what lands in the buffer when reaped
        size_t in_offset = 0;          // control transfers: after the setup packet
        size_t actual_length = 0;
    };
    struct Reply {
        long result = 0;
        int error = 0;
    };

    static gboolean on_ioctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
    Reply dispatch(gulong request, UMockdevIoctlData* arg);
    Reply submit(UMockdevIoctlData* arg);
    Reply reap(UMockdevIoctlData* arg);
    Reply discard(UMockdevIoctlData* arg);
    Reply clear_halt(UMockdevIoctlData* arg);
    Reply capabilities(UMockdevIoctlData* arg);
    void run_bulk(Urb& urb, UMockdevIoctlData* urb_data, size_t buffer_length);
    void run_control(Urb& urb, UMockdevIoctlData* urb_data, size_t buffer_length);
    bool function_present() const;

    sim::Device device_;
    uint32_t connection_ = 0;
    std::mutex& lock_;
    std::function<void()> dropped_off_;
    bool connected_ = true;
    std::deque<Urb> pending_;
    std::deque<Urb> completed_;
    UMockdevIoctlBase* handler_ = nullptr;
};

}  // namespace simbus
