#include <cstdio>

#include "device/dfu_device.h"
#include "dfu/dfu_protocol.h"
#include "update/sleep.h"

namespace {

constexpr uint16_t SUPPORTED_DFU_VERSION = 0x0101;
// The application needs about ten seconds to restart into the bootloader and
// enumerate again; nothing looks for the device before that.
constexpr int WAIT_PAUSES = 10;
constexpr uint32_t PAUSE_MS = 1000;
constexpr int32_t REOPEN_DEVICE_NUMBER = 0;

const char* dfu_mode_text(const DfuInfo& info)
{
    return (info.flags & IS_DFU_MODE) ? "true" : "false";
}

int get_info(DfuInfo& info)
{
    if (dfu_get_info(&info) != 0) {
        std::printf("dfu: cant get info\n");
        return -1;
    }
    return 0;
}

}  // namespace

int DfuDevice::prepare()
{
    DfuInfo info{};
    if (get_info(info) != 0)
        return -1;
    std::printf("dfu state:\n");
    std::printf("    IS_DFU_MODE = %s\n", dfu_mode_text(info));

    if (!(info.flags & IS_DFU_MODE)) {
        std::printf("dfu: device is not in dfu mode, reset\n");
        // The application may drop off the bus before it answers; whatever
        // comes back, the wait and the reopen follow.
        try {
            dfu_reset_to_dfu_mode();
        } catch (...) {
        }
        close();
        std::printf("dfu: wait device ... ");
        for (int i = 0; i < WAIT_PAUSES; ++i) {
            sleep_milliseconds(PAUSE_MS);
            std::printf("\r dfu: wait device ... %d s of %d s", i, WAIT_PAUSES);
        }
        std::printf("\n");
        // A failed reopen shows in the next request, which cannot reach a
        // closed device.
        open(REOPEN_DEVICE_NUMBER);
        if (get_info(info) != 0)
            return -1;
        if (!(info.flags & IS_DFU_MODE)) {
            std::printf("dfu: cant reset device to dfu mode\n");
            return -1;
        }
    }

    if (get_info(info) != 0)
        return -1;
    std::printf("dfu info:\n");
    std::printf("  dfu version 0x%04x\n", info.dfu_version);
    std::printf("  hw version 0x%08x\n", info.hw_version);
    std::printf("  state:\n");
    std::printf("    IS_DFU_MODE = %s\n", dfu_mode_text(info));

    if (info.dfu_version != SUPPORTED_DFU_VERSION) {
        std::printf("dfu: bootloader version is not compatible with this software\n");
        return -1;
    }
    dfu_set_mode(DFU_MODE_IDLE);
    return 0;
}
