// READ(10)/WRITE(10) of 512-byte blocks and the 0xC0 vendor exchange that
// carries DFU requests, against the simulated unit.

#include <gmock/gmock.h>
#include <libusb.h>

#include "device/dfu_device.h"
#include "dfu/dfu_protocol.h"
#include "msc/vendor_exchange.h"
#include "scenario.h"

namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t OUT = 0x01;
constexpr uint8_t IN = 0x81;

class Transfers : public DeviceTest {
protected:
    // The device open and probed, the DFU transport installed, nothing recorded.
    void connect(sim::Bootloader::Options options = {})
    {
        bootloader = add_bootloader(std::move(options));
        ASSERT_EQ(dfu_device.open(), 0);
        dfu_set_transport(usb_transport);
        fakeusb::clear_calls();
        output();
    }

    // One word per transfer: "cbw:<opcode>@<lba>", "data:<length>", "csw", "clear".
    static std::vector<std::string> wire()
    {
        std::vector<std::string> words;
        for (const fakeusb::Call& call : fakeusb::traffic()) {
            if (call.function == "libusb_clear_halt") {
                words.push_back("clear");
            } else if (call.endpoint == OUT && call.length == 31) {
                const Bytes& cbw = call.data;
                std::string word = "cbw:" + std::to_string(cbw.at(15));
                if (cbw.at(15) == 0x28 || cbw.at(15) == 0x2A)
                    word += "@" + std::to_string((cbw[17] << 24) | (cbw[18] << 16) |
                                                 (cbw[19] << 8) | cbw[20]);
                words.push_back(word);
            } else if (call.length == 13) {
                words.push_back("csw");
            } else {
                words.push_back("data:" + std::to_string(call.length));
            }
        }
        return words;
    }

    std::shared_ptr<sim::Bootloader> bootloader;
};

TEST_F(Transfers, ReadsOneCommandPerBlockIntoConsecutiveBufferSlices)
{
    connect();
    Bytes buffer(3 * 512, 0);
    EXPECT_EQ(dfu_device.read_blocks(buffer.data(), 10, 3), 0);
    EXPECT_THAT(wire(), ElementsAre("cbw:40@10", "data:512", "csw", "cbw:40@11", "data:512", "csw",
                                    "cbw:40@12", "data:512", "csw"));
    const Bytes& flash = bootloader->flash();
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), flash.begin() + 10 * 512));
    for (const fakeusb::Call& call : fakeusb::traffic()) {
        if (call.length != 31)
            continue;
        const Bytes& cbw = call.data;
        EXPECT_EQ(cbw[12], 0x80);                // device to host
        EXPECT_EQ(cbw[8] | (cbw[9] << 8), 512);  // dCBWDataTransferLength
        EXPECT_EQ(cbw[14], 10);                  // READ(10) block length
        EXPECT_THAT(Bytes(cbw.begin() + 21, cbw.begin() + 25), ElementsAre(0, 0, 1, 0));
    }
    EXPECT_EQ(output(), "");
}

TEST_F(Transfers, WritesTakeConsecutiveDataSlices)
{
    connect();
    ASSERT_EQ(dfu_clear_sector(1), 0);
    ASSERT_EQ(dfu_set_mode(DFU_MODE_PROGRAM), 0);
    fakeusb::clear_calls();
    const Bytes data = image_bytes(3 * 512);
    EXPECT_EQ(dfu_device.write_blocks(data.data(), 10, 3), 0);
    EXPECT_THAT(wire(), ElementsAre("cbw:42@10", "data:512", "csw", "cbw:42@11", "data:512", "csw",
                                    "cbw:42@12", "data:512", "csw"));
    const auto traffic = fakeusb::traffic();
    EXPECT_EQ(traffic[0].data[12], 0x00);  // host to device
    EXPECT_EQ(traffic[1].endpoint, OUT);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), bootloader->flash().begin() + 10 * 512));
}

TEST_F(Transfers, BlockAddressIsBigEndian)
{
    connect();
    Bytes buffer(512);
    dfu_device.read_blocks(buffer.data(), 0x01020304, 1);
    const Bytes cbw = fakeusb::traffic().at(0).data;
    EXPECT_THAT(Bytes(cbw.begin() + 15, cbw.begin() + 25),
                ElementsAre(0x28, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x01, 0x00));
}

TEST_F(Transfers, CountOfZeroOrLessSendsNothing)
{
    connect();
    Bytes buffer(512);
    EXPECT_EQ(dfu_device.read_blocks(buffer.data(), 0, 0), 0);
    EXPECT_EQ(dfu_device.write_blocks(buffer.data(), 0, -1), 0);
    EXPECT_TRUE(fakeusb::calls().empty());
}

TEST_F(Transfers, FailedDataPhaseStillReadsItsStatusAndStopsTheRest)
{
    sim::Bootloader::Options options;
    options.faults.fail_write_data = 2;
    connect(options);
    const Bytes data = image_bytes(3 * 512);
    EXPECT_EQ(dfu_device.write_blocks(data.data(), 0, 3), LIBUSB_ERROR_IO);
    // The unit reports the broken block as a failed command: sense follows.
    EXPECT_THAT(wire(), ElementsAre("cbw:42@0", "data:512", "csw", "cbw:42@1", "data:512", "csw",
                                    "cbw:3", "data:18", "csw"));
    EXPECT_EQ(output(), "   received 18 bytes\n");
}

TEST_F(Transfers, FailedCommandStatusAsksForSenseButDoesNotFail)
{
    sim::Bootloader::Options options;
    options.faults.scsi_status[0x28] = 1;
    connect(options);
    Bytes buffer(2 * 512);
    EXPECT_EQ(dfu_device.read_blocks(buffer.data(), 0, 2), 0);
    EXPECT_THAT(wire(), ElementsAre("cbw:40@0", "data:512", "csw", "cbw:3", "data:18", "csw",
                                    "cbw:40@1", "data:512", "csw", "cbw:3", "data:18", "csw"));
    EXPECT_EQ(output(), "   received 18 bytes\n   received 18 bytes\n");
}

