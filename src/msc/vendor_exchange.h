#pragma once

#include <cstdint>

// The vendor SCSI command that carries DFU requests.
inline constexpr uint8_t DFU_VENDOR_OPCODE = 0xC0;
// Bytes of the vendor command block after the operation code.
inline constexpr int MAX_VENDOR_REQUEST_LENGTH = 30;

// The DFU transport of the running program: every request goes to dfu_device.
int usb_transport(const uint8_t* request, uint8_t request_length, uint8_t* response,
                  uint8_t response_length);
