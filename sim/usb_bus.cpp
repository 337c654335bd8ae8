#include "usb_bus.h"

#include <algorithm>

namespace sim {

Device bootloader_device(std::shared_ptr<Bootloader> function, uint8_t address)
{
    Device device;
    device.vendor_id = 0x0483;
    device.product_id = 0x5720;
    device.manufacturer_index = 1;
    device.product_index = 2;
    device.serial_index = 3;
    device.bus = 1;
    device.port = 2;
    device.address = address;
    device.speed = Speed::full;
    device.strings = {{1, "STMicroelectronics"}, {2, "DFU Bootloader"}, {3, "0123456789AB"}};
    AltSetting setting;
    setting.endpoints = {{0x81, TRANSFER_BULK, 64, 0}, {0x01, TRANSFER_BULK, 64, 0}};
    device.interfaces = {Interface{{setting}}};
    device.function = std::move(function);
    return device;
}

Device other_device(uint16_t vendor_id, uint16_t product_id, uint8_t address)
{
    Device device;
    device.vendor_id = vendor_id;
    device.product_id = product_id;
    device.address = address;
    device.port = 0;
    device.speed = Speed::high;
    device.device_class = 9;
    AltSetting hub;
    hub.interface_class = 9;
    hub.interface_subclass = 0;
    hub.interface_protocol = 0;
    hub.endpoints = {{0x81, TRANSFER_INTERRUPT, 4, 12}};
    device.interfaces = {Interface{{hub}}};
    return device;
}

std::vector<Device*> Bus::enumerate()
{
    std::erase_if(devices, [](const Device& device) {
        return device.function && device.function->gone_for_good();
    });
    std::vector<Device*> found;
    for (Device& device : devices) {
        if (device.function && device.function->detached()) {
            device.function->reattach();
            ++device.address;
        }
        found.push_back(&device);
    }
    return found;
}

}  // namespace sim
