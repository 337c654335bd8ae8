// Finding, opening and describing the device: the listing, the selection by
// number, interface claiming, string descriptors, the endpoint scan, close
// and the image file.

#include <gmock/gmock.h>
#include <libusb.h>
#include <sys/stat.h>

#include "device/dfu_device.h"
#include "expected_output.h"
#include "scenario.h"

namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const char* const ROOT_HUB_ENTRY =
    "N[0], vendor[0x1d6b], device_id[0x0002],:\n"
    "      bus[1], port[0], address[1], speed[3], packet_size[251]\n\n";

// What open() prints for a root hub and the bootloader, up to the probe.
const std::string OPEN_REPORT =
    std::string("Initialize libusb ... OK!\n"
                "Get device list ... OK! 2 device found\n"
                "Usb device list:\n"
                "N[0], vendor[0x1d6b], device_id[0x0002],:\n"
                "      bus[1], port[0], address[1], speed[3], packet_size[251]\n"
                "\n"
                "N[1], vendor[0x0483], device_id[0x5720],:\n"
                "      bus[1], port[2], address[5], speed[2], packet_size[251]\n"
                "\n"
                "\n"
                "Find device number [0] with vendor[0x0483], device_id[0x5720] ... OK!\n"
                "Device found with number 1\n") +
    BOOTLOADER_OPENED + "Reading Max LUN:\n";

class Discovery : public DeviceTest {
protected:
    void add_root_hub() { bus.devices.push_back(sim::other_device(0x1d6b, 0x0002, 1)); }

    sim::Device& add_bootloader_device(sim::Bootloader::Options options = {})
    {
        add_bootloader(std::move(options));
        return bus.devices.back();
    }
};

TEST_F(Discovery, OpensTheBootloaderAndReportsEveryStep)
{
    add_root_hub();
    add_bootloader();
    EXPECT_EQ(dfu_device.open(), 0);
    EXPECT_THAT(output(), StartsWith(OPEN_REPORT));
    EXPECT_EQ(dfu_device.libusb_ready, 1);
    EXPECT_EQ(dfu_device.is_open, 1);
    EXPECT_EQ(dfu_device.endpoint_in, 0x81);
    EXPECT_EQ(dfu_device.endpoint_out, 0x01);
    EXPECT_EQ(fakeusb::count("libusb_set_auto_detach_kernel_driver"), 1);
}

TEST_F(Discovery, DevicesPresentButNoneMatches)
{
    add_root_hub();
    EXPECT_EQ(dfu_device.open(), 1);
    EXPECT_EQ(output(), std::string("Initialize libusb ... OK!\n"
                                    "Get device list ... OK! 1 device found\n"
                                    "Usb device list:\n") +
                            ROOT_HUB_ENTRY +
                            "\n"
                            "Find device number [0] with vendor[0x0483], device_id[0x5720] ... "
                            "Device not found!\n");
    EXPECT_EQ(dfu_device.libusb_ready, 1);
    EXPECT_EQ(dfu_device.is_open, 0);
}

