// Whole runs of `update image.bin` against the simulated bootloader: the
// transcript byte for byte, the exit status, the DFU requests the device saw
// and what its flash holds afterwards.

#include <gmock/gmock.h>
#include <libusb.h>

#include <cerrno>
#include <cstring>

#include "device/dfu_device.h"
#include "dfu/dfu_protocol.h"
#include "expected_output.h"
#include "msc/bulk_only.h"
#include "msc/vendor_exchange.h"
#include "scenario.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::EndsWith;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t GET_INFO = DFU_CMD_GET_INFO;
constexpr uint8_t SET_MODE = DFU_CMD_SET_MODE;
constexpr uint8_t CLEAR = DFU_CMD_CLEAR_SECTOR;
constexpr uint8_t RESET = DFU_CMD_RESET_TO_DFU_MODE;
constexpr uint8_t LEAVE = DFU_CMD_LEAVE_DFU_MODE;

// open() on a bus of the bootloader, at the given address, and a root hub.
std::string open_report(int address)
{
    return "Initialize libusb ... OK!\n"
           "Get device list ... OK! 2 device found\n"
           "Usb device list:\n"
           "N[0], vendor[0x0483], device_id[0x5720],:\n"
           "      bus[1], port[2], address[" +
           std::to_string(address) +
           "], speed[2], packet_size[251]\n"
           "\n"
           "N[1], vendor[0x1d6b], device_id[0x0002],:\n"
           "      bus[1], port[0], address[1], speed[3], packet_size[251]\n"
           "\n"
           "\n"
           "Find device number [0] with vendor[0x0483], device_id[0x5720] ... OK!\n"
           "Device found with number 0\n" +
           std::string(BOOTLOADER_OPENED) +
           "Reading Max LUN:\n"
           "   Max LUN = 0\n"
           "Clearing device dma:\n"
           "  Try [1] to read 30 Kb b ...   Timed out, buffer is empty, OK! \n"
           "Sending Inquiry:\n"
           "MSC command sent ... !\n"
           "OK!\n"
           "Reading Capacity:\n"
           "OK!\n"
           "   received 8 bytes\n"
           "   Max LBA: 000003DF, Block Size: 00000200 (0.00 GB)\n";
}

const char* const STATE_DFU = "dfu state:\n    IS_DFU_MODE = true\n";
const char* const STATE_APPLICATION = "dfu state:\n    IS_DFU_MODE = false\n";
const char* const RESET_AND_WAIT =
    "dfu: device is not in dfu mode, reset\n"
    "Close device.\n"
    "Deinit libusb. \n"
    "dfu: wait device ... "
    "\r dfu: wait device ... 0 s of 10 s\r dfu: wait device ... 1 s of 10 s"
    "\r dfu: wait device ... 2 s of 10 s\r dfu: wait device ... 3 s of 10 s"
    "\r dfu: wait device ... 4 s of 10 s\r dfu: wait device ... 5 s of 10 s"
    "\r dfu: wait device ... 6 s of 10 s\r dfu: wait device ... 7 s of 10 s"
    "\r dfu: wait device ... 8 s of 10 s\r dfu: wait device ... 9 s of 10 s\n";
const char* const INFO_0101 = "dfu info:\n"
                              "  dfu version 0x0101\n"
                              "  hw version 0x00020001\n"
                              "  state:\n"
                              "    IS_DFU_MODE = true\n";
const char* const CLEAR_ALL = "dfu: clear sector 1 ... OK\n"
                              "dfu: clear sector 2 ... OK\n"
                              "dfu: clear sector 3 ... OK\n"
                              "dfu: clear sector 4 ... OK\n"
                              "dfu: clear sector 5 ... OK\n"
                              "dfu: clear sector 6 ... OK\n"
                              "dfu: clear sector 7 ... OK\n";
const char* const PROGRAM_3 = "dfu: program device ... "
                              "\rdfu: program device ... block 1 flushed"
                              "\rdfu: program device ... block 2 flushed"
                              "\rdfu: program device ... block 3 flushed\n";