TEST_F(Transfers, UnsentWrapperEndsTheOperationBeforeAnyDataPhase)
{
    sim::Bootloader::Options options;
    // The probe used OUT transfers 1 and 2; the next wrapper stalls for good.
    for (int n = 3; n <= 7; ++n)
        options.faults.transfers.push_back({OUT, n, sim::Outcome::stall});
    connect(options);
    Bytes buffer(512);
    EXPECT_EQ(dfu_device.read_blocks(buffer.data(), 0, 1), -1);
    EXPECT_EQ(output(), "   send_mass_storage_command: Pipe error\n");
    for (const fakeusb::Call& call : fakeusb::traffic())
        EXPECT_EQ(call.endpoint, OUT);
}

TEST_F(Transfers, VendorExchangeCarriesTheRequestBehind0xC0)
{
    connect();
    DfuInfo info{};
    ASSERT_EQ(dfu_get_info(&info), 0);
    EXPECT_THAT(wire(), ElementsAre("cbw:192", "data:31", "csw"));
    const auto traffic = fakeusb::traffic();
    const Bytes& cbw = traffic[0].data;
    EXPECT_EQ(cbw[8], 31);     // dCBWDataTransferLength 31 ...
    EXPECT_EQ(cbw[12], 0x00);  // ... announced host to device
    EXPECT_EQ(cbw[14], 0x1F);
    EXPECT_THAT(Bytes(cbw.begin() + 15, cbw.end()),
                ElementsAre(0xC0, 0x11, 0x60, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0));
    EXPECT_EQ(traffic[1].endpoint, IN);
    EXPECT_EQ(info.flags, IS_DFU_MODE);
    EXPECT_EQ(info.dfu_version, 0x0101);
}

TEST_F(Transfers, VendorExchangeWithoutResponseStillReadsTheStatus)
{
    connect();
    const uint8_t request[] = {0x11, 0x03, 0x00};
    EXPECT_EQ(dfu_device.vendor_exchange(request, 3, nullptr, 0), 0);
    EXPECT_THAT(wire(), ElementsAre("cbw:192", "csw"));
    EXPECT_EQ(fakeusb::traffic()[0].data[8], 31);
}

TEST_F(Transfers, ShortResponseIsReportedAndAccepted)
{
    sim::Bootloader::Options options;
    options.faults.dfu_response_length = 20;
    connect(options);
    const uint8_t request[] = {0x11, 0x60};
    uint8_t response[32] = {};
    EXPECT_EQ(dfu_device.vendor_exchange(request, 2, response, 31), 0);
    EXPECT_EQ(output(),
              "USB Error: Length of response received 20 for specific command is not equal "
              "to required one 31.\n");
    EXPECT_THAT(wire(), ElementsAre("cbw:192", "data:31", "csw"));
}

TEST_F(Transfers, FailedResponseReadSkipsTheStatusAndPassesItsCodeThrough)
{
    for (const auto& [outcome, code, name] :
         {std::tuple{sim::Outcome::io_error, LIBUSB_ERROR_IO, "LIBUSB_ERROR_IO"},
          std::tuple{sim::Outcome::disconnected, LIBUSB_ERROR_NO_DEVICE, "LIBUSB_ERROR_NO_DEVICE"},
          std::tuple{sim::Outcome::stall, LIBUSB_ERROR_PIPE, "LIBUSB_ERROR_PIPE"}}) {
        SCOPED_TRACE(name);
        start_over();
        sim::Bootloader::Options options;
        // The probe read IN four times after its drain: the fifth is the answer.
        options.faults.transfers = {{IN, 6, outcome}};
        connect(options);
        const uint8_t request[] = {0x11, 0x60};
        uint8_t response[32] = {};
        EXPECT_EQ(usb_transport(request, 2, response, 31), code);
        EXPECT_EQ(output(), std::string("USB Error: Can't receive required response for specific "
                                        "command. Error ") +
                                name + "\n");
        EXPECT_THAT(wire(), ElementsAre("cbw:192", "data:31"));
    }
}

TEST_F(Transfers, OverlongRequestIsRefusedUnsent)
{
    connect();
    uint8_t request[31] = {0x11, 0x60};
    uint8_t response[32] = {};
    EXPECT_NE(dfu_device.vendor_exchange(request, 31, response, 31), 0);
    EXPECT_TRUE(fakeusb::calls().empty());
    EXPECT_EQ(dfu_device.vendor_exchange(request, 30, response, 31), 0);
}

TEST_F(Transfers, NothingTouchesAClosedDevice)
{
    connect();
    dfu_device.close();
    output();
    fakeusb::clear_calls();
    DfuInfo info{};
    EXPECT_EQ(dfu_get_info(&info), -1);
    EXPECT_EQ(dfu_clear_sector(1), -1);
    EXPECT_EQ(dfu_set_mode(DFU_MODE_IDLE), -1);
    EXPECT_EQ(dfu_reset_to_dfu_mode(), -1);
    EXPECT_EQ(dfu_leave_dfu_mode(), -1);
    Bytes buffer(512);
    EXPECT_NE(dfu_device.read_blocks(buffer.data(), 0, 1), 0);
    EXPECT_NE(dfu_device.write_blocks(buffer.data(), 0, 1), 0);
    // The double records any use of the released handle or context as a
    // violation; the fixture checks there is none.
    EXPECT_TRUE(fakeusb::calls().empty());
    EXPECT_EQ(output(), "");
}

}  // namespace
