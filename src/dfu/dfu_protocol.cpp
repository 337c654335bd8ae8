#include "dfu/dfu_protocol.h"

#include <cstring>

DfuTransport dfu_transport = null_transport;

int null_transport(const uint8_t*, uint8_t, uint8_t*, uint8_t)
{
    return 0;
}

int dfu_set_transport(DfuTransport transport)
{
    dfu_transport = transport;
    return 0;
}

int put_u8(uint8_t value, uint8_t* destination)
{
    destination[0] = value;
    return 1;
}

int put_u32_le(uint32_t value, uint8_t* destination)
{
    destination[0] = static_cast<uint8_t>(value);
    destination[1] = static_cast<uint8_t>(value >> 8);
    destination[2] = static_cast<uint8_t>(value >> 16);
    destination[3] = static_cast<uint8_t>(value >> 24);
    return 4;
}

int get_u8(uint8_t* destination, const uint8_t* source)
{
    *destination = source[0];
    return 1;
}

int get_u16_le(uint16_t* destination, const uint8_t* source)
{
    *destination = static_cast<uint16_t>(source[0] | (source[1] << 8));
    return 2;
}

int get_u32_le(uint32_t* destination, const uint8_t* source)
{
    *destination = uint32_t{source[0]} | (uint32_t{source[1]} << 8) | (uint32_t{source[2]} << 16) |
                   (uint32_t{source[3]} << 24);
    return 4;
}

namespace {

constexpr int DFU_BUFFER_SIZE = 32;

struct Exchange {
    uint8_t request[DFU_BUFFER_SIZE];
    uint8_t response[DFU_BUFFER_SIZE];
    uint8_t length = 0;

    explicit Exchange(uint8_t command)
    {
        length += put_u8(DFU_REQUEST_PREFIX, request + length);
        length += put_u8(command, request + length);
    }

    // A short or empty answer must decode as zeros, never as what the buffer
    // held before.
    int run()
    {
        std::memset(response, 0, sizeof response);
        return dfu_transport(request, length, response, DFU_RESPONSE_LENGTH) == 0 ? 0 : -1;
    }

    // Status commands answer with one byte.
    int run_for_status()
    {
        if (run() != 0)
            return -1;
        uint8_t status = 0;
        get_u8(&status, response);
        return status;
    }
};

}  // namespace

int dfu_get_info(DfuInfo* info)
{
    Exchange exchange(DFU_CMD_GET_INFO);
    if (exchange.run() != 0)
        return -1;
    int offset = 0;
    offset += get_u16_le(&info->flags, exchange.response + offset);
    offset += get_u16_le(&info->dfu_version, exchange.response + offset);
    get_u32_le(&info->hw_version, exchange.response + offset);
    return 0;
}

int dfu_reset_to_dfu_mode()
{
    return Exchange(DFU_CMD_RESET_TO_DFU_MODE).run_for_status();
}

int dfu_leave_dfu_mode()
{
    return Exchange(DFU_CMD_LEAVE_DFU_MODE).run_for_status();
}

int dfu_clear_sector(uint32_t sector)
{
    Exchange exchange(DFU_CMD_CLEAR_SECTOR);
    exchange.length += put_u32_le(sector, exchange.request + exchange.length);
    return exchange.run_for_status();
}

int dfu_set_mode(uint8_t mode)
{
    Exchange exchange(DFU_CMD_SET_MODE);
    exchange.length += put_u8(mode, exchange.request + exchange.length);
    return exchange.run_for_status();
}
