// A whole update against a device whose every answer comes from the input:
// the device list and descriptors, every libusb result, every byte and
// length the device sends back. The updater must neither crash nor touch
// memory it does not own, must keep libusb's rules (no closed handle, no
// exited context) and must end every run with 0 or -1.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "device/dfu_device.h"
#include "fuzz_input.h"
#include "fuzzed_libusb.h"
#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size);
    // The image first, so that its size stays put while the device's answers
    // mutate behind it.
    std::vector<uint8_t> image(input.u16() % 1600);
    const uint8_t seed = input.byte();
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(seed + i * 13 + i / 512);
    const std::string& path = write_image(image);

    reset_process_state();
    fuzzed_usb::begin(&input);
    const int result = run_update_on(path);
    fuzzed_usb::end();
    reset_process_state();

    if (result != 0 && result != -1)
        std::abort();
    return 0;
}
