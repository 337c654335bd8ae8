#include "sysfs_record.h"

#include <cstdio>

namespace simbus {

namespace {

constexpr uint8_t DT_DEVICE = 1;
constexpr uint8_t DT_CONFIG = 2;
constexpr uint8_t DT_STRING = 3;
constexpr uint8_t DT_INTERFACE = 4;
constexpr uint8_t DT_ENDPOINT = 5;
constexpr uint8_t DEVICE_LENGTH = 18;
constexpr uint8_t CONFIG_LENGTH = 9;
constexpr uint8_t INTERFACE_LENGTH = 9;
constexpr uint8_t ENDPOINT_LENGTH = 7;
constexpr uint16_t LANGUAGE_US_ENGLISH = 0x0409;
constexpr uint8_t CONFIG_VALUE = 1;
constexpr uint8_t CONFIG_BUS_POWERED = 0x80;
constexpr uint8_t MAX_POWER_100MA = 50;

void put16(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

// The speed attribute in Mbit/s, which libusb turns back into its enum.
const char* speed_text(sim::Speed speed)
{
    switch (speed) {
    case sim::Speed::low: return "1.5";
    case sim::Speed::full: return "12";
    case sim::Speed::high: return "480";
    case sim::Speed::super: return "5000";
    case sim::Speed::unknown: break;
    }
    return "unknown";
}

std::string format(const char* pattern, unsigned a, unsigned b = 0, unsigned c = 0)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

bool is_root_hub(const sim::Device& device)
{
    return device.port == 0;
}

}  // namespace

std::vector<uint8_t> raw_descriptors(const sim::Device& device)
{
    std::vector<uint8_t> out = {DEVICE_LENGTH, DT_DEVICE};
    put16(out, device.bcd_usb);
    out.insert(out.end(), {device.device_class, 0, 0, device.max_packet_size0});
    put16(out, device.vendor_id);
    put16(out, device.product_id);
    put16(out, device.bcd_device);
    out.insert(out.end(), {device.manufacturer_index, device.product_index, device.serial_index,
                           static_cast<uint8_t>(device.has_configuration ? 1 : 0)});
    if (!device.has_configuration)
        return out;

    const size_t config_start = out.size();
    out.insert(out.end(),
               {CONFIG_LENGTH, DT_CONFIG, 0, 0, static_cast<uint8_t>(device.interfaces.size()),
                CONFIG_VALUE, 0, CONFIG_BUS_POWERED, MAX_POWER_100MA});
    for (size_t i = 0; i < device.interfaces.size(); ++i) {
        const auto& alts = device.interfaces[i].alt_settings;
        for (size_t j = 0; j < alts.size(); ++j) {
            const sim::AltSetting& alt = alts[j];
            out.insert(out.end(),
                       {INTERFACE_LENGTH, DT_INTERFACE, static_cast<uint8_t>(i),
                        static_cast<uint8_t>(j), static_cast<uint8_t>(alt.endpoints.size()),
                        alt.interface_class, alt.interface_subclass, alt.interface_protocol, 0});
            for (const sim::Endpoint& e : alt.endpoints) {
                out.insert(out.end(), {ENDPOINT_LENGTH, DT_ENDPOINT, e.address, e.attributes});
                put16(out, e.max_packet_size);
                out.push_back(e.interval);
            }
        }
    }
    const auto total = static_cast<uint16_t>(out.size() - config_start);
    out[config_start + 2] = static_cast<uint8_t>(total);
    out[config_start + 3] = static_cast<uint8_t>(total >> 8);
    return out;
}

std::vector<uint8_t> string_descriptor(const sim::Device& device, uint8_t index)
{
    if (index == 0) {
        if (device.strings.empty())
            return {};
        return {4, DT_STRING, static_cast<uint8_t>(LANGUAGE_US_ENGLISH),
                static_cast<uint8_t>(LANGUAGE_US_ENGLISH >> 8)};
    }
    const auto it = device.strings.find(index);
    if (it == device.strings.end())
        return {};
    std::vector<uint8_t> out = {static_cast<uint8_t>(2 + 2 * it->second.size()), DT_STRING};
    for (const char c : it->second)
        put16(out, static_cast<uint8_t>(c));
    return out;
}

std::string sysfs_path(const sim::Device& device)
{
    const std::string hub = format("/devices/usb%u", device.bus);
    return is_root_hub(device) ? hub : hub + format("/%u-%u", device.bus, device.port);
}

std::string usbfs_node(const sim::Device& device)
{
    return format("bus/usb/%03u/%03u", device.bus, device.address);
}

std::string umockdev_record(const sim::Device& device)
{
    std::string r;
    r += "P: " + sysfs_path(device) + "\n";
    r += "N: " + usbfs_node(device) + "\n";
    r += "E: DEVNAME=/dev/" + usbfs_node(device) + "\n";
    r += "E: SUBSYSTEM=usb\n";
    r += "E: DEVTYPE=usb_device\n";
    r += format("E: PRODUCT=%x/%x/%x\n", device.vendor_id, device.product_id, device.bcd_device);
    r += format("E: BUSNUM=%03u\nE: DEVNUM=%03u\n", device.bus, device.address);
    r += format("A: busnum=%u\nA: devnum=%u\n", device.bus, device.address);
    r += std::string("A: speed=") + speed_text(device.speed) + "\n";
    r += format("A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=%04x\n", device.vendor_id,
                device.product_id, device.bcd_device);
    r += format("A: bDeviceClass=%02x\n", device.device_class);
    r += format("A: bNumConfigurations=%u\n", device.has_configuration ? 1 : 0);
    if (device.has_configuration)
        r += format("A: bConfigurationValue=%u\n", CONFIG_VALUE);
    r += format("A: bNumInterfaces=%2u\n", static_cast<unsigned>(device.interfaces.size()));
    r += "H: descriptors=";
    for (const uint8_t byte : raw_descriptors(device))
        r += format("%02X", byte);
    r += "\n";
    return r;
}

}  // namespace simbus
