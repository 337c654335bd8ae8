#include "harness.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "app/update_command.h"
#include "device/dfu_device.h"
#include "dfu/dfu_protocol.h"
#include "msc/bulk_only.h"

void quiet_stdout()
{
    if (std::getenv("UPDATE_FUZZ_VERBOSE") != nullptr)
        return;
    std::fflush(stdout);
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        ::dup2(null_fd, STDOUT_FILENO);
        ::close(null_fd);
    }
}

void reset_process_state()
{
    if (dfu_device.image_file != nullptr)
        std::fclose(dfu_device.image_file);
    dfu_device = DfuDevice{};
    cbw_tag = 1;
    dfu_set_transport(null_transport);
}

const std::string& write_image(const std::vector<uint8_t>& image)
{
    static const std::string path = [] {
        char dir[] = "/tmp/update-fuzz-XXXXXX";
        if (::mkdtemp(dir) == nullptr)
            std::abort();
        return std::string(dir) + "/image.bin";
    }();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        std::abort();
    if (!image.empty() && std::fwrite(image.data(), 1, image.size(), file) != image.size())
        std::abort();
    std::fclose(file);
    return path;
}

int run_update_on(const std::string& path)
{
    std::string program = "update";
    std::string argument = path;
    char* argv[] = {program.data(), argument.data(), nullptr};
    const int result = run_update(2, argv);
    std::fflush(stdout);
    return result;
}
