// Command and status stages of the Bulk-Only Transport, as they appear on the
// wire: wrapper bytes, tags, the stall rule, status checks and REQUEST SENSE.

#include <gmock/gmock.h>
#include <libusb.h>

#include "msc/bulk_only.h"
#include "scenario.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t OUT = 0x01;
constexpr uint8_t IN = 0x81;

class BulkOnly : public DeviceTest {
protected:
    // A handle on the bootloader, straight from libusb, with nothing sent yet.
    libusb_device_handle* connect(sim::Bootloader::Options options = {})
    {
        bootloader = add_bootloader(std::move(options));
        libusb_init(nullptr);
        libusb_device** list = nullptr;
        libusb_get_device_list(nullptr, &list);
        libusb_device_handle* handle = nullptr;
        libusb_open(list[0], &handle);
        fakeusb::clear_calls();
        return handle;
    }

    // INQUIRY up to its status stage; returns the tag.
    uint32_t inquiry(libusb_device_handle* handle)
    {
        uint32_t tag = 0;
        EXPECT_EQ(send_mass_storage_command(handle, OUT, 0, INQUIRY_CDB, 0x80, 36, &tag), 0);
        uint8_t data[36];
        int received = 0;
        EXPECT_EQ(libusb_bulk_transfer(handle, IN, data, 36, &received, 0), 0);
        return tag;
    }

    static constexpr uint8_t INQUIRY_CDB[16] = {0x12, 0, 0, 0, 36};
    std::shared_ptr<sim::Bootloader> bootloader;
};

