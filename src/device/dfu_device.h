#pragma once

#include <cstdint>
#include <cstdio>

struct libusb_device;
struct libusb_device_handle;
struct libusb_config_descriptor;

// Identity of the bootloader's mass-storage unit.
inline constexpr uint16_t USB_VENDOR_ID = 0x0483;
inline constexpr uint16_t USB_PRODUCT_ID = 0x5720;
// Every bulk IN transfer (data in, command status) uses this endpoint.
inline constexpr uint8_t BULK_IN_ENDPOINT = 0x81;
// Unit of every image transfer and of block numbers.
inline constexpr uint32_t BLOCK_SIZE = 512;

// The connection to the device and the steps of an update.
class DfuDevice {
public:
    // Discovery, opening and the start-up probe.
    int open(int32_t number = 0);
    int close();
    int open_image(const char* path);
    int probe();

    // One READ(10) / WRITE(10) per 512-byte block, and the 0xC0 vendor command.
    int read_blocks(uint8_t* buffer, uint32_t first_block, int32_t count);
    int write_blocks(const uint8_t* data, uint32_t first_block, int32_t count);
    int vendor_exchange(const uint8_t* request, uint8_t request_length, uint8_t* response,
                        uint8_t response_length);

    // The update proper.
    int prepare();
    int program();
    int verify();

    int32_t device_number = 0;
    libusb_device* usb_device = nullptr;
    libusb_device_handle* device_handle = nullptr;
    libusb_config_descriptor* config_descriptor = nullptr;
    int32_t libusb_ready = 0;
    int32_t is_open = 0;
    uint8_t endpoint_in = 0;
    uint8_t endpoint_out = 0;
    FILE* image_file = nullptr;
    uint32_t base_address = 0;
};

// The program's one device; usb_transport reaches it directly.
extern DfuDevice dfu_device;
