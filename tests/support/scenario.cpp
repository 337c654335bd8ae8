#include "scenario.h"

#include <unistd.h>

#include <cstdio>

#include <fstream>

#include "app/update_command.h"
#include "device/dfu_device.h"
#include "dfu/dfu_protocol.h"
#include "msc/bulk_only.h"

namespace {

// While a test captures standard output, gtest's own failure reports land in
// the capture and are lost; repeat each one on standard error.
class FailuresToStderr : public ::testing::EmptyTestEventListener {
    void OnTestPartResult(const ::testing::TestPartResult& result) override
    {
        if (result.failed())
            std::fprintf(stderr, "%s:%d: Failure\n%s\n",
                         result.file_name() ? result.file_name() : "?", result.line_number(),
                         result.message());
    }
};

const bool failures_to_stderr = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new FailuresToStderr);
    return true;
}();

}  // namespace

void DeviceTest::start_over()
{
    EXPECT_THAT(fakeusb::violations(), ::testing::IsEmpty());
    if (dfu_device.image_file != nullptr)
        std::fclose(dfu_device.image_file);
    dfu_device = DfuDevice{};
    cbw_tag = 1;
    dfu_set_transport(null_transport);
    recorded_sleeps().clear();
    bus.devices.clear();
    fakeusb::reset(&bus);
}

void DeviceTest::SetUp()
{
    start_over();
    workdir = std::filesystem::temp_directory_path() /
              ("update-test-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(workdir);
    std::filesystem::create_directories(workdir);
    capture_ = std::make_unique<StdoutCapture>();
}

void DeviceTest::TearDown()
{
    capture_.reset();
    EXPECT_THAT(fakeusb::violations(), ::testing::IsEmpty());
    if (dfu_device.image_file != nullptr) {
        std::fclose(dfu_device.image_file);
        dfu_device.image_file = nullptr;
    }
    fakeusb::reset(nullptr);
    std::filesystem::remove_all(workdir);
}

std::shared_ptr<sim::Bootloader> DeviceTest::add_bootloader(sim::Bootloader::Options options)
{
    auto bootloader = std::make_shared<sim::Bootloader>(std::move(options));
    bus.devices.push_back(sim::bootloader_device(bootloader));
    return bootloader;
}

std::string DeviceTest::write_image(const std::vector<uint8_t>& bytes, const std::string& name)
{
    const std::filesystem::path path = workdir / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path.string();
}

int DeviceTest::run(std::vector<std::string> args)
{
    args.insert(args.begin(), "update");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    return run_update(static_cast<int>(args.size()), argv.data());
}

std::vector<uint8_t> image_bytes(size_t n)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>((i * 31 + i / 512) & 0xFF);
    return bytes;
}

std::vector<uint8_t> padded(std::vector<uint8_t> image)
{
    image.resize((image.size() + 511) / 512 * 512, 0xFF);
    return image;
}