TEST_F(BulkOnly, InquiryWrapperOnTheWire)
{
    libusb_device_handle* handle = connect();
    uint32_t tag = 0;
    ASSERT_EQ(send_mass_storage_command(handle, OUT, 0, INQUIRY_CDB, 0x80, 36, &tag), 0);
    EXPECT_EQ(tag, 1u);
    const auto traffic = fakeusb::traffic();
    ASSERT_EQ(traffic.size(), 1u);
    EXPECT_EQ(traffic[0].endpoint, OUT);
    EXPECT_EQ(traffic[0].timeout, 0u);
    EXPECT_THAT(
        traffic[0].data,
        ElementsAreArray(Bytes{0x55, 0x53, 0x42, 0x43, 0x01, 0x00, 0x00, 0x00, 0x24, 0x00, 0x00,
                               0x00, 0x80, 0x00, 0x06, 0x12, 0x00, 0x00, 0x00, 0x24, 0x00, 0x00,
                               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(output(), "");
}

TEST_F(BulkOnly, VendorCommandSays31ButCarries16CommandBytes)
{
    libusb_device_handle* handle = connect();
    uint8_t cdb[31];
    for (int i = 0; i < 31; ++i)
        cdb[i] = static_cast<uint8_t>(i == 0 ? 0xC0 : 0xA0 + i);
    uint32_t tag = 0;
    ASSERT_EQ(send_mass_storage_command(handle, OUT, 0, cdb, 0x00, 31, &tag), 0);
    const Bytes wire = fakeusb::traffic().at(0).data;
    ASSERT_EQ(wire.size(), 31u);
    EXPECT_EQ(wire[14], 0x1F);
    EXPECT_THAT(Bytes(wire.begin() + 15, wire.end()), ElementsAreArray(cdb, 16));
}

TEST_F(BulkOnly, TagsCountOnAfterFailedTransfersButNotAfterRefusals)
{
    libusb_device_handle* handle = connect();
    cbw_tag = 0xFFFFFFFF;
    uint32_t tag = 0;
    fakeusb::fail("libusb_bulk_transfer", LIBUSB_ERROR_IO, 1);
    EXPECT_EQ(send_mass_storage_command(handle, OUT, 0, INQUIRY_CDB, 0x80, 36, &tag), -1);
    EXPECT_EQ(tag, 0xFFFFFFFFu);
    EXPECT_EQ(output(), "   send_mass_storage_command: Input/Output Error\n");

    struct Refusal {
        uint8_t endpoint;
        uint8_t opcode;
        const char* message;
    };
    const Refusal refusals[] = {
        {IN, 0x12, "send_mass_storage_command: cannot send command on IN endpoint\n"},
        {OUT, 0x60,
         "send_mass_storage_command: don't know how to handle this command (60, length 0)\n"},
        {OUT, 0x7F,
         "send_mass_storage_command: don't know how to handle this command (7F, length 0)\n"},
        {OUT, 0xD0,
         "send_mass_storage_command: don't know how to handle this command (D0, length 0)\n"},
        {OUT, 0xFF,
         "send_mass_storage_command: don't know how to handle this command (FF, length 0)\n"},
    };
    for (const Refusal& r : refusals) {
        uint8_t cdb[16] = {r.opcode};
        tag = 42;
        EXPECT_EQ(send_mass_storage_command(handle, r.endpoint, 0, cdb, 0x80, 0, &tag), -1);
        EXPECT_EQ(output(), r.message);
        EXPECT_EQ(tag, 42u);
    }
    EXPECT_EQ(send_mass_storage_command(handle, OUT, 0, nullptr, 0x80, 0, &tag), -1);
    EXPECT_EQ(output(), "");

    // The counter wrapped past 0xFFFFFFFF to 0 and nothing else took a tag.
    ASSERT_EQ(send_mass_storage_command(handle, OUT, 0, INQUIRY_CDB, 0x80, 36, &tag), 0);
    EXPECT_EQ(tag, 0u);
    EXPECT_EQ(fakeusb::count("libusb_bulk_transfer"), 2);
}

TEST_F(BulkOnly, CommandBlockLengthsFollowTheScsiGroups)
{
    const std::pair<int, int> expected[] = {
        {0x00, 6},  {0x03, 6},  {0x12, 6},  {0x1F, 6}, {0x20, 10}, {0x25, 10}, {0x28, 10},
        {0x2A, 10}, {0x5F, 10}, {0x60, 0},  {0x7F, 0}, {0x80, 16}, {0x9F, 16}, {0xA0, 12},
        {0xBF, 12}, {0xC0, 31}, {0xCF, 31}, {0xD0, 0}, {0xFF, 0}};
    for (const auto& [opcode, length] : expected)
        EXPECT_EQ(cdb_length[opcode], length) << std::hex << opcode;
}

TEST_F(BulkOnly, StalledWrapperIsClearedAndRetriedFiveTimesAtMost)
{
    // Five stalls: five transfers, each followed by a clearing, then failure.
    sim::Bootloader::Options stall_always;
    for (int n = 1; n <= 5; ++n)
        stall_always.faults.transfers.push_back({OUT, n, sim::Outcome::stall});
    libusb_device_handle* handle = connect(stall_always);
    uint32_t tag = 0;
    EXPECT_EQ(send_mass_storage_command(handle, OUT, 0, INQUIRY_CDB, 0x80, 36, &tag), -1);
    EXPECT_EQ(output(), "   send_mass_storage_command: Pipe error\n");
    std::vector<std::string> sequence;
    for (const fakeusb::Call& call : fakeusb::traffic()) {
        EXPECT_EQ(call.endpoint, OUT);
        sequence.push_back(call.function == "libusb_clear_halt" ? "clear" : "transfer");
    }
    EXPECT_THAT(sequence, ElementsAre("transfer", "clear", "transfer", "clear", "transfer", "clear",
                                      "transfer", "clear", "transfer", "clear"));
}

TEST_F(BulkOnly, OneStallThenSuccess)
{
    sim::Bootloader::Options options;
    options.faults.transfers = {{OUT, 1, sim::Outcome::stall}, {IN, 2, sim::Outcome::stall}};
    libusb_device_handle* handle = connect(options);
    const uint32_t tag = inquiry(handle);
    EXPECT_EQ(get_mass_storage_status(handle, IN, tag, 1), 0);
    EXPECT_EQ(output(), "   Mass Storage Status: 00 (Success)\n");
    EXPECT_EQ(fakeusb::count("libusb_clear_halt"), 2);
    EXPECT_EQ(fakeusb::calls().at(1).endpoint, OUT);  // the OUT stall's clearing
}

TEST_F(BulkOnly, StatusChecksInOrder)
{
    struct Case {
        const char* name;
        sim::Faults faults;
        int result;
        const char* verbose_output;
    };
    sim::Faults short_reply;
    short_reply.short_status = 12;
    sim::Faults wrong_tag;
    wrong_tag.wrong_tag = true;
    sim::Faults bad_signature;
    bad_signature.bad_status_signature = true;
    sim::Faults failed;
    failed.scsi_status[0x12] = 1;
    sim::Faults phase_error;
    phase_error.scsi_status[0x12] = 2;
    sim::Faults broken;
    broken.transfers = {{IN, 2, sim::Outcome::io_error}};
    const Case cases[] = {
        {"short reply", short_reply, -1,
         "   get_mass_storage_status: received 12 bytes (expected 13)\n"},
        {"wrong tag", wrong_tag, -1,
         "   get_mass_storage_status: mismatched tags (expected 00000001, received 00000002)\n"},
        {"signature not looked at", bad_signature, 0, "   Mass Storage Status: 00 (Success)\n"},
        {"command failed", failed, -2, "   Mass Storage Status: 01 (FAILED)\n"},
        {"phase error", phase_error, -1, "   Mass Storage Status: 02 (FAILED)\n"},
        {"transfer error", broken, -1, "   get_mass_storage_status: Input/Output Error\n"},
    };
    for (const Case& c : cases) {
        for (const int verbose : {0, 1}) {
            SCOPED_TRACE(std::string(c.name) + (verbose ? " verbose" : ""));
            start_over();
            sim::Bootloader::Options options;
            options.faults = c.faults;
            libusb_device_handle* handle = connect(options);
            const uint32_t tag = inquiry(handle);
            EXPECT_EQ(get_mass_storage_status(handle, IN, tag, verbose), c.result);
            EXPECT_EQ(output(), verbose ? c.verbose_output : "");
            const auto traffic = fakeusb::traffic();
            EXPECT_EQ(traffic.back().length, 13);
            EXPECT_EQ(traffic.back().endpoint, IN);
        }
    }
}

TEST_F(BulkOnly, RequestSenseReportsKeyAndCodes)
{
    struct Case {
        const char* name;
        Bytes sense;
        const char* verbose_output;
    };
    Bytes medium = {0x70, 0x00, 0x25, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00, 0, 0, 0, 0};
    Bytes deferred = medium;
    deferred[0] = 0x71;
    Bytes no_sense = medium;
    no_sense[0] = 0xF0;  // valid bit set: not a response code this host knows
    const Case cases[] = {
        {"current error", medium,
         "Request Sense:\n   received 18 bytes\n   ERROR Sense: 05 24 00\n"},
        {"deferred error", deferred,
         "Request Sense:\n   received 18 bytes\n   ERROR Sense: 05 24 00\n"},
        {"no sense data", no_sense,
         "Request Sense:\n   received 18 bytes\n   ERROR No sense data\n"},
    };
    for (const Case& c : cases) {
        for (const int verbose : {0, 1}) {
            SCOPED_TRACE(std::string(c.name) + (verbose ? " verbose" : ""));
            start_over();
            sim::Bootloader::Options options;
            options.faults.sense_data = c.sense;
            libusb_device_handle* handle = connect(options);
            request_sense(handle, IN, OUT, verbose);
            EXPECT_EQ(output(), verbose ? c.verbose_output : "   received 18 bytes\n");
            // Command, 18 bytes of data, then the status of REQUEST SENSE itself.
            const auto traffic = fakeusb::traffic();
            ASSERT_EQ(traffic.size(), 3u);
            EXPECT_EQ(traffic[0].data.at(15), 0x03);
            EXPECT_EQ(traffic[0].data.at(19), 18);
            EXPECT_EQ(traffic[0].data.at(14), 6);
            EXPECT_EQ(traffic[1].length, 18);
            EXPECT_EQ(traffic[2].length, 13);
        }
    }
}

TEST_F(BulkOnly, RequestSenseStopsWhereTheDeviceCannotAnswer)
{
    // A failed sense read: no status read, and only the verbose lines.
    for (const int verbose : {0, 1}) {
        start_over();
        sim::Bootloader::Options broken_read;
        broken_read.faults.transfers = {{IN, 1, sim::Outcome::io_error}};
        libusb_device_handle* handle = connect(broken_read);
        request_sense(handle, IN, OUT, verbose);
        EXPECT_EQ(output(),
                  verbose ? "Request Sense:\nlibusb_bulk_transfer failed: LIBUSB_ERROR_IO\n" : "");
        EXPECT_EQ(fakeusb::traffic().size(), 2u);
    }

    // A wrapper the device never received: no read that would wait for good.
    start_over();
    sim::Bootloader::Options refused;
    for (int n = 1; n <= 5; ++n)
        refused.faults.transfers.push_back({OUT, n, sim::Outcome::stall});
    libusb_device_handle* handle = connect(refused);
    request_sense(handle, IN, OUT, 1);
    EXPECT_EQ(output(), "Request Sense:\n   send_mass_storage_command: Pipe error\n");
    for (const fakeusb::Call& call : fakeusb::traffic())
        EXPECT_EQ(call.endpoint, OUT);
}

}  // namespace