const char* const VERIFY_3 = "\rdfu: verifying device ... block 1 sent"
                             "\rdfu: verifying device ... block 2 sent"
                             "\rdfu: verifying device ... block 3 sent\n";

// The DFU requests of an update that finds the bootloader running.
const std::vector<uint8_t> UPDATE_REQUESTS = {GET_INFO, GET_INFO, SET_MODE, CLEAR,    CLEAR,
                                              CLEAR,    CLEAR,    CLEAR,    CLEAR,    CLEAR,
                                              SET_MODE, SET_MODE, SET_MODE, SET_MODE, LEAVE};

class UpdateRun : public DeviceTest {
protected:
    std::shared_ptr<sim::Bootloader> on_bus(sim::Bootloader::Options options = {})
    {
        // libusb lists the most recently attached device first.
        auto bootloader = add_bootloader(std::move(options));
        bus.devices.push_back(sim::other_device(0x1d6b, 0x0002, 1));
        return bootloader;
    }

    // Tags of the command wrappers, in the order sent.
    static std::vector<uint32_t> tags()
    {
        std::vector<uint32_t> out;
        for (const fakeusb::Call& call : fakeusb::traffic())
            if (call.endpoint == 0x01 && call.length == 31 && call.result == 0)
                out.push_back(call.data[4] | (call.data[5] << 8) | (call.data[6] << 16) |
                              (call.data[7] << 24));
        return out;
    }
};

TEST_F(UpdateRun, BootloaderAlreadyRunning)
{
    auto device = on_bus();
    const Bytes image = image_bytes(1100);
    EXPECT_EQ(run({write_image(image)}), 0);
    EXPECT_EQ(output(), open_report(5) + STATE_DFU + INFO_0101 + CLEAR_ALL + PROGRAM_3 + VERIFY_3 +
                            "Success!\n");
    EXPECT_EQ(device->flash_prefix(1536), padded(image));
    EXPECT_THAT(device->dfu_requests(), ElementsAreArray(UPDATE_REQUESTS));
    EXPECT_THAT(device->cleared_sectors(), ElementsAre(1, 2, 3, 4, 5, 6, 7));
    EXPECT_TRUE(recorded_sleeps().empty());
    EXPECT_EQ(device->leaves_requested(), 1);
    // The run never closes the device: the end of the process does.
    EXPECT_EQ(fakeusb::count("libusb_close"), 0);
    EXPECT_EQ(fakeusb::count("libusb_exit"), 0);
}

TEST_F(UpdateRun, ApplicationRestartsIntoTheBootloader)
{
    sim::Bootloader::Options options;
    options.dfu_mode = false;
    auto device = on_bus(options);
    const Bytes image = image_bytes(1100);
    EXPECT_EQ(run({write_image(image)}), 0);
    EXPECT_EQ(output(), open_report(5) + STATE_APPLICATION + RESET_AND_WAIT + open_report(6) +
                            INFO_0101 + CLEAR_ALL + PROGRAM_3 + VERIFY_3 + "Success!\n");
    EXPECT_EQ(device->flash_prefix(1536), padded(image));
    EXPECT_THAT(recorded_sleeps(), ElementsAreArray(std::vector<uint32_t>(10, 1000)));
    EXPECT_EQ(device->resets_requested(), 1);
    std::vector<uint8_t> expected = {GET_INFO, RESET};
    expected.insert(expected.end(), UPDATE_REQUESTS.begin(), UPDATE_REQUESTS.end());
    EXPECT_THAT(device->dfu_requests(), ElementsAreArray(expected));
    // One tag counter for the process: the reopened device sees it go on.
    const std::vector<uint32_t> sent = tags();
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(sent[i], i + 1);
}

