// The start-up probe that ends every open: drain of stale data, INQUIRY and
// READ CAPACITY(10), and how far each failure lets it go.

#include <gmock/gmock.h>
#include <libusb.h>

#include "device/dfu_device.h"
#include "scenario.h"

namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t OUT = 0x01;
constexpr uint8_t IN = 0x81;

const char* const DRAIN_HEAD = "Reading Max LUN:\n"
                               "   Max LUN = 0\n"
                               "Clearing device dma:\n";
const char* const EMPTY_AT_FIRST_TRY =
    "  Try [1] to read 30 Kb b ...   Timed out, buffer is empty, OK! \n";
const char* const INQUIRY_OK = "Sending Inquiry:\n"
                               "MSC command sent ... !\n"
                               "OK!\n";
const char* const CAPACITY_OF_SMALL_FLASH =
    "Reading Capacity:\n"
    "OK!\n"
    "   received 8 bytes\n"
    "   Max LBA: 000003DF, Block Size: 00000200 (0.00 GB)\n";

class Probe : public DeviceTest {
protected:
    // Opens the device with the given behaviour; returns open()'s result
    // and leaves what the probe printed in `printed`.
    int open_with(sim::Bootloader::Options options = {})
    {
        bootloader = add_bootloader(std::move(options));
        const int result = dfu_device.open();
        const std::string text = output();
        const size_t start = text.find("Reading Max LUN:\n");
        printed = start == std::string::npos ? "" : text.substr(start);
        return result;
    }

    // What went over the bulk endpoints, one word a transfer.
    static std::vector<std::string> wire()
    {
        std::vector<std::string> words;
        for (const fakeusb::Call& call : fakeusb::traffic()) {
            if (call.function == "libusb_clear_halt")
                words.push_back("clear");
            else if (call.endpoint == OUT && call.length == 31)
                words.push_back("cbw:" + std::to_string(call.data.at(15)));
            else if (call.endpoint == IN && call.timeout == 1000)
                words.push_back("drain");
            else if (call.endpoint == IN && call.length == 13)
                words.push_back("csw");
            else
                words.push_back("data:" + std::to_string(call.length));
        }
        return words;
    }

    std::shared_ptr<sim::Bootloader> bootloader;
    std::string printed;
};

TEST_F(Probe, IdleDevice)
{
    EXPECT_EQ(open_with(), 0);
    EXPECT_EQ(printed,
              std::string(DRAIN_HEAD) + EMPTY_AT_FIRST_TRY + INQUIRY_OK + CAPACITY_OF_SMALL_FLASH);
    // No control request: the LUN count is never asked for.
    EXPECT_THAT(wire(),
                ElementsAre("drain", "cbw:18", "data:36", "csw", "cbw:37", "data:8", "csw"));
    EXPECT_EQ(fakeusb::traffic().at(0).length, 30720);
}

TEST_F(Probe, StaleDataIsDrainedUntilAReadComesBackEmpty)
{
    sim::Bootloader::Options options;
    options.faults.stale_reads = 2;
    EXPECT_EQ(open_with(options), 0);
    EXPECT_EQ(printed,
              std::string(DRAIN_HEAD) +
                  "  Try [1] to read 30 Kb b ...   Data received, dma buffer is not emty! \n"
                  "  Try [2] to read 30 Kb b ...   Data received, dma buffer is not emty! \n"
                  "  Try [3] to read 30 Kb b ...   Timed out, buffer is empty, OK! \n" +
                  INQUIRY_OK + CAPACITY_OF_SMALL_FLASH);
}

TEST_F(Probe, AnyDrainErrorEndsTheDrain)
{
    // A broken read ends the drain like a time-out and the probe goes on.
    sim::Bootloader::Options broken;
    broken.faults.transfers = {{IN, 1, sim::Outcome::io_error}};
    EXPECT_EQ(open_with(broken), 0);
    EXPECT_EQ(printed,
              std::string(DRAIN_HEAD) + EMPTY_AT_FIRST_TRY + INQUIRY_OK + CAPACITY_OF_SMALL_FLASH);
}

