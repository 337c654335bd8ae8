#include "msc/vendor_exchange.h"

#include <libusb.h>

#include <cstdio>
#include <cstring>

#include "device/dfu_device.h"
#include "msc/bulk_only.h"

namespace {

constexpr int VENDOR_CDB_LENGTH = 31;

}  // namespace

int DfuDevice::vendor_exchange(const uint8_t* request, uint8_t request_length, uint8_t* response,
                               uint8_t response_length)
{
    // After a failed reopen the handle is a released one; nothing may touch it.
    if (!is_open)
        return LIBUSB_ERROR_NO_DEVICE;
    if (request_length > MAX_VENDOR_REQUEST_LENGTH)
        return LIBUSB_ERROR_INVALID_PARAM;

    uint8_t cdb[VENDOR_CDB_LENGTH] = {};
    cdb[0] = DFU_VENDOR_OPCODE;
    std::memcpy(cdb + 1, request, request_length);

    // The device takes every DFU request in this form: the wrapper announces
    // 31 bytes host to device, and the answer is then read from the IN
    // endpoint.
    uint32_t tag = 0;
    if (send_mass_storage_command(device_handle, endpoint_out, 0, cdb, CBW_DIRECTION_OUT,
                                  VENDOR_CDB_LENGTH, &tag) != 0)
        return -1;

    if (response_length != 0) {
        int received = 0;
        const int result = libusb_bulk_transfer(device_handle, endpoint_in, response,
                                                response_length, &received, 0);
        if (result != 0) {
            std::printf("USB Error: Can't receive required response for specific command. Error "
                        "%s\n",
                        libusb_error_name(result));
            return result;
        }
        if (received != response_length)
            std::printf("USB Error: Length of response received %d for specific command is not "
                        "equal to required one %d.\n",
                        received, response_length);
    }

    if (get_mass_storage_status(device_handle, endpoint_in, tag, 0) == -2)
        request_sense(device_handle, endpoint_in, endpoint_out, 0);
    return 0;
}

int usb_transport(const uint8_t* request, uint8_t request_length, uint8_t* response,
                  uint8_t response_length)
{
    return dfu_device.vendor_exchange(request, request_length, response, response_length);
}
