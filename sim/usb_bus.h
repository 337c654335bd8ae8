#pragma once

// The USB bus as the host sees it: devices in enumeration order, each with
// its descriptors and, for the bootloader, the function behind its bulk
// endpoints.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bootloader.h"

namespace sim {

// Numbers as libusb's speed enumeration has them.
enum class Speed : int { unknown = 0, low = 1, full = 2, high = 3, super = 4 };

inline constexpr uint8_t TRANSFER_CONTROL = 0;
inline constexpr uint8_t TRANSFER_ISOCHRONOUS = 1;
inline constexpr uint8_t TRANSFER_BULK = 2;
inline constexpr uint8_t TRANSFER_INTERRUPT = 3;

struct Endpoint {
    uint8_t address = 0;
    uint8_t attributes = TRANSFER_BULK;
    uint16_t max_packet_size = 64;
    uint8_t interval = 0;
};

struct AltSetting {
    uint8_t interface_class = 0x08;     // mass storage
    uint8_t interface_subclass = 0x06;  // SCSI transparent command set
    uint8_t interface_protocol = 0x50;  // Bulk-Only Transport
    std::vector<Endpoint> endpoints;
};

struct Interface {
    std::vector<AltSetting> alt_settings;
};

struct Device {
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    uint16_t bcd_usb = 0x0200;
    uint16_t bcd_device = 0x0200;
    uint8_t device_class = 0;
    uint8_t max_packet_size0 = 64;
    uint8_t manufacturer_index = 0;
    uint8_t product_index = 0;
    uint8_t serial_index = 0;
    uint8_t bus = 1;
    uint8_t port = 1;
    uint8_t address = 1;
    Speed speed = Speed::full;
    std::map<uint8_t, std::string> strings;
    // The configuration with index 0; none at all when absent.
    bool has_configuration = true;
    std::vector<Interface> interfaces;
    // What answers the bulk endpoints; null for a device nothing talks to.
    std::shared_ptr<Bootloader> function;
};

// The bootloader as it enumerates: one mass-storage interface with bulk IN
// 0x81 and bulk OUT 0x01.
Device bootloader_device(std::shared_ptr<Bootloader> function, uint8_t address = 5);
// Some other device on the bus.
Device other_device(uint16_t vendor_id, uint16_t product_id, uint8_t address);

class Bus {
public:
    std::vector<Device> devices;

    // What the host finds when it lists the bus now. A device that dropped
    // off for a restart comes back with a new address, or is gone.
    std::vector<Device*> enumerate();
};

}  // namespace sim
