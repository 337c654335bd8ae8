#include <libusb.h>

#include <cstdio>
#include <cstring>

#include "device/dfu_device.h"
#include "msc/bulk_only.h"

namespace {

constexpr uint8_t PROBE_LUN = 0;
constexpr int PROBE_BUFFER_SIZE = 30720;
constexpr int INQUIRY_LENGTH = 36;
constexpr int READ_CAPACITY_LENGTH = 8;
// Stale data from an earlier, interrupted session may wait on the IN
// endpoint; an empty endpoint answers nothing, so only these reads have a
// time limit.
constexpr unsigned DRAIN_TIMEOUT_MS = 1000;

uint32_t be32(const uint8_t* bytes)
{
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           uint32_t{bytes[3]};
}

void collect_status(libusb_device_handle* handle, uint8_t endpoint_in, uint8_t endpoint_out,
                    uint32_t tag)
{
    if (get_mass_storage_status(handle, endpoint_in, tag, 0) == -2)
        request_sense(handle, endpoint_in, endpoint_out, 0);
}

}  // namespace

int DfuDevice::probe()
{
    static uint8_t buffer[PROBE_BUFFER_SIZE];
    uint32_t tag = 0;
    int received = 0;

    // The unit is never asked for its LUN count: it has exactly one.
    std::printf("Reading Max LUN:\n");
    std::printf("   Max LUN = %d\n", PROBE_LUN);

    std::printf("Clearing device dma:\n");
    for (int attempt = 1;; ++attempt) {
        std::printf("  Try [%d] to read 30 Kb b ... ", attempt);
        if (libusb_bulk_transfer(device_handle, endpoint_in, buffer, PROBE_BUFFER_SIZE, &received,
                                 DRAIN_TIMEOUT_MS) != 0)
            break;
        std::printf("  Data received, dma buffer is not emty! \n");
    }
    std::printf("  Timed out, buffer is empty, OK! \n");

    std::printf("Sending Inquiry:\n");
    std::memset(buffer, 0, sizeof buffer);
    uint8_t inquiry[16] = {};
    inquiry[0] = SCSI_INQUIRY;
    inquiry[4] = INQUIRY_LENGTH;
    const int inquiry_sent = send_mass_storage_command(
        device_handle, endpoint_out, PROBE_LUN, inquiry, CBW_DIRECTION_IN, INQUIRY_LENGTH, &tag);
    if (inquiry_sent != 0) {
        std::printf("Error [%d]\n", inquiry_sent);
        return inquiry_sent;
    }
    std::printf("MSC command sent ... !\n");
    const int inquiry_read =
        libusb_bulk_transfer(device_handle, endpoint_in, buffer, INQUIRY_LENGTH, &received, 0);
    if (inquiry_read != 0) {
        std::printf("Error %s\n", libusb_error_name(inquiry_read));
        return inquiry_read;
    }
    std::printf("OK!\n");
    collect_status(device_handle, endpoint_in, endpoint_out, tag);

    std::printf("Reading Capacity:\n");
    std::memset(buffer, 0, sizeof buffer);
    uint8_t read_capacity[16] = {};
    read_capacity[0] = SCSI_READ_CAPACITY_10;
    // The capacity read has no time limit; a device that never got the
    // command would keep it waiting for good.
    if (send_mass_storage_command(device_handle, endpoint_out, PROBE_LUN, read_capacity,
                                  CBW_DIRECTION_IN, READ_CAPACITY_LENGTH, &tag) != 0)
        return -1;
    const int capacity_read = libusb_bulk_transfer(device_handle, endpoint_in, buffer,
                                                   READ_CAPACITY_LENGTH, &received, 0);
    if (capacity_read != 0) {
        std::printf("Error %s\n", libusb_error_name(capacity_read));
        return capacity_read;
    }
    std::printf("OK!\n");
    std::printf("   received %d bytes\n", received);
    const uint32_t max_lba = be32(buffer);
    const uint32_t block_size = be32(buffer + 4);
    // The figure always counts 512-byte blocks, whatever size the unit reports.
    const double gigabytes = (double(max_lba) + 1.0) * 512.0 / 1073741824.0;
    std::printf("   Max LBA: %08X, Block Size: %08X (%.2f GB)\n", max_lba, block_size, gigabytes);
    collect_status(device_handle, endpoint_in, endpoint_out, tag);

    return 0;
}
