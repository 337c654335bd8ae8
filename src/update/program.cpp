#include <cerrno>
#include <cstdio>
#include <cstring>

#include "device/dfu_device.h"
#include "dfu/dfu_protocol.h"

namespace {

// Flash sectors of the application; sector 0 holds the bootloader.
constexpr uint32_t APPLICATION_SECTORS[] = {1, 2, 3, 4, 5, 6, 7};
constexpr int MAX_SECTORS = 256;
constexpr uint8_t ERASED_BYTE = 0xFF;

struct StreamResult {
    int read_errno = 0;     // non-zero: the image could not be read to its end
    int failed_writes = 0;  // blocks whose data phase did not complete
};

// Sends the image from its current position, block after block, as WRITE(10)
// of whole 512-byte blocks; a short last piece goes out padded with the
// erased-flash value. One buffer serves the whole pass.
StreamResult stream_image(DfuDevice& device, uint8_t (&block)[BLOCK_SIZE],
                          const char* progress_format)
{
    StreamResult result;
    uint32_t counter = device.base_address / BLOCK_SIZE;
    std::memset(block, ERASED_BYTE, sizeof block);
    for (;;) {
        const size_t count = std::fread(block, 1, BLOCK_SIZE, device.image_file);
        // A read error is not the end of the image: what was sent so far is
        // only part of the firmware.
        if (std::ferror(device.image_file)) {
            result.read_errno = errno != 0 ? errno : EIO;
            break;
        }
        if (count == 0)
            break;
        if (device.write_blocks(block, counter, 1) != 0)
            ++result.failed_writes;
        ++counter;
        std::memset(block, ERASED_BYTE, sizeof block);
        std::printf(progress_format, counter);
    }
    return result;
}

void report_read_error(int error)
{
    std::printf("\ndfu: cannot read firmware: %s\n", std::strerror(error));
}

}  // namespace

int DfuDevice::program()
{
    uint32_t sectors[MAX_SECTORS];
    int sector_count = 0;
    for (const uint32_t sector : APPLICATION_SECTORS)
        sectors[sector_count++] = sector;

    for (int i = 0; i < sector_count; ++i) {
        // Sector 0 is the bootloader itself.
        if (sectors[i] == 0)
            return -1;
        std::printf("dfu: clear sector %d ... ", static_cast<int>(sectors[i]));
        if (dfu_clear_sector(sectors[i]) != 0)
            return -1;
        std::printf("OK\n");
    }

    std::rewind(image_file);
    std::printf("dfu: program device ... ");
    dfu_set_mode(DFU_MODE_PROGRAM);
    uint8_t block[BLOCK_SIZE];
    const StreamResult streamed =
        stream_image(*this, block, "\rdfu: program device ... block %d flushed");
    dfu_set_mode(DFU_MODE_IDLE);
    if (streamed.read_errno != 0) {
        report_read_error(streamed.read_errno);
        return -1;
    }
    std::printf("\n");
    return 0;
}

int DfuDevice::verify()
{
    std::rewind(image_file);
    // Outside verify mode the device compares nothing, and block 0 reads back
    // as plain flash, whose first byte may be 0 like a good verdict.
    const bool in_verify_mode = dfu_set_mode(DFU_MODE_VERIFY) == 0;
    uint8_t block[BLOCK_SIZE];
    const StreamResult streamed =
        stream_image(*this, block, "\rdfu: verifying device ... block %d sent");
    if (streamed.read_errno != 0) {
        report_read_error(streamed.read_errno);
        return -1;
    }
    std::printf("\n");

    // The device compared every block it was sent; the first byte of the
    // image's first block now reads back as its verdict, 0 for a match. A
    // block that never reached it was never compared.
    read_blocks(block, base_address / BLOCK_SIZE, 1);
    if (block[0] != 0 || streamed.failed_writes != 0 || !in_verify_mode) {
        std::printf("Dfu: verification failed at unknown address\n");
        return -1;
    }
    dfu_set_mode(DFU_MODE_IDLE);
    return 0;
}