TEST_F(UpdateRun, ApplicationRestartsBeforeAnsweringTheResetRequest)
{
    sim::Bootloader::Options options;
    options.dfu_mode = false;
    options.faults.restart_before_answer = RESET;
    auto device = on_bus(options);
    const Bytes image = image_bytes(1100);
    EXPECT_EQ(run({write_image(image)}), 0);
    EXPECT_EQ(output(),
              open_report(5) + STATE_APPLICATION +
                  "dfu: device is not in dfu mode, reset\n"
                  "USB Error: Can't receive required response for specific command. Error "
                  "LIBUSB_ERROR_NO_DEVICE\n" +
                  (RESET_AND_WAIT + std::strlen("dfu: device is not in dfu mode, reset\n")) +
                  open_report(6) + INFO_0101 + CLEAR_ALL + PROGRAM_3 + VERIFY_3 + "Success!\n");
    EXPECT_EQ(device->flash_prefix(1536), padded(image));
}

TEST_F(UpdateRun, PreparationFailures)
{
    struct Case {
        const char* name;
        sim::Bootloader::Options options;
        std::string tail;  // after the first open report
        int resets;
        std::vector<uint8_t> requests;
    };
    sim::Bootloader::Options stays;
    stays.dfu_mode = false;
    stays.after_reset = sim::ResetOutcome::comes_back_in_application;
    sim::Bootloader::Options gone;
    gone.dfu_mode = false;
    gone.after_reset = sim::ResetOutcome::never_comes_back;
    sim::Bootloader::Options old_version;
    old_version.dfu_version = 0x0100;
    sim::Bootloader::Options new_version;
    new_version.dfu_version = 0x0102;
    const auto info = [](const char* version) {
        return std::string("dfu info:\n  dfu version ") + version +
               "\n  hw version 0x00020001\n  state:\n    IS_DFU_MODE = true\n";
    };
    const std::string application_reopened =
        std::string(STATE_APPLICATION) + RESET_AND_WAIT + open_report(6);
    const Case cases[] = {
        {"comes back still in its application",
         stays,
         application_reopened +
             "dfu: cant reset device to dfu mode\ndfu: failed to prepare device\n",
         1,
         {GET_INFO, RESET, GET_INFO}},
        {"never comes back",
         gone,
         std::string(STATE_APPLICATION) + RESET_AND_WAIT +
             "Initialize libusb ... OK!\n"
             "Get device list ... OK! 1 device found\n"
             "Usb device list:\n"
             "N[0], vendor[0x1d6b], device_id[0x0002],:\n"
             "      bus[1], port[0], address[1], speed[3], packet_size[251]\n"
             "\n\n"
             "Find device number [0] with vendor[0x0483], device_id[0x5720] ... Device not found!\n"
             "dfu: cant get info\n"
             "dfu: failed to prepare device\n",
         1,
         {GET_INFO, RESET}},
        {"protocol 0x0100",
         old_version,
         std::string(STATE_DFU) + info("0x0100") +
             "dfu: bootloader version is not compatible with this software\n"
             "dfu: failed to prepare device\n",
         0,
         {GET_INFO, GET_INFO}},
        {"protocol 0x0102",
         new_version,
         std::string(STATE_DFU) + info("0x0102") +
             "dfu: bootloader version is not compatible with this software\n"
             "dfu: failed to prepare device\n",
         0,
         {GET_INFO, GET_INFO}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start_over();
        auto device = on_bus(c.options);
        const Bytes image = image_bytes(600);
        EXPECT_EQ(run({write_image(image)}), -1);
        EXPECT_EQ(output(), open_report(5) + c.tail);
        EXPECT_EQ(device->resets_requested(), c.resets);
        EXPECT_THAT(device->dfu_requests(), ElementsAreArray(c.requests));
        EXPECT_TRUE(device->cleared_sectors().empty());
        EXPECT_NE(device->flash_prefix(1024), padded(image));
        EXPECT_EQ(fakeusb::violations().size(), 0u);
    }
}

TEST_F(UpdateRun, FirstGetInfoFailing)
{
    sim::Bootloader::Options options;
    // The probe's IN transfers are 1 to 5; the get-info answer is 6.
    options.faults.transfers = {{0x81, 6, sim::Outcome::io_error}};
    on_bus(options);
    EXPECT_EQ(run({write_image(image_bytes(10))}), -1);
    EXPECT_EQ(output(),
              open_report(5) +
                  "USB Error: Can't receive required response for specific command. Error "
                  "LIBUSB_ERROR_IO\n"
                  "dfu: cant get info\n"
                  "dfu: failed to prepare device\n");
}

TEST_F(UpdateRun, SectorThatWillNotClearStopsBeforeAnyBlock)
{
    sim::Bootloader::Options options;
    options.faults.clear_sector_status[3] = 0x01;
    auto device = on_bus(options);
    EXPECT_EQ(run({write_image(image_bytes(1100))}), -1);
    EXPECT_EQ(output(), open_report(5) + STATE_DFU + INFO_0101 +
                            "dfu: clear sector 1 ... OK\n"
                            "dfu: clear sector 2 ... OK\n"
                            "dfu: clear sector 3 ... dfu: failed to program device\n");
    EXPECT_THAT(device->dfu_requests(),
                ElementsAre(GET_INFO, GET_INFO, SET_MODE, CLEAR, CLEAR, CLEAR));
    EXPECT_EQ(device->transfer_mode(), DFU_MODE_IDLE);
    for (const fakeusb::Call& call : fakeusb::traffic())
        EXPECT_FALSE(call.length == 31 && call.data[15] == 0x2A) << "a WRITE(10) was sent";
}

TEST_F(UpdateRun, LostProgrammingBlockIsCaughtByTheVerdict)
{
    // The second block's data phase breaks while programming; the pass goes
    // on, and the device's comparison finds the hole.
    sim::Bootloader::Options options;
    options.faults.fail_write_data = 2;
    auto device = on_bus(options);
    EXPECT_EQ(run({write_image(image_bytes(1100))}), -1);
    EXPECT_EQ(output(), open_report(5) + STATE_DFU + INFO_0101 + CLEAR_ALL +
                            "dfu: program device ... "
                            "\rdfu: program device ... block 1 flushed"
                            "   received 18 bytes\n"
                            "\rdfu: program device ... block 2 flushed"
                            "\rdfu: program device ... block 3 flushed\n" +
                            VERIFY_3 +
                            "Dfu: verification failed at unknown address\n"
                            "dfu: verification failed\n");
    // No idle mode after a failed verdict and no leave request.
    EXPECT_EQ(device->transfer_mode(), DFU_MODE_VERIFY);
    EXPECT_EQ(device->leaves_requested(), 0);
}

TEST_F(UpdateRun, BlockLostInTheVerifyPassFailsVerification)
{
    // Programming is complete; the verify pass loses its second block, which
    // the device therefore never compared: its verdict alone would say 0.
    sim::Bootloader::Options options;
    options.faults.fail_write_data = 5;
    auto device = on_bus(options);
    const Bytes image = image_bytes(1100);
    EXPECT_EQ(run({write_image(image)}), -1);
    EXPECT_EQ(output(), open_report(5) + STATE_DFU + INFO_0101 + CLEAR_ALL + PROGRAM_3 +
                            "\rdfu: verifying device ... block 1 sent"
                            "   received 18 bytes\n"
                            "\rdfu: verifying device ... block 2 sent"
                            "\rdfu: verifying device ... block 3 sent\n"
                            "Dfu: verification failed at unknown address\n"
                            "dfu: verification failed\n");
    EXPECT_EQ(device->flash_prefix(1536), padded(image));
    // The pass still sent every block and read the verdict block.
    int writes = 0;
    int reads = 0;
    for (const fakeusb::Call& call : fakeusb::traffic()) {
        if (call.length == 31 && call.data[15] == 0x2A)
            ++writes;
        if (call.length == 31 && call.data[15] == 0x28)
            ++reads;
    }
    EXPECT_EQ(writes, 6);
    EXPECT_EQ(reads, 1);
}

TEST_F(UpdateRun, LeaveRequestThatFailsStillEndsInSuccess)
{
    sim::Bootloader::Options refused;
    refused.faults.dfu_status[LEAVE] = 0xFF;
    on_bus(refused);
    EXPECT_EQ(run({write_image(image_bytes(1100))}), 0);
    EXPECT_THAT(output(), EndsWith(std::string(VERIFY_3) + "Success!\n"));

    // The device restarts before it answers the leave request.
    start_over();
    sim::Bootloader::Options lost;
    lost.faults.restart_before_answer = LEAVE;
    on_bus(lost);
    EXPECT_EQ(run({write_image(image_bytes(1100))}), 0);
    EXPECT_THAT(output(), EndsWith(std::string(VERIFY_3) +
                                   "USB Error: Can't receive required response for specific "
                                   "command. Error LIBUSB_ERROR_NO_DEVICE\n"
                                   "Success!\n"));
}

TEST_F(UpdateRun, ImageSizesAndPadding)
{
    struct Case {
        size_t size;
        int blocks;
    };
    const Case cases[] = {{0, 0}, {1, 1}, {512, 1}, {1024, 2}, {1536, 3}, {513, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        start_over();
        auto device = on_bus();
        const Bytes image = image_bytes(c.size);
        EXPECT_EQ(run({write_image(image)}), 0);
        std::string program = "dfu: program device ... ";
        std::string verify;
        for (int b = 1; b <= c.blocks; ++b) {
            program += "\rdfu: program device ... block " + std::to_string(b) + " flushed";
            verify += "\rdfu: verifying device ... block " + std::to_string(b) + " sent";
        }
        EXPECT_THAT(output(),
                    EndsWith(std::string(CLEAR_ALL) + program + "\n" + verify + "\nSuccess!\n"));
        EXPECT_EQ(device->flash_prefix(size_t(c.blocks) * 512), padded(image));
        // Nothing beyond the image was written: the rest of sector 1 is erased.
        EXPECT_EQ(device->flash()[size_t(c.blocks) * 512], 0xFF);
    }
}

// A stream that fails with EIO once `good` bytes have been read.
struct FailingStream {
    Bytes data;
    size_t good;
    size_t position = 0;
};

FILE* failing_stream(FailingStream& stream)
{
    cookie_io_functions_t io{};
    io.read = [](void* cookie, char* buffer, size_t size) -> ssize_t {
        auto* s = static_cast<FailingStream*>(cookie);
        if (s->position >= s->good) {
            errno = EIO;
            return -1;
        }
        const size_t n = std::min(size, s->good - s->position);
        std::memcpy(buffer, s->data.data() + s->position, n);
        s->position += n;
        return static_cast<ssize_t>(n);
    };
    io.seek = [](void* cookie, off64_t* offset, int whence) -> int {
        auto* s = static_cast<FailingStream*>(cookie);
        if (whence != SEEK_SET)
            return -1;
        s->position = static_cast<size_t>(*offset);
        return 0;
    };
    return fopencookie(&stream, "rb", io);
}

TEST_F(UpdateRun, ImageReadErrorIsNotTheEndOfTheImage)
{
    auto device = on_bus();
    dfu_set_transport(usb_transport);
    ASSERT_EQ(dfu_device.open(), 0);
    FailingStream stream{image_bytes(4096), 1024};
    dfu_device.image_file = failing_stream(stream);
    ASSERT_EQ(dfu_device.prepare(), 0);
    output();
    EXPECT_EQ(dfu_device.program(), -1);
    EXPECT_EQ(output(), std::string(CLEAR_ALL) +
                            "dfu: program device ... "
                            "\rdfu: program device ... block 1 flushed"
                            "\rdfu: program device ... block 2 flushed"
                            "\ndfu: cannot read firmware: Input/output error\n");
    // The device is not left in program mode.
    EXPECT_EQ(device->transfer_mode(), DFU_MODE_IDLE);

    // The same stream met in the verify pass.
    EXPECT_EQ(dfu_device.verify(), -1);
    EXPECT_EQ(output(), "\rdfu: verifying device ... block 1 sent"
                        "\rdfu: verifying device ... block 2 sent"
                        "\ndfu: cannot read firmware: Input/output error\n");
}

}  // namespace
