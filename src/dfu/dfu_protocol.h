#pragma once

#include <cstdint>

// The bootloader's DFU command language. It only encodes requests, hands
// them to the installed transport and decodes the answers; how the bytes
// travel is the transport's business.

using DfuTransport = int (*)(const uint8_t* request, uint8_t request_length, uint8_t* response,
                             uint8_t response_length);

extern DfuTransport dfu_transport;

// Delivers nothing and reports success; installed until the program sets its own.
int null_transport(const uint8_t* request, uint8_t request_length, uint8_t* response,
                   uint8_t response_length);
int dfu_set_transport(DfuTransport transport);

inline constexpr uint8_t DFU_REQUEST_PREFIX = 0x11;

inline constexpr uint8_t DFU_CMD_RESET_TO_DFU_MODE = 0x00;
inline constexpr uint8_t DFU_CMD_LEAVE_DFU_MODE = 0x01;
inline constexpr uint8_t DFU_CMD_CLEAR_SECTOR = 0x02;
inline constexpr uint8_t DFU_CMD_SET_MODE = 0x03;
inline constexpr uint8_t DFU_CMD_GET_INFO = 0x60;

inline constexpr uint8_t DFU_MODE_IDLE = 0;
inline constexpr uint8_t DFU_MODE_PROGRAM = 1;
inline constexpr uint8_t DFU_MODE_VERIFY = 2;

// Every answer is asked for at this length.
inline constexpr uint8_t DFU_RESPONSE_LENGTH = 31;

inline constexpr uint16_t IS_DFU_MODE = 0x0001;

struct DfuInfo {
    uint16_t flags;
    uint16_t dfu_version;
    uint32_t hw_version;
};

// Field encoders (value, destination) and decoders (destination, source);
// each returns the number of bytes it covers.
int put_u8(uint8_t value, uint8_t* destination);
int put_u32_le(uint32_t value, uint8_t* destination);
int get_u8(uint8_t* destination, const uint8_t* source);
int get_u16_le(uint16_t* destination, const uint8_t* source);
int get_u32_le(uint32_t* destination, const uint8_t* source);

// 0 and the filled record, or -1 when the transport failed.
int dfu_get_info(DfuInfo* info);
// The device's status byte (0 to 255), or -1 when the transport failed.
int dfu_reset_to_dfu_mode();
int dfu_leave_dfu_mode();
int dfu_clear_sector(uint32_t sector);
int dfu_set_mode(uint8_t mode);