TEST_F(Probe, StalledDrainLeavesTheInEndpointHalted)
{
    // The drain clears no halt, so the INQUIRY data read meets the stall.
    sim::Bootloader::Options stalled;
    stalled.faults.transfers = {{IN, 1, sim::Outcome::stall}};
    EXPECT_EQ(open_with(stalled), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(printed, std::string(DRAIN_HEAD) + EMPTY_AT_FIRST_TRY +
                           "Sending Inquiry:\n"
                           "MSC command sent ... !\n"
                           "Error LIBUSB_ERROR_PIPE\n");
    EXPECT_THAT(wire(), ElementsAre("drain", "cbw:18", "data:36"));
    EXPECT_EQ(dfu_device.is_open, 1);
}

TEST_F(Probe, CapacityFieldsAreUnsignedBigEndianAndCountedIn512ByteBlocks)
{
    struct Case {
        Bytes reply;
        const char* lines;
    };
    const Case cases[] = {
        {{0x00, 0x3F, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00},
         "   received 8 bytes\n   Max LBA: 003FFFFF, Block Size: 00000200 (2.00 GB)\n"},
        {{0x00, 0x3F, 0xFF, 0xFF, 0x00, 0x00, 0x10, 0x00},
         "   received 8 bytes\n   Max LBA: 003FFFFF, Block Size: 00001000 (2.00 GB)\n"},
        {{0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00},
         "   received 8 bytes\n   Max LBA: 80000000, Block Size: 00000200 (1024.00 GB)\n"},
        {{0x00, 0x3F, 0xFF, 0xFF},
         "   received 4 bytes\n   Max LBA: 003FFFFF, Block Size: 00000000 (2.00 GB)\n"},
    };
    for (const Case& c : cases) {
        start_over();
        sim::Bootloader::Options options;
        options.faults.read_capacity = c.reply;
        EXPECT_EQ(open_with(options), 0);
        EXPECT_EQ(printed, std::string(DRAIN_HEAD) + EMPTY_AT_FIRST_TRY + INQUIRY_OK +
                               "Reading Capacity:\nOK!\n" + c.lines);
    }
}

TEST_F(Probe, FailedInquiryStatusAsksForSenseAndGoesOn)
{
    sim::Bootloader::Options options;
    options.faults.scsi_status[0x12] = 1;
    EXPECT_EQ(open_with(options), 0);
    EXPECT_EQ(printed, std::string(DRAIN_HEAD) + EMPTY_AT_FIRST_TRY + INQUIRY_OK +
                           "   received 18 bytes\n" + CAPACITY_OF_SMALL_FLASH);
    EXPECT_THAT(wire(), ElementsAre("drain", "cbw:18", "data:36", "csw", "cbw:3", "data:18", "csw",
                                    "cbw:37", "data:8", "csw"));
}

TEST_F(Probe, BadStatusRepliesAreNotFailures)
{
    sim::Bootloader::Options options;
    options.faults.wrong_tag = true;
    EXPECT_EQ(open_with(options), 0);
    EXPECT_EQ(printed,
              std::string(DRAIN_HEAD) + EMPTY_AT_FIRST_TRY + INQUIRY_OK + CAPACITY_OF_SMALL_FLASH);
}

TEST_F(Probe, UnsentInquiryEndsTheProbe)
{
    // The drain read is transfer 1; the INQUIRY wrapper is transfer 2.
    fakeusb::fail("libusb_bulk_transfer", LIBUSB_ERROR_IO, 2);
    EXPECT_EQ(open_with(), -1);
    EXPECT_EQ(printed, std::string(DRAIN_HEAD) + EMPTY_AT_FIRST_TRY +
                           "Sending Inquiry:\n"
                           "   send_mass_storage_command: Input/Output Error\n"
                           "Error [-1]\n");
    EXPECT_THAT(wire(), ElementsAre("drain", "cbw:18"));
}

TEST_F(Probe, UnsentReadCapacityEndsTheProbeInsteadOfWaitingForData)
{
    fakeusb::fail("libusb_bulk_transfer", LIBUSB_ERROR_IO, 5);
    EXPECT_EQ(open_with(), -1);
    EXPECT_EQ(printed, std::string(DRAIN_HEAD) + EMPTY_AT_FIRST_TRY + INQUIRY_OK +
                           "Reading Capacity:\n"
                           "   send_mass_storage_command: Input/Output Error\n");
    EXPECT_THAT(wire(), ElementsAre("drain", "cbw:18", "data:36", "csw", "cbw:37"));
}

TEST_F(Probe, FailedDataReadsEndTheProbeWithTheirLibusbCode)
{
    struct Case {
        int nth_in;  // IN transfer to break: 2 is INQUIRY data, 4 READ CAPACITY data
        const char* tail;
    };
    const Case cases[] = {
        {2, "Sending Inquiry:\nMSC command sent ... !\nError LIBUSB_ERROR_NO_DEVICE\n"},
        {4, "Sending Inquiry:\nMSC command sent ... !\nOK!\nReading Capacity:\nError "
            "LIBUSB_ERROR_NO_DEVICE\n"},
    };
    for (const Case& c : cases) {
        start_over();
        sim::Bootloader::Options options;
        options.faults.transfers = {{IN, c.nth_in, sim::Outcome::disconnected}};
        EXPECT_EQ(open_with(options), LIBUSB_ERROR_NO_DEVICE);
        EXPECT_EQ(printed, std::string(DRAIN_HEAD) + EMPTY_AT_FIRST_TRY + c.tail);
    }
}

}  // namespace