TEST_F(Discovery, DeviceNumberCountsMatchingEntriesInListOrder)
{
    struct Case {
        int number;
        int result;
        const char* found;
    };
    const Case cases[] = {
        {0, 0, "OK!\nDevice found with number 1\n"},
        {1, 0, "OK!\nDevice found with number 2\n"},
        {2, 1, "Device not found!\n"},
        {-1, 1, "Device not found!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.number);
        start_over();
        add_root_hub();
        add_bootloader();
        add_bootloader();
        bus.devices.back().address = 6;
        EXPECT_EQ(dfu_device.open(c.number), c.result);
        const std::string text = output();
        EXPECT_THAT(text, HasSubstr("Find device number [" + std::to_string(c.number) +
                                    "] with vendor[0x0483], device_id[0x5720] ... " + c.found));
        EXPECT_EQ(dfu_device.device_number, c.number);
        EXPECT_EQ(fakeusb::count("libusb_open"), c.result == 0 ? 1 : 0);
    }
}

TEST_F(Discovery, OpenFailureIsReportedWithLibusbsName)
{
    add_bootloader();
    fakeusb::fail("libusb_open", LIBUSB_ERROR_ACCESS);
    EXPECT_EQ(dfu_device.open(), LIBUSB_ERROR_ACCESS);
    EXPECT_THAT(output(), EndsWith("Open device ... Error LIBUSB_ERROR_ACCESS\n"));
    EXPECT_EQ(dfu_device.libusb_ready, 1);
    EXPECT_EQ(dfu_device.is_open, 0);
    EXPECT_NE(dfu_device.usb_device, nullptr);
}

TEST_F(Discovery, MissingConfigurationDescriptorFailsOpenInsteadOfBeingRead)
{
    add_bootloader_device().has_configuration = false;
    EXPECT_EQ(dfu_device.open(), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_THAT(output(), EndsWith("Open device ... OK!\n"
                                   "\n"
                                   "Reading first configuration descriptor:\n"
                                   "Error LIBUSB_ERROR_NOT_FOUND\n"));
    EXPECT_EQ(dfu_device.is_open, 1);
    EXPECT_EQ(fakeusb::count("libusb_claim_interface"), 0);
}

TEST_F(Discovery, UnreadableDeviceDescriptorIsListedAsZerosAndNeverSelected)
{
    add_bootloader();
    fakeusb::fail("libusb_get_device_descriptor", LIBUSB_ERROR_IO);
    EXPECT_EQ(dfu_device.open(), 1);
    EXPECT_THAT(output(), HasSubstr("N[0], vendor[000000], device_id[000000],:\n"));
}

TEST_F(Discovery, FailedClaimIsReportedAndTheNextInterfaceStillClaimed)
{
    sim::Device& device = add_bootloader_device();
    device.interfaces.push_back(device.interfaces.front());
    fakeusb::fail("libusb_claim_interface", LIBUSB_ERROR_BUSY, 1);
    EXPECT_EQ(dfu_device.open(), 0);
    EXPECT_THAT(output(), HasSubstr("             nb interfaces: 2\n"
                                    "\n"
                                    "Claiming interface 0...\n"
                                    "   Failed with error LIBUSB_ERROR_BUSY\n"
                                    "\n"
                                    "Claiming interface 1...\n"
                                    "\n"
                                    "Reading string descriptors:\n"));
    EXPECT_EQ(fakeusb::count("libusb_claim_interface"), 2);
}

TEST_F(Discovery, StringIndexZeroIsSkippedAndTheMicrosoftIndexAlwaysAsked)
{
    sim::Device& device = add_bootloader_device();
    device.manufacturer_index = 0;
    device.product_index = 0;
    device.serial_index = 0;
    device.strings = {{0xEE, "MSFT100!"}};
    EXPECT_EQ(dfu_device.open(), 0);
    EXPECT_THAT(output(), HasSubstr("\nReading string descriptors:\n"
                                    "   String (0xEE): \"MSFT100!\"\n"
                                    "Interface [0]:\n"));
    std::vector<int> asked;
    for (const fakeusb::Call& call : fakeusb::calls())
        if (call.function == "libusb_get_string_descriptor_ascii") {
            asked.push_back(call.endpoint);
            EXPECT_EQ(call.length, 128);
        }
    EXPECT_THAT(asked, ElementsAre(0xEE));
}

TEST_F(Discovery, UnreadableStringsPrintNothing)
{
    sim::Device& device = add_bootloader_device();
    device.strings.erase(2);
    EXPECT_EQ(dfu_device.open(), 0);
    EXPECT_THAT(output(), HasSubstr("\nReading string descriptors:\n"
                                    "   String (0x01): \"STMicroelectronics\"\n"
                                    "   String (0x03): \"0123456789AB\"\n"
                                    "Interface [0]:\n"));
}

TEST_F(Discovery, EndpointScanTakesTheFirstNonControlOutEndpoint)
{
    using sim::Endpoint;
    struct Case {
        const char* name;
        std::vector<std::vector<Endpoint>> settings;  // of interface 0
        uint8_t endpoint_out;
    };
    const Case cases[] = {
        {"IN 0x82 before OUT 0x01",
         {{{0x82, sim::TRANSFER_BULK, 64, 0}, {0x01, sim::TRANSFER_BULK, 64, 0}}},
         0x01},
        {"control endpoint skipped",
         {{{0x03, sim::TRANSFER_CONTROL, 8, 0}, {0x02, sim::TRANSFER_BULK, 64, 0}}},
         0x02},
        {"interrupt OUT counts",
         {{{0x81, sim::TRANSFER_BULK, 64, 0}, {0x04, sim::TRANSFER_INTERRUPT, 8, 10}}},
         0x04},
        {"isochronous OUT counts", {{{0x05, sim::TRANSFER_ISOCHRONOUS, 192, 1}}}, 0x05},
        {"second alternate setting",
         {{{0x81, sim::TRANSFER_BULK, 64, 0}}, {{0x06, sim::TRANSFER_BULK, 64, 0}}},
         0x06},
        {"no OUT endpoint", {{{0x81, sim::TRANSFER_BULK, 64, 0}}}, 0x00},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start_over();
        sim::Device& device = add_bootloader_device();
        device.interfaces.front().alt_settings.clear();
        for (const auto& endpoints : c.settings) {
            sim::AltSetting setting;
            setting.endpoints = endpoints;
            device.interfaces.front().alt_settings.push_back(setting);
        }
        dfu_device.open();
        const std::string text = output();
        char line[64];
        std::snprintf(line, sizeof line, "Endpoint out is assigned to %02X\n", c.endpoint_out);
        EXPECT_THAT(text, HasSubstr(std::string("Endpoint in is assigned to 81\n") + line));
        EXPECT_EQ(dfu_device.endpoint_in, BULK_IN_ENDPOINT);
        EXPECT_EQ(dfu_device.endpoint_out, c.endpoint_out);
    }
}

TEST_F(Discovery, EndpointLinesShowAddressPacketSizeAndInterval)
{
    sim::Device& device = add_bootloader_device();
    device.interfaces.front().alt_settings.front().endpoints = {
        {0x83, sim::TRANSFER_INTERRUPT, 0x0008, 0x0A}, {0x01, sim::TRANSFER_BULK, 0x0200, 0}};
    dfu_device.open();
    EXPECT_THAT(output(), HasSubstr("Interface [0]:\n"
                                    "  Setting [0]:\n"
                                    "    endpoint[0].address: 83\n"
                                    "      max packet size: 0008\n"
                                    "      polling interval: 0A\n"
                                    "    endpoint[1].address: 01\n"
                                    "      max packet size: 0200\n"
                                    "      polling interval: 00\n"));
}

TEST_F(Discovery, ReopenKeepsTheFirstOutEndpoint)
{
    sim::Device& device = add_bootloader_device();
    ASSERT_EQ(dfu_device.open(), 0);
    dfu_device.close();
    device.interfaces.front().alt_settings.front().endpoints = {{0x81, sim::TRANSFER_BULK, 64, 0},
                                                                {0x02, sim::TRANSFER_BULK, 64, 0}};
    output();
    dfu_device.open();
    const std::string text = output();
    EXPECT_THAT(text, HasSubstr("    endpoint[1].address: 02\n"));
    EXPECT_THAT(text, HasSubstr("Endpoint out is assigned to 01\n"));
    EXPECT_EQ(dfu_device.endpoint_out, 0x01);
}

TEST_F(Discovery, CloseUndoesOnlyWhatItsFlagsShow)
{
    // Before any open, and a second time: nothing to undo.
    EXPECT_EQ(dfu_device.close(), 0);
    EXPECT_EQ(output(), "");
    EXPECT_TRUE(fakeusb::calls().empty());

    // Libusb started but no device: only the context is exited.
    EXPECT_EQ(dfu_device.open(), 2);
    output();
    EXPECT_EQ(dfu_device.close(), 0);
    EXPECT_EQ(output(), "Deinit libusb. \n");
    EXPECT_EQ(dfu_device.libusb_ready, 0);

    add_bootloader();
    ASSERT_EQ(dfu_device.open(), 0);
    output();
    const int exits = fakeusb::count("libusb_exit");
    EXPECT_EQ(dfu_device.close(), 0);
    EXPECT_EQ(output(), "Close device.\nDeinit libusb. \n");
    EXPECT_EQ(dfu_device.close(), 0);
    EXPECT_EQ(output(), "");
    EXPECT_EQ(fakeusb::count("libusb_close"), 1);
    EXPECT_EQ(fakeusb::count("libusb_exit"), exits + 1);
    EXPECT_EQ(dfu_device.endpoint_out, 0x01);
    EXPECT_NE(dfu_device.device_handle, nullptr);
}

TEST_F(Discovery, OpenImageTakesOnlyReadableRegularFiles)
{
    EXPECT_EQ(dfu_device.open_image((workdir / "missing.bin").c_str()), -1);
    EXPECT_EQ(dfu_device.image_file, nullptr);
    EXPECT_EQ(dfu_device.open_image(workdir.c_str()), -1);
    EXPECT_EQ(dfu_device.image_file, nullptr);
    const std::string fifo = (workdir / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(dfu_device.open_image(fifo.c_str()), -1);
    EXPECT_EQ(dfu_device.image_file, nullptr);

    const std::string path = write_image({1, 2, 3});
    EXPECT_EQ(dfu_device.open_image(path.c_str()), 0);
    ASSERT_NE(dfu_device.image_file, nullptr);
    EXPECT_EQ(std::ftell(dfu_device.image_file), 0);
    EXPECT_EQ(std::fgetc(dfu_device.image_file), 1);
    EXPECT_EQ(output(), "");
}

}  // namespace
