#pragma once

// A simulated USB device as Linux shows it in sysfs and udev: the attributes
// libusb reads (bus number, address, speed, the cached raw descriptors), the
// uevent properties its device enumeration matches on, and the usbfs node
// under /dev/bus/usb, written in umockdev's device description format.

#include <cstdint>
#include <string>
#include <vector>

#include "usb_bus.h"

namespace simbus {

// Device descriptor followed by the whole configuration, as the kernel keeps
// them in the `descriptors` attribute.
std::vector<uint8_t> raw_descriptors(const sim::Device& device);

// String descriptor `index` (0: the language IDs) in UTF-16LE as the device
// sends it; empty when the device has no such string.
std::vector<uint8_t> string_descriptor(const sim::Device& device, uint8_t index);

// sysfs path below /sys: /devices/usbB for a root hub, /devices/usbB/B-P for
// a device on port P of it.
std::string sysfs_path(const sim::Device& device);
// The usbfs node below /dev: bus/usb/BBB/DDD.
std::string usbfs_node(const sim::Device& device);

std::string umockdev_record(const sim::Device& device);

}  // namespace simbus
