// Whole runs of `update image.bin` with a bad image or a misbehaving device:
// each must close with its own clear last line and exit status 255, touch no
// flash before the image is known to be readable, and never tell the device
// to leave its bootloader for a firmware that did not get in.

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>

#include "dfu/dfu_protocol.h"
#include "scenario.h"

namespace {

using ::testing::EndsWith;
using ::testing::IsEmpty;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t IN = 0x81;
constexpr uint8_t OUT = 0x01;

// How the stream open_image gets will misbehave.
struct StreamPlan {
    bool armed = false;
    int failing_pass = 0;  // 1 programming, 2 verification: EIO after good_bytes
    size_t good_bytes = 0;
    std::string rewrite_path;  // rewritten with rewrite_bytes before the second pass
    Bytes rewrite_bytes;
};

StreamPlan stream_plan;

struct PlannedStream {
    FILE* real = nullptr;
    StreamPlan plan;
    int pass = 0;
    size_t position = 0;
};

FILE* real_fdopen(int fd, const char* mode)
{
    using Fdopen = FILE* (*)(int, const char*);
    static const auto next = reinterpret_cast<Fdopen>(::dlsym(RTLD_NEXT, "fdopen"));
    return next(fd, mode);
}

FILE* planned_stream(FILE* real)
{
    cookie_io_functions_t io{};
    io.read = [](void* cookie, char* buffer, size_t size) -> ssize_t {
        auto* s = static_cast<PlannedStream*>(cookie);
        if (s->pass == s->plan.failing_pass) {
            if (s->position >= s->plan.good_bytes) {
                errno = EIO;
                return -1;
            }
            size = std::min(size, s->plan.good_bytes - s->position);
        }
        const size_t n = std::fread(buffer, 1, size, s->real);
        s->position += n;
        return std::ferror(s->real) ? -1 : static_cast<ssize_t>(n);
    };
    // Each pass begins with a rewind to the start of the image.
    io.seek = [](void* cookie, off64_t* offset, int whence) -> int {
        auto* s = static_cast<PlannedStream*>(cookie);
        if (whence == SEEK_SET && *offset == 0) {
            ++s->pass;
            if (s->pass == 2 && !s->plan.rewrite_path.empty()) {
                std::ofstream(s->plan.rewrite_path, std::ios::binary | std::ios::trunc)
                    .write(reinterpret_cast<const char*>(s->plan.rewrite_bytes.data()),
                           static_cast<std::streamsize>(s->plan.rewrite_bytes.size()));
            }
        }
        if (std::fseek(s->real, static_cast<long>(*offset), whence) != 0)
            return -1;
        *offset = std::ftell(s->real);
        s->position = static_cast<size_t>(*offset);
        return 0;
    };
    io.close = [](void* cookie) -> int {
        auto* s = static_cast<PlannedStream*>(cookie);
        const int result = std::fclose(s->real);
        delete s;
        return result;
    };
    auto* state = new PlannedStream{real, stream_plan};
    FILE* stream = fopencookie(state, "rb", io);
    if (stream == nullptr) {
        std::fclose(real);
        delete state;
    }
    return stream;
}

}  // namespace

// open_image wraps the image's descriptor in a stream with fdopen(); this
// stand-in hands it a stream that fails or changes as the test planned, the
// way a failing disk or another program writing the file would.
extern "C" FILE* fdopen(int fd, const char* mode)
{
    FILE* real = real_fdopen(fd, mode);
    if (real == nullptr || !stream_plan.armed)
        return real;
    return planned_stream(real);
}

