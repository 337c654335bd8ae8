#include "app/update_command.h"

#include <cstdio>

#include "device/dfu_device.h"
#include "dfu/dfu_protocol.h"
#include "msc/vendor_exchange.h"

int run_update(int argc, char** argv)
{
    if (argc < 2) {
        std::printf("Usage: update image_filename\n");
        return -1;
    }
    const char* image_path = argv[1];

    dfu_set_transport(usb_transport);

    if (dfu_device.open() != 0) {
        std::printf("dfu: cant open usb device\n");
        return -1;
    }
    if (dfu_device.open_image(image_path) != 0) {
        std::printf("dfu: cannont open firmware\n");
        return -1;
    }
    if (dfu_device.prepare() != 0) {
        std::printf("dfu: failed to prepare device\n");
        return -1;
    }
    if (dfu_device.program() != 0) {
        std::printf("dfu: failed to program device\n");
        return -1;
    }
    if (dfu_device.verify() != 0) {
        std::printf("dfu: verification failed\n");
        return -1;
    }
    // The firmware is in and verified; whether the device acknowledges the
    // restart into its application does not change that.
    dfu_leave_dfu_mode();
    std::printf("Success!\n");
    return 0;
}
