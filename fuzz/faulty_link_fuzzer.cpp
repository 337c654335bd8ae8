// An honest bootloader behind a faulty link: the simulated device stores and
// compares blocks faithfully, and the input chooses what goes wrong between
// it and the host: stalls, time-outs, broken and short transfers, failed
// data phases, wrong or short status wrappers, lost or refused DFU answers,
// a restart at the wrong moment. Whatever happens, a run that ends in
// "Success!" must leave exactly the image in flash, padded with 0xFF to
// whole blocks.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fake_libusb.h"
#include "fuzz_input.h"
#include "harness.h"
#include "recorded_sleep.h"
#include "usb_bus.h"

namespace {

constexpr uint32_t BLOCK = 512;
constexpr uint8_t IN = 0x81;
constexpr uint8_t OUT = 0x01;

// Small sectors keep a run short; the image always fits in sectors 1 to 7.
sim::FlashLayout fuzz_flash()
{
    return sim::FlashLayout{{512, 1024, 1024, 512, 512, 512, 512, 512}};
}

constexpr uint8_t SCSI_OPCODES[] = {0x03, 0x12, 0x25, 0x28, 0x2A, 0xC0};
constexpr uint8_t DFU_COMMANDS[] = {0x00, 0x01, 0x02, 0x03, 0x60};
constexpr sim::Outcome OUTCOMES[] = {
    sim::Outcome::ok,      sim::Outcome::stall,        sim::Outcome::timeout,
    sim::Outcome::no_data, sim::Outcome::disconnected, sim::Outcome::io_error,
};
constexpr sim::ResetOutcome RESET_OUTCOMES[] = {
    sim::ResetOutcome::comes_back_in_dfu,
    sim::ResetOutcome::comes_back_in_application,
    sim::ResetOutcome::never_comes_back,
};

std::vector<uint8_t> make_image(FuzzInput& input)
{
    std::vector<uint8_t> image(input.u16() % (5 * BLOCK + 1));
    const uint8_t kind = input.byte();
    const uint8_t seed = input.byte();
    for (size_t i = 0; i < image.size(); ++i) {
        switch (kind % 4) {
        case 0: image[i] = static_cast<uint8_t>(seed + i * 31 + i / BLOCK); break;
        case 1: image[i] = 0x00; break;
        case 2: image[i] = 0xFF; break;
        // Blocks that look erased next to blocks that do not.
        default: image[i] = ((i / BLOCK) & 1) ? 0xFF : static_cast<uint8_t>(seed ^ i); break;
        }
    }
    // A first byte of 0 reads like a good verdict.
    if (!image.empty() && (kind & 0x10))
        image[0] = 0;
    return image;
}

sim::Bootloader::Options make_options(FuzzInput& input)
{
    sim::Bootloader::Options options;
    options.flash = fuzz_flash();
    const uint8_t setup = input.byte();
    options.dfu_mode = (setup & 1) == 0;
    options.after_reset = RESET_OUTCOMES[(setup >> 1) % 3];
    if (setup & 0x08)
        options.dfu_version = input.u16();

    sim::Faults& faults = options.faults;
    const int transfer_faults = static_cast<int>(input.below(8));
    for (int i = 0; i < transfer_faults; ++i) {
        sim::TransferFault fault;
        const uint8_t what = input.byte();
        fault.endpoint = (what & 1) ? IN : OUT;
        fault.outcome = OUTCOMES[(what >> 1) % std::size(OUTCOMES)];
        fault.nth = 1 + static_cast<int>(input.u16() % 160);
        if (fault.outcome == sim::Outcome::ok)
            fault.short_length = input.below(40);
        faults.transfers.push_back(fault);
    }
    const uint8_t kinds = input.byte();
    if (kinds & 0x01)
        faults.stale_reads = static_cast<int>(input.below(4));
    if (kinds & 0x02)
        faults.wrong_tag = true;
    if (kinds & 0x04)
        faults.short_status = input.below(14);
    if (kinds & 0x08)
        faults.bad_status_signature = true;
    if (kinds & 0x10)
        faults.scsi_status[SCSI_OPCODES[input.below(std::size(SCSI_OPCODES))]] = input.byte();
    if (kinds & 0x20)
        faults.dfu_status[DFU_COMMANDS[input.below(std::size(DFU_COMMANDS))]] = input.byte();
    if (kinds & 0x40)
        faults.clear_sector_status[1 + input.below(7)] = input.byte();
    if (kinds & 0x80)
        faults.dfu_response_length = input.below(32);
    const uint8_t more = input.byte();
    if (more & 0x01)
        faults.restart_before_answer = DFU_COMMANDS[input.below(std::size(DFU_COMMANDS))];
    if (more & 0x02)
        faults.fail_write_data = 1 + static_cast<int>(input.below(12));
    if (more & 0x04) {
        std::vector<uint8_t> sense(input.below(19));
        input.copy(sense.data(), sense.size());
        faults.sense_data = sense;
    }
    if (more & 0x08) {
        std::vector<uint8_t> capacity(input.below(12));
        input.copy(capacity.data(), capacity.size());
        faults.read_capacity = capacity;
    }
    return options;
}

std::vector<uint8_t> padded(std::vector<uint8_t> image)
{
    image.resize((image.size() + BLOCK - 1) / BLOCK * BLOCK, 0xFF);
    return image;
}

// A released handle or an exited context in use would be a use after free
// in libusb. A read that the device will never answer, with no time limit,
// is how the updater waits for a device by design; the double returns a
// time-out there and the run goes on.
bool breaks_libusb_rules(const std::vector<std::string>& violations)
{
    for (const std::string& violation : violations)
        if (violation.find("no time limit") == std::string::npos)
            return true;
    return false;
}

// The wire as the host saw it, for reading a reproduced input.
void print_traffic()
{
    for (const fakeusb::Call& call : fakeusb::traffic()) {
        std::fprintf(stderr, "%s %02X len %d -> %d (%d bytes)", call.function.c_str(),
                     call.endpoint, call.length, call.result, call.transferred);
        for (size_t i = 0; i < call.data.size() && i < 20; ++i)
            std::fprintf(stderr, " %02X", call.data[i]);
        std::fprintf(stderr, "\n");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size);
    const std::vector<uint8_t> image = make_image(input);
    const sim::Bootloader::Options options = make_options(input);
    const std::string& path = write_image(image);

    sim::Bus bus;
    auto bootloader = std::make_shared<sim::Bootloader>(options);
    bus.devices.push_back(sim::bootloader_device(bootloader));
    reset_process_state();
    recorded_sleeps().clear();
    fakeusb::reset(&bus);

    const int result = run_update_on(path);

    if (std::getenv("UPDATE_FUZZ_VERBOSE") != nullptr)
        print_traffic();
    const bool rules_broken = breaks_libusb_rules(fakeusb::violations());
    fakeusb::reset(nullptr);
    reset_process_state();

    if (rules_broken) {
        std::fprintf(stderr, "the updater broke libusb's rules\n");
        std::abort();
    }
    if (result == 0) {
        const std::vector<uint8_t> expected = padded(image);
        const std::vector<uint8_t> flash = bootloader->flash_prefix(expected.size());
        if (flash != expected) {
            size_t at = 0;
            while (at < flash.size() && at < expected.size() && flash[at] == expected[at])
                ++at;
            std::fprintf(stderr,
                         "\"Success!\" but the flash does not hold the image: first difference "
                         "at byte %zu of %zu\n",
                         at, expected.size());
            std::abort();
        }
    }
    return 0;
}
