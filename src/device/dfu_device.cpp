#include "device/dfu_device.h"

#include <fcntl.h>
#include <libusb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <initializer_list>

namespace {

// A descriptor that cannot be read is shown and matched as all zeros, so an
// unreadable entry is listed but never selected.
libusb_device_descriptor read_device_descriptor(libusb_device* device)
{
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0)
        descriptor = libusb_device_descriptor{};
    return descriptor;
}

void list_devices(libusb_device** list, ssize_t count)
{
    std::printf("Usb device list:\n");
    for (ssize_t i = 0; i < count; ++i) {
        const libusb_device_descriptor descriptor = read_device_descriptor(list[i]);
        // Endpoint 0 is in no configuration descriptor, so libusb answers
        // LIBUSB_ERROR_NOT_FOUND here; the low byte of the result is shown.
        const auto packet_size = static_cast<uint8_t>(libusb_get_max_packet_size(list[i], 0));
        std::printf("N[%d], vendor[%#06x], device_id[%#06x],:\n"
                    "      bus[%d], port[%d], address[%d], speed[%d], packet_size[%d]\n\n",
                    static_cast<int>(i), descriptor.idVendor, descriptor.idProduct,
                    libusb_get_bus_number(list[i]), libusb_get_port_number(list[i]),
                    libusb_get_device_address(list[i]), libusb_get_device_speed(list[i]),
                    packet_size);
    }
    std::printf("\n");
}

// Index in the list of the (number+1)-th bootloader, or -1.
int select_device(libusb_device** list, ssize_t count, int32_t number)
{
    int candidate = -1;
    int32_t matched = -1;
    for (ssize_t i = 0; i < count; ++i) {
        const libusb_device_descriptor descriptor = read_device_descriptor(list[i]);
        if (descriptor.idVendor == USB_VENDOR_ID && descriptor.idProduct == USB_PRODUCT_ID &&
            matched < number) {
            candidate = static_cast<int>(i);
            ++matched;
        }
    }
    return (candidate != -1 && matched == number) ? candidate : -1;
}

void print_string_descriptor(libusb_device_handle* handle, uint8_t index)
{
    unsigned char text[128] = {};
    if (libusb_get_string_descriptor_ascii(handle, index, text, sizeof text) >= 0)
        std::printf("   String (0x%02X): \"%s\"\n", index, reinterpret_cast<const char*>(text));
}

// Microsoft OS string descriptor; asked for whatever the device descriptor says.
constexpr uint8_t MS_OS_STRING_INDEX = 0xEE;

}  // namespace

int DfuDevice::open(int32_t number)
{
    device_number = number;

    std::printf("Initialize libusb ... ");
    const int init_result = libusb_init(nullptr);
    if (init_result != 0) {
        std::printf("Failed!\n Cant start libusb with error [%d]!\n", init_result);
        return init_result;
    }
    libusb_ready = 1;
    std::printf("OK!\n");

    std::printf("Get device list ... ");
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &list);
    if (count <= 0) {
        std::printf("Error. Cant discover usb devices! \n");
        return 2;
    }
    std::printf("OK! %d device found\n", static_cast<int>(count));

    list_devices(list, count);

    std::printf("Find device number [%d] with vendor[%#06x], device_id[%#06x] ... ", device_number,
                USB_VENDOR_ID, USB_PRODUCT_ID);
    const int found = select_device(list, count, device_number);
    if (found == -1) {
        std::printf("Device not found!\n");
        return 1;
    }
    std::printf("OK!\nDevice found with number %d\n", found);
    usb_device = list[found];

    std::printf("Open device ... ");
    const int open_result = libusb_open(usb_device, &device_handle);
    if (open_result != 0) {
        std::printf("Error %s\n", libusb_error_name(open_result));
        return open_result;
    }
    is_open = 1;
    std::printf("OK!\n");

    std::printf("\nReading first configuration descriptor:\n");
    const int config_result = libusb_get_config_descriptor(usb_device, 0, &config_descriptor);
    if (config_result != 0) {
        // Without a configuration there are no interfaces to claim and no
        // endpoints to talk to.
        std::printf("Error %s\n", libusb_error_name(config_result));
        return config_result;
    }
    const int interface_count = config_descriptor->bNumInterfaces;
    std::printf("             nb interfaces: %d\n", interface_count);

    libusb_set_auto_detach_kernel_driver(device_handle, 1);

    for (int i = 0; i < interface_count; ++i) {
        std::printf("\nClaiming interface %d...\n", i);
        const int claim_result = libusb_claim_interface(device_handle, i);
        if (claim_result != 0)
            std::printf("   Failed with error %s\n", libusb_error_name(claim_result));
    }

    std::printf("\nReading string descriptors:\n");
    const libusb_device_descriptor descriptor = read_device_descriptor(usb_device);
    for (const uint8_t index :
         {descriptor.iManufacturer, descriptor.iProduct, descriptor.iSerialNumber}) {
        if (index != 0)
            print_string_descriptor(device_handle, index);
    }
    print_string_descriptor(device_handle, MS_OS_STRING_INDEX);

    for (int i = 0; i < interface_count; ++i) {
        std::printf("Interface [%d]:\n", i);
        const libusb_interface& interface = config_descriptor->interface[i];
        for (int j = 0; j < interface.num_altsetting; ++j) {
            std::printf("  Setting [%d]:\n", j);
            const libusb_interface_descriptor& setting = interface.altsetting[j];
            for (int k = 0; k < setting.bNumEndpoints; ++k) {
                const libusb_endpoint_descriptor& endpoint = setting.endpoint[k];
                std::printf("    endpoint[%d].address: %02X\n", k, endpoint.bEndpointAddress);
                const bool is_control = (endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) ==
                                        LIBUSB_TRANSFER_TYPE_CONTROL;
                if (!is_control) {
                    const bool is_in = (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0;
                    if (is_in && endpoint_in == 0)
                        endpoint_in = endpoint.bEndpointAddress;
                    // Once chosen, the OUT endpoint is kept across reopens.
                    if (!is_in && endpoint_out == 0)
                        endpoint_out = endpoint.bEndpointAddress;
                }
                std::printf("      max packet size: %04X\n", endpoint.wMaxPacketSize);
                std::printf("      polling interval: %02X\n", endpoint.bInterval);
            }
        }
    }

    endpoint_in = BULK_IN_ENDPOINT;
    std::printf("Endpoint in is assigned to %02X\n", endpoint_in);
    std::printf("Endpoint out is assigned to %02X\n", endpoint_out);

    return probe();
}

int DfuDevice::close()
{
    if (is_open == 1) {
        std::printf("Close device.\n");
        libusb_close(device_handle);
        is_open = 0;
    }
    if (libusb_ready == 1) {
        std::printf("Deinit libusb. \n");
        libusb_exit(nullptr);
        libusb_ready = 0;
    }
    return 0;
}

int DfuDevice::open_image(const char* path)
{
    image_file = nullptr;
    // The image is read twice from its start, once to program and once to
    // verify, so only a regular file will do. O_NONBLOCK keeps a FIFO from
    // blocking the open while waiting for a writer.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    image_file = ::fdopen(fd, "rb");
    if (image_file == nullptr) {
        ::close(fd);
        return -1;
    }
    return 0;
}
