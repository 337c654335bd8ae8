// The updater run in process against the libusb double and the simulated
// bootloader, with the command line of simbus:
//
//   inprocess_update [scenario options] -- update IMAGE
//
// It prints what the program prints and exits as the program would, so that
// one expected transcript checks both the in-process run and the real
// program on the emulated bus. The restart wait is recorded, not slept.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/update_command.h"
#include "bus_scenario.h"
#include "fake_libusb.h"

namespace {

constexpr int USAGE_ERROR = 2;
constexpr int DOUBLE_MISUSED = 124;

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "make-image") == 0)
        return simbus::write_image(argv[2], std::stoull(argv[3])) ? 0 : 1;
    if (argc == 3 && std::strcmp(argv[1], "fresh-flash") == 0)
        return simbus::write_flash(sim::Bootloader{}, argv[2]) ? 0 : 1;

    simbus::Scenario scenario;
    int first = 0;
    std::string error;
    if (!simbus::parse_scenario(argc, argv, first, scenario, error) || first >= argc) {
        std::fprintf(stderr,
                     "inprocess_update: %s\nusage: inprocess_update [options] -- "
                     "update IMAGE\noptions:\n%s",
                     error.empty() ? "no command given" : error.c_str(), simbus::scenario_usage());
        return USAGE_ERROR;
    }

    std::shared_ptr<sim::Bootloader> bootloader;
    sim::Bus bus = simbus::scenario_bus(scenario, bootloader);
    // libusb on Linux keeps the devices it finds newest first: the root hub,
    // enumerated before anything behind it, comes last in its list.
    std::reverse(bus.devices.begin(), bus.devices.end());
    fakeusb::reset(&bus);

    (void)std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::vector<char*> command(argv + first, argv + argc);
    const int status = run_update(static_cast<int>(command.size()), command.data());

    for (const std::string& violation : fakeusb::violations())
        std::fprintf(stderr, "inprocess_update: %s\n", violation.c_str());
    if (!fakeusb::violations().empty())
        return DOUBLE_MISUSED;
    if (!scenario.flash_out.empty() && bootloader &&
        !simbus::write_flash(*bootloader, scenario.flash_out)) {
        std::fprintf(stderr, "inprocess_update: cannot write %s\n", scenario.flash_out.c_str());
        return 1;
    }
    return status & 0xFF;
}
