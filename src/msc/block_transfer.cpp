#include <libusb.h>

#include "device/dfu_device.h"
#include "msc/bulk_only.h"

namespace {

constexpr int TEN_BYTE_CDB = 10;

struct BlockCommand {
    uint8_t opcode;
    uint8_t direction;
};

constexpr BlockCommand READ_COMMAND{SCSI_READ_10, CBW_DIRECTION_IN};
constexpr BlockCommand WRITE_COMMAND{SCSI_WRITE_10, CBW_DIRECTION_OUT};

// READ(10)/WRITE(10) for one block: big-endian LBA in bytes 2-5, transfer
// length 1 in bytes 7-8.
void build_block_cdb(uint8_t (&cdb)[TEN_BYTE_CDB], uint8_t opcode, uint32_t lba)
{
    cdb[0] = opcode;
    cdb[1] = 0;
    cdb[2] = static_cast<uint8_t>(lba >> 24);
    cdb[3] = static_cast<uint8_t>(lba >> 16);
    cdb[4] = static_cast<uint8_t>(lba >> 8);
    cdb[5] = static_cast<uint8_t>(lba);
    cdb[6] = 0;
    cdb[7] = 0;
    cdb[8] = 1;
    cdb[9] = 0;
}

// One complete command per block: wrapper, 512-byte data phase, status.
// Only the data phase decides the result.
int transfer_blocks(const DfuDevice& device, const BlockCommand& command, uint8_t* data,
                    uint32_t first_block, int32_t count)
{
    if (!device.is_open)
        return LIBUSB_ERROR_NO_DEVICE;
    const uint8_t data_endpoint =
        command.direction == CBW_DIRECTION_IN ? device.endpoint_in : device.endpoint_out;
    for (int32_t i = 0; i < count; ++i) {
        uint8_t cdb[TEN_BYTE_CDB];
        build_block_cdb(cdb, command.opcode, first_block + static_cast<uint32_t>(i));
        uint32_t tag = 0;
        // No data phase for a command the device never received: a READ(10)
        // data read has no time limit, and a WRITE(10) block would land where
        // the device expects a wrapper.
        if (send_mass_storage_command(device.device_handle, device.endpoint_out, 0, cdb,
                                      command.direction, BLOCK_SIZE, &tag) != 0)
            return -1;
        int transferred = 0;
        const int result =
            libusb_bulk_transfer(device.device_handle, data_endpoint, data + size_t{BLOCK_SIZE} * i,
                                 BLOCK_SIZE, &transferred, 0);
        if (get_mass_storage_status(device.device_handle, device.endpoint_in, tag, 0) == -2)
            request_sense(device.device_handle, device.endpoint_in, device.endpoint_out, 0);
        if (result != 0)
            return result;
    }
    return 0;
}

}  // namespace

int DfuDevice::read_blocks(uint8_t* buffer, uint32_t first_block, int32_t count)
{
    return transfer_blocks(*this, READ_COMMAND, buffer, first_block, count);
}

int DfuDevice::write_blocks(const uint8_t* data, uint32_t first_block, int32_t count)
{
    // libusb takes a non-const buffer for both directions; an OUT transfer
    // only reads it.
    return transfer_blocks(*this, WRITE_COMMAND, const_cast<uint8_t*>(data), first_block, count);
}
