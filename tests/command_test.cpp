// The update command as a user runs it: argument handling and the closing
// line and exit status of each way a run can end before the update proper.

#include <gmock/gmock.h>
#include <libusb.h>
#include <sys/stat.h>

#include "device/dfu_device.h"

#include "scenario.h"

namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;

class UpdateCommand : public DeviceTest {};

TEST_F(UpdateCommand, WithoutArgumentPrintsUsageAndTouchesNoUsb)
{
    add_bootloader();
    EXPECT_EQ(run({}), -1);
    EXPECT_EQ(output(), "Usage: update image_filename\n");
    EXPECT_TRUE(fakeusb::calls().empty());
}

TEST_F(UpdateCommand, NoUsbDevicesAtAll)
{
    EXPECT_EQ(run({"x.bin"}), -1);
    EXPECT_EQ(output(), "Initialize libusb ... OK!\n"
                        "Get device list ... Error. Cant discover usb devices! \n"
                        "dfu: cant open usb device\n");
}

TEST_F(UpdateCommand, LibusbThatCannotStart)
{
    fakeusb::fail("libusb_init", LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(run({"x.bin"}), -1);
    EXPECT_EQ(output(), "Initialize libusb ... Failed!\n Cant start libusb with error [-11]!\n"
                        "dfu: cant open usb device\n");
}

TEST_F(UpdateCommand, NoMatchingDeviceNeverLooksAtTheImagePath)
{
    bus.devices.push_back(sim::other_device(0x1d6b, 0x0002, 1));
    // A path that names a FIFO would block an open() that looked at it.
    const std::string fifo = (workdir / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(run({fifo}), -1);
    EXPECT_THAT(output(), EndsWith("Find device number [0] with vendor[0x0483], device_id[0x5720] "
                                   "... Device not found!\n"
                                   "dfu: cant open usb device\n"));
}

TEST_F(UpdateCommand, ImagePathThatIsNotAReadableRegularFile)
{
    const std::string directory = workdir.string();
    const std::string fifo = (workdir / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {(workdir / "missing.bin").string(), directory, fifo}) {
        SCOPED_TRACE(path);
        start_over();
        auto device = add_bootloader();
        EXPECT_EQ(run({path, "ignored", "also ignored"}), -1);
        const std::string text = output();
        // The whole device report comes first, then the closing line.
        EXPECT_THAT(text, HasSubstr("   Max LBA: "));
        EXPECT_THAT(text, EndsWith("\ndfu: cannont open firmware\n"));
        EXPECT_EQ(fakeusb::count("libusb_close"), 0);
        // Refused before any request reached the bootloader.
        EXPECT_TRUE(device->dfu_requests().empty());
    }
}

}  // namespace