namespace {

const Bytes IMAGE = image_bytes(3 * 512 + 100);

// The device's own firmware before the run, as the simulated bootloader seeds it.
Bytes flash_of_new_device()
{
    return sim::Bootloader().flash();
}

class BadInput : public DeviceTest {
public:
    // The scenes of the table below reach these through the fixture.
    using DeviceTest::workdir;
    using DeviceTest::write_image;

protected:
    void TearDown() override
    {
        stream_plan = StreamPlan{};
        DeviceTest::TearDown();
    }
};

struct Row {
    const char* name;
    // Sets the scene; returns the path to give the updater.
    std::function<std::string(BadInput&, sim::Bootloader::Options&, StreamPlan&)> scene;
    const char* closing;  // the end of the transcript
    bool flash_untouched;
};

std::vector<sim::TransferFault> every_transfer(uint8_t endpoint, sim::Outcome outcome)
{
    std::vector<sim::TransferFault> faults;
    for (int n = 1; n <= 400; ++n)
        faults.push_back({endpoint, n, outcome});
    return faults;
}

TEST_F(BadInput, EveryRowClosesClearlyWithStatus255)
{
    auto image = [](BadInput& t, sim::Bootloader::Options&, StreamPlan&) {
        return t.write_image(IMAGE);
    };
    const Row rows[] = {
        {"image missing",
         [](BadInput& t, auto&, auto&) { return (t.workdir / "missing.bin").string(); },
         "dfu: cannont open firmware\n", true},
        {"image is a directory", [](BadInput& t, auto&, auto&) { return t.workdir.string(); },
         "dfu: cannont open firmware\n", true},
        {"image is a FIFO with no writer",
         [](BadInput& t, auto&, auto&) {
             const std::string path = (t.workdir / "fifo").string();
             EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
             return path;
         },
         "dfu: cannont open firmware\n", true},
        {"read error in the middle of the image",
         [](BadInput& t, auto&, StreamPlan& plan) {
             plan = {true, 1, 1000};
             return t.write_image(IMAGE);
         },
         "\rdfu: program device ... block 1 flushed"
         "\ndfu: cannot read firmware: Input/output error\n"
         "dfu: failed to program device\n",
         false},
        {"read error in the verification pass only",
         [](BadInput& t, auto&, StreamPlan& plan) {
             plan = {true, 2, 1536};
             return t.write_image(IMAGE);
         },
         "\rdfu: verifying device ... block 3 sent"
         "\ndfu: cannot read firmware: Input/output error\n"
         "dfu: verification failed\n",
         false},
        {"image rewritten between the two passes",
         [](BadInput& t, auto&, StreamPlan& plan) {
             const std::string path = t.write_image(IMAGE);
             Bytes changed = IMAGE;
             changed[700] ^= 0x01;
             plan = {true, 0, 0, path, changed};
             return path;
         },
         "\rdfu: verifying device ... block 4 sent\n"
         "Dfu: verification failed at unknown address\n"
         "dfu: verification failed\n",
         false},
        {"device disconnects in the middle of programming",
         [image](BadInput& t, sim::Bootloader::Options& o, StreamPlan& p) {
             // OUT transfers: 2 in the probe, 3 in preparation, 7 sector
             // clearings, program mode; then wrapper and data per block. The
             // 17th is the data of the second block.
             o.faults.transfers = {{OUT, 17, sim::Outcome::disconnected}};
             return image(t, o, p);
         },
         "\rdfu: verifying device ... block 4 sent\n"
         "   send_mass_storage_command: No such device (it may have been disconnected)\n"
         "Dfu: verification failed at unknown address\n"
         "dfu: verification failed\n",
         false},
        {"verify-mode request lost after a block failed to program",
         [image](BadInput& t, sim::Bootloader::Options& o, StreamPlan& p) {
             // The image begins with 0, as a good verdict does. OUT transfers
             // as above, one more for the REQUEST SENSE after the failed
             // block; after 4 blocks and idle mode, the 24th is the
             // verify-mode request.
             o.faults.fail_write_data = 2;
             o.faults.transfers = {{OUT, 24, sim::Outcome::timeout}};
             return image(t, o, p);
         },
         "\rdfu: verifying device ... block 4 sent\n"
         "Dfu: verification failed at unknown address\n"
         "dfu: verification failed\n",
         false},
        {"device stalls every command wrapper",
         [image](BadInput& t, sim::Bootloader::Options& o, StreamPlan& p) {
             o.faults.transfers = every_transfer(OUT, sim::Outcome::stall);
             return image(t, o, p);
         },
         "Sending Inquiry:\n"
         "   send_mass_storage_command: Pipe error\n"
         "Error [-1]\n"
         "dfu: cant open usb device\n",
         true},
        {"device never comes back after the reset",
         [image](BadInput& t, sim::Bootloader::Options& o, StreamPlan& p) {
             o.dfu_mode = false;
             o.after_reset = sim::ResetOutcome::never_comes_back;
             return image(t, o, p);
         },
         "Initialize libusb ... OK!\n"
         "Get device list ... Error. Cant discover usb devices! \n"
         "dfu: cant get info\n"
         "dfu: failed to prepare device\n",
         true},
    };

    // Each row is a run of its own; its checks come after the capture of
    // standard output ended, so that a failure is reported where it is seen.
    TearDown();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        bus.devices.clear();
        SetUp();
        sim::Bootloader::Options options;
        StreamPlan plan;
        const std::string path = row.scene(*this, options, plan);
        stream_plan = plan;
        auto device = add_bootloader(options);
        const int status = run({path});
        const std::string printed = output();
        const std::vector<std::string> violations = fakeusb::violations();
        TearDown();

        EXPECT_EQ(status, -1);
        EXPECT_THAT(printed, EndsWith(row.closing)) << printed;
        // A device that failed an update stays in its bootloader, ready for
        // the next attempt.
        EXPECT_EQ(device->leaves_requested(), 0);
        if (row.flash_untouched) {
            EXPECT_THAT(device->cleared_sectors(), IsEmpty());
            EXPECT_EQ(device->flash(), flash_of_new_device());
        }
        EXPECT_THAT(violations, IsEmpty());
    }
}

// Every status wrapper carries the tag of the next command, so none of them
// is valid, yet every command ran and every block arrived. The updater does
// not act on the status of block or vendor transfers; the verdict block
// still compares the whole image, so a device that holds it is a success.
TEST_F(BadInput, WrongTagOnEveryStatusStillDeliversTheImage)
{
    sim::Bootloader::Options options;
    options.faults.wrong_tag = true;
    auto device = add_bootloader(options);
    EXPECT_EQ(run({write_image(IMAGE)}), 0);
    EXPECT_THAT(output(), EndsWith("block 4 sent\nSuccess!\n"));
    EXPECT_EQ(device->flash_prefix(4 * 512), padded(IMAGE));
}

}  // namespace
