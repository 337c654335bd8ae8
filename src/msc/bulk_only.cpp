#include "msc/bulk_only.h"

#include <libusb.h>

#include <cstdio>
#include <cstring>

namespace {

struct OpcodeRange {
    uint8_t first;
    uint8_t last;
    uint8_t length;
};

// Lengths follow the SCSI group code (top three bits of the operation code).
// Group 3 is reserved and group 7 vendor specific: refused. Of the vendor
// group 6 only 0xC0-0xCF are taken; the device reads up to 31 command bytes
// there, although a wrapper carries 16 of them.
constexpr OpcodeRange CDB_LENGTH_RANGES[] = {
    {0x00, 0x1F, 6},  {0x20, 0x5F, 10}, {0x60, 0x7F, 0}, {0x80, 0x9F, 16},
    {0xA0, 0xBF, 12}, {0xC0, 0xCF, 31}, {0xD0, 0xFF, 0},
};

constexpr std::array<uint8_t, 256> build_cdb_length()
{
    std::array<uint8_t, 256> table{};
    for (const OpcodeRange& range : CDB_LENGTH_RANGES)
        for (int code = range.first; code <= range.last; ++code)
            table[code] = range.length;
    return table;
}

constexpr uint8_t CBW_SIGNATURE[4] = {'U', 'S', 'B', 'C'};
constexpr int MAX_STALL_ATTEMPTS = 5;
constexpr int SENSE_LENGTH = 18;

// A stalled endpoint gets its halt cleared and the transfer is tried again,
// up to five times in all.
int bulk_transfer_clearing_stalls(libusb_device_handle* handle, uint8_t endpoint, void* data,
                                  int length, int* transferred)
{
    int result = 0;
    int attempts = 0;
    do {
        result = libusb_bulk_transfer(handle, endpoint, static_cast<unsigned char*>(data), length,
                                      transferred, 0);
        ++attempts;
        if (result == LIBUSB_ERROR_PIPE)
            libusb_clear_halt(handle, endpoint);
    } while (result == LIBUSB_ERROR_PIPE && attempts < MAX_STALL_ATTEMPTS);
    return result;
}

}  // namespace

const std::array<uint8_t, 256> cdb_length = build_cdb_length();

uint32_t cbw_tag = 1;

int send_mass_storage_command(libusb_device_handle* handle, uint8_t endpoint, uint8_t lun,
                              const uint8_t* cdb, uint8_t direction, int data_length,
                              uint32_t* ret_tag)
{
    if (cdb == nullptr)
        return -1;
    if (endpoint & LIBUSB_ENDPOINT_IN) {
        std::printf("send_mass_storage_command: cannot send command on IN endpoint\n");
        return -1;
    }
    const uint8_t opcode = cdb[0];
    const int length = cdb_length[opcode];
    if (length == 0 || length > static_cast<int>(sizeof(CommandBlockWrapper::CBWCB))) {
        std::printf("send_mass_storage_command: don't know how to handle this command (%02X, "
                    "length %d)\n",
                    opcode, length);
        return -1;
    }

    CommandBlockWrapper cbw{};
    std::memcpy(cbw.dCBWSignature, CBW_SIGNATURE, sizeof CBW_SIGNATURE);
    *ret_tag = cbw_tag;
    cbw.dCBWTag = cbw_tag++;
    cbw.dCBWDataTransferLength = static_cast<uint32_t>(data_length);
    cbw.bmCBWFlags = direction;
    cbw.bCBWLUN = lun;
    cbw.bCBWCBLength = static_cast<uint8_t>(length);
    std::memcpy(cbw.CBWCB, cdb, length);

    int transferred = 0;
    const int result =
        bulk_transfer_clearing_stalls(handle, endpoint, &cbw, CBW_WIRE_LENGTH, &transferred);
    if (result != 0) {
        std::printf("   send_mass_storage_command: %s\n", libusb_strerror(result));
        return -1;
    }
    return 0;
}

int get_mass_storage_status(libusb_device_handle* handle, uint8_t endpoint, uint32_t expected_tag,
                            int verbose)
{
    CommandStatusWrapper csw{};
    int transferred = 0;
    const int result =
        bulk_transfer_clearing_stalls(handle, endpoint, &csw, CSW_WIRE_LENGTH, &transferred);
    if (result != 0) {
        if (verbose)
            std::printf("   get_mass_storage_status: %s\n", libusb_strerror(result));
        return -1;
    }
    if (transferred != CSW_WIRE_LENGTH) {
        if (verbose)
            std::printf("   get_mass_storage_status: received %d bytes (expected 13)\n",
                        transferred);
        return -1;
    }
    if (csw.dCSWTag != expected_tag) {
        if (verbose)
            std::printf("   get_mass_storage_status: mismatched tags (expected %08X, received "
                        "%08X)\n",
                        expected_tag, csw.dCSWTag);
        return -1;
    }
    if (verbose)
        std::printf("   Mass Storage Status: %02X (%s)\n", csw.bCSWStatus,
                    csw.bCSWStatus ? "FAILED" : "Success");
    switch (csw.bCSWStatus) {
    case 0: return 0;
    case 1: return -2;
    default: return -1;
    }
}

void request_sense(libusb_device_handle* handle, uint8_t endpoint_in, uint8_t endpoint_out,
                   int verbose)
{
    if (verbose)
        std::printf("Request Sense:\n");
    uint8_t sense[SENSE_LENGTH] = {};
    uint8_t cdb[16] = {};
    cdb[0] = SCSI_REQUEST_SENSE;
    cdb[4] = SENSE_LENGTH;

    uint32_t tag = 0;
    // The sense read has no time limit: without a command on the device it
    // would wait for good.
    if (send_mass_storage_command(handle, endpoint_out, 0, cdb, CBW_DIRECTION_IN, SENSE_LENGTH,
                                  &tag) != 0)
        return;

    int received = 0;
    const int result = libusb_bulk_transfer(handle, endpoint_in, sense, SENSE_LENGTH, &received, 0);
    if (result < 0) {
        if (verbose)
            std::printf("libusb_bulk_transfer failed: %s\n", libusb_error_name(result));
        return;
    }
    std::printf("   received %d bytes\n", received);
    // Fixed-format sense data, current (0x70) or deferred (0x71) errors.
    if (sense[0] == 0x70 || sense[0] == 0x71) {
        if (verbose)
            std::printf("   ERROR Sense: %02X %02X %02X\n", sense[2] & 0x0F, sense[12], sense[13]);
    } else if (verbose) {
        std::printf("   ERROR No sense data\n");
    }
    get_mass_storage_status(handle, endpoint_in, tag, 0);
}
