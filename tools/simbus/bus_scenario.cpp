#include "bus_scenario.h"

#include <charconv>
#include <cstring>
#include <fstream>
#include <string_view>

namespace simbus {

namespace {

constexpr uint8_t BULK_OUT = 0x01;
constexpr uint16_t ROOT_HUB_VENDOR = 0x1d6b;
constexpr uint16_t ROOT_HUB_PRODUCT = 0x0002;

bool parse_number(std::string_view text, long& value)
{
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc{} && end == text.data() + text.size() && !text.empty();
}

}  // namespace

const char* scenario_usage()
{
    return "  --application          the device starts in its application, not its bootloader\n"
           "  --after-reset=WHERE    after a restart request: dfu (default), application, never\n"
           "  --dfu-version=N        the bootloader's protocol version (default 0x0101)\n"
           "  --stall-out=N          the N-th transfer on bulk OUT 0x01 stalls\n"
           "  --lose-write=N         the data phase of the N-th WRITE(10) breaks\n"
           "  --restart-before-answer=CODE\n"
           "                         the device drops off the bus on DFU request CODE\n"
           "                         before it answers (0x00: the restart request)\n"
           "  --no-bootloader        only the root hub is on the bus\n"
           "  --return-after-ms=N    time off the bus after a restart (default 2000)\n"
           "  --flash-out=FILE       write the device's flash to FILE at the end\n"
           "  --sector-size=N        bytes in each of the application sectors 1 to 7, a\n"
           "                         multiple of 512 (default: the small layout, 496 KiB)\n";
}

bool parse_scenario(int argc, char** argv, int& next, Scenario& scenario, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") {
            next = i + 1;
            return true;
        }
        const size_t equals = arg.find('=');
        const std::string_view name = arg.substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view{} : arg.substr(equals + 1);
        long number = 0;
        const bool numeric = parse_number(value, number);
        if (arg == "--application") {
            scenario.device.dfu_mode = false;
        } else if (arg == "--no-bootloader") {
            scenario.bootloader = false;
        } else if (name == "--after-reset" && value == "dfu") {
            scenario.device.after_reset = sim::ResetOutcome::comes_back_in_dfu;
        } else if (name == "--after-reset" && value == "application") {
            scenario.device.after_reset = sim::ResetOutcome::comes_back_in_application;
        } else if (name == "--after-reset" && value == "never") {
            scenario.device.after_reset = sim::ResetOutcome::never_comes_back;
        } else if (name == "--dfu-version" && numeric && number >= 0 && number <= 0xFFFF) {
            scenario.device.dfu_version = static_cast<uint16_t>(number);
        } else if (name == "--stall-out" && numeric && number > 0) {
            scenario.device.faults.transfers.push_back(
                {BULK_OUT, static_cast<int>(number), sim::Outcome::stall, std::nullopt});
        } else if (name == "--lose-write" && numeric && number > 0) {
            scenario.device.faults.fail_write_data = static_cast<int>(number);
        } else if (name == "--restart-before-answer" && numeric && number >= 0 && number <= 0xFF) {
            scenario.device.faults.restart_before_answer = static_cast<uint8_t>(number);
        } else if (name == "--return-after-ms" && numeric && number >= 0) {
            scenario.return_after_ms = static_cast<int>(number);
        } else if (name == "--sector-size" && numeric && number > 0 &&
                   number % sim::Bootloader::BLOCK == 0 && number <= 0x10000000) {
            // Room for large images: the bootloader's own sector 0 stays as it
            // is, the seven sectors the updater clears grow alike.
            auto& sizes = scenario.device.flash.sector_sizes;
            sizes.assign(8, static_cast<uint32_t>(number));
            sizes[0] = sim::FlashLayout::small().sector_sizes[0];
        } else if (name == "--flash-out" && !value.empty()) {
            scenario.flash_out = std::string(value);
        } else {
            error = "unknown or malformed option '" + std::string(arg) + "'";
            return false;
        }
    }
    error = "missing '--' before the command";
    return false;
}

sim::Bus scenario_bus(const Scenario& scenario, std::shared_ptr<sim::Bootloader>& bootloader)
{
    sim::Bus bus;
    bus.devices.push_back(sim::other_device(ROOT_HUB_VENDOR, ROOT_HUB_PRODUCT, 1));
    if (scenario.bootloader) {
        bootloader = std::make_shared<sim::Bootloader>(scenario.device);
        bus.devices.push_back(sim::bootloader_device(bootloader));
    }
    return bus;
}

bool write_flash(const sim::Bootloader& bootloader, const std::string& path)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::vector<uint8_t>& flash = bootloader.flash();
    out.write(reinterpret_cast<const char*>(flash.data()),
              static_cast<std::streamsize>(flash.size()));
    return static_cast<bool>(out);
}

bool write_image(const std::string& path, size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>((i * 31 + i / 512) & 0xFF);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

}  // namespace simbus
