#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

struct libusb_device_handle;

// USB Mass Storage Bulk-Only Transport: the command and status stages.
// Both records are laid out so that their first bytes are the wire form on a
// little-endian host.
static_assert(std::endian::native == std::endian::little,
              "wrapper records are sent as they lie in memory");

struct CommandBlockWrapper {
    uint8_t dCBWSignature[4];
    uint32_t dCBWTag;
    uint32_t dCBWDataTransferLength;
    uint8_t bmCBWFlags;
    uint8_t bCBWLUN;
    uint8_t bCBWCBLength;
    // Room for the longest table entry; only the first 16 bytes go on the wire.
    uint8_t CBWCB[32];
};

struct CommandStatusWrapper {
    uint8_t dCSWSignature[4];
    uint32_t dCSWTag;
    uint32_t dCSWDataResidue;
    uint8_t bCSWStatus;
};

inline constexpr int CBW_WIRE_LENGTH = 31;
inline constexpr int CSW_WIRE_LENGTH = 13;
static_assert(offsetof(CommandBlockWrapper, dCBWTag) == 4);
static_assert(offsetof(CommandBlockWrapper, bCBWCBLength) == 14);
static_assert(offsetof(CommandBlockWrapper, CBWCB) == 15);
static_assert(offsetof(CommandStatusWrapper, bCSWStatus) == 12);

inline constexpr uint8_t CBW_DIRECTION_IN = 0x80;
inline constexpr uint8_t CBW_DIRECTION_OUT = 0x00;

inline constexpr uint8_t SCSI_REQUEST_SENSE = 0x03;
inline constexpr uint8_t SCSI_INQUIRY = 0x12;
inline constexpr uint8_t SCSI_READ_CAPACITY_10 = 0x25;
inline constexpr uint8_t SCSI_READ_10 = 0x28;
inline constexpr uint8_t SCSI_WRITE_10 = 0x2A;

// Command block length per SCSI operation code; 0 refuses the code.
extern const std::array<uint8_t, 256> cdb_length;

// Tag of the next wrapper. One counter for the process, from 1, never reset:
// it keeps counting across a close and reopen of the device.
extern uint32_t cbw_tag;

int send_mass_storage_command(libusb_device_handle* handle, uint8_t endpoint, uint8_t lun,
                              const uint8_t* cdb, uint8_t direction, int data_length,
                              uint32_t* ret_tag);
int get_mass_storage_status(libusb_device_handle* handle, uint8_t endpoint, uint32_t expected_tag,
                            int verbose);
void request_sense(libusb_device_handle* handle, uint8_t endpoint_in, uint8_t endpoint_out,
                   int verbose);
