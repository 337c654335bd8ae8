// The host's own cost per block: the programming and verification passes of
// a 1 MiB image, run in process against the simulated bootloader through the
// libusb double, with standard output on each kind of sink a run meets. The
// double and the device model stand in for the kernel, the bus and the
// device; their time and allocations are measured apart (see the wrapped
// libusb entry points below) so that what is left is the updater's.

#include <benchmark/benchmark.h>
#include <libusb.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "alloc_count.h"
#include "bootloader.h"
#include "device/dfu_device.h"
#include "dfu/dfu_protocol.h"
#include "fake_libusb.h"
#include "msc/vendor_exchange.h"
#include "stdout_sink.h"
#include "usb_bus.h"

namespace {

constexpr size_t IMAGE_BYTES = size_t{1} << 20;
constexpr uint64_t IMAGE_BLOCKS = IMAGE_BYTES / BLOCK_SIZE;
// One programming pass and one verification pass.
constexpr uint64_t BLOCKS_PER_UPDATE = 2 * IMAGE_BLOCKS;
// Seven application sectors with room for the whole image.
constexpr uint32_t SECTOR_BYTES = 256 * 1024;

using Clock = std::chrono::steady_clock;

uint64_t stand_in_ns = 0;

uint64_t nanoseconds_since(Clock::time_point start)
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
}

// The bus, the device and the image, opened and prepared once: what a run
// has done by the time it clears the first sector.
struct Rig {
    sim::Bus bus;
    std::string image_path;
    std::string error;
    alloc_count::Tally first_update{};

    Rig()
    {
        sim::Bootloader::Options options;
        options.flash.sector_sizes.assign(8, SECTOR_BYTES);
        options.flash.sector_sizes[0] = sim::FlashLayout::small().sector_sizes[0];
        bus.devices.push_back(
            sim::bootloader_device(std::make_shared<sim::Bootloader>(std::move(options))));
        fakeusb::reset(&bus);
        fakeusb::set_recording(false);

        const char* dir = std::getenv("TMPDIR");
        image_path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") +
                     "/update-bench-image-" + std::to_string(::getpid()) + ".bin";
        std::vector<char> bytes(IMAGE_BYTES);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>((i * 31 + i / 512) & 0xFF);
        std::ofstream(image_path, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));

        StdoutSink quiet(SinkKind::null_device);
        dfu_set_transport(usb_transport);
        if (dfu_device.open() != 0 || dfu_device.open_image(image_path.c_str()) != 0 ||
            dfu_device.prepare() != 0) {
            error = "the simulated device could not be opened and prepared";
            return;
        }
        // The first pass also pays for what stays for the rest of the run,
        // such as the image stream's read buffer; it is reported on its own.
        alloc_count::clear();
        alloc_count::set_counting(true);
        const bool updated = dfu_device.program() == 0 && dfu_device.verify() == 0;
        alloc_count::set_counting(false);
        first_update = alloc_count::tally();
        if (!updated)
            error = "the first update of the simulated device failed";
    }

    ~Rig() { ::unlink(image_path.c_str()); }
};

Rig& rig()
{
    static Rig instance;
    return instance;
}

void update_passes(benchmark::State& state, SinkKind kind)
{
    Rig& r = rig();
    if (!r.error.empty()) {
        state.SkipWithError(r.error.c_str());
        return;
    }
    bool failed = false;
    uint64_t elapsed_ns = 0;
    {
        StdoutSink sink(kind);
        if (!sink.error().empty()) {
            state.SkipWithError(sink.error().c_str());
            return;
        }
        alloc_count::clear();
        stand_in_ns = 0;
        alloc_count::set_counting(true);
        const Clock::time_point start = Clock::now();
        for (auto _ : state) {
            if (dfu_device.program() != 0 || dfu_device.verify() != 0)
                failed = true;
        }
        elapsed_ns = nanoseconds_since(start);
        alloc_count::set_counting(false);
    }
    if (failed) {
        state.SkipWithError("an update of the simulated device failed");
        return;
    }
    const alloc_count::Tally tally = alloc_count::tally();
    const double blocks = static_cast<double>(state.iterations() * BLOCKS_PER_UPDATE);
    state.counters["blocks"] = blocks;
    state.counters["ns_per_block"] = static_cast<double>(elapsed_ns) / blocks;
    state.counters["stand_in_ns_per_block"] = static_cast<double>(stand_in_ns) / blocks;
    state.counters["updater_ns_per_block"] = static_cast<double>(elapsed_ns - stand_in_ns) / blocks;
    state.counters["updater_allocs_per_block"] = static_cast<double>(tally.updater) / blocks;
    state.counters["updater_allocs"] = static_cast<double>(tally.updater);
    state.counters["stand_in_allocs_per_block"] = static_cast<double>(tally.stand_ins) / blocks;
}

// The progress line alone, exactly as the programming pass draws it.
void progress_line(benchmark::State& state, SinkKind kind)
{
    uint64_t elapsed_ns = 0;
    {
        StdoutSink sink(kind);
        if (!sink.error().empty()) {
            state.SkipWithError(sink.error().c_str());
            return;
        }
        uint32_t counter = 0;
        const Clock::time_point start = Clock::now();
        for (auto _ : state)
            std::printf("\rdfu: program device ... block %d flushed", ++counter);
        elapsed_ns = nanoseconds_since(start);
    }
    state.counters["ns_per_line"] =
        static_cast<double>(elapsed_ns) / static_cast<double>(state.iterations());
}

// Console output as usual, and every counter kept for the summary file that
// scripts/bench.sh turns into its table.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    SummaryReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred)
                continue;
            for (const auto& [name, counter] : run.counters)
                lines_.push_back(run.benchmark_name() + " " + name + " " +
                                 std::to_string(counter.value));
        }
    }

    bool write(const std::string& path) const
    {
        std::FILE* out = std::fopen(path.c_str(), "w");
        if (out == nullptr)
            return false;
        for (const std::string& line : lines_)
            std::fprintf(out, "%s\n", line.c_str());
        const alloc_count::Tally first = rig().first_update;
        std::fprintf(out, "first_update updater_allocs %llu\n",
                     static_cast<unsigned long long>(first.updater));
        std::fprintf(out, "first_update updater_alloc_bytes %llu\n",
                     static_cast<unsigned long long>(first.updater_bytes));
        return std::fclose(out) == 0;
    }

private:
    std::vector<std::string> lines_;
};

}  // namespace

// The double's bulk transfer and halt clearing, timed and with their
// allocations charged to the stand-ins: the linker sends the updater's calls
// here (--wrap) and __real_ reaches the double.
extern "C" {
int __real_libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                unsigned char* data, int length, int* transferred,
                                unsigned int timeout);
int __real_libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint);

int __wrap_libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                unsigned char* data, int length, int* transferred,
                                unsigned int timeout)
{
    alloc_count::StandInScope stand_in;
    const Clock::time_point start = Clock::now();
    const int result =
        __real_libusb_bulk_transfer(handle, endpoint, data, length, transferred, timeout);
    stand_in_ns += nanoseconds_since(start);
    return result;
}

int __wrap_libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint)
{
    alloc_count::StandInScope stand_in;
    const Clock::time_point start = Clock::now();
    const int result = __real_libusb_clear_halt(handle, endpoint);
    stand_in_ns += nanoseconds_since(start);
    return result;
}
}

int main(int argc, char** argv)
{
    // As the program itself runs: every progress redraw is a write of its own.
    (void)std::setvbuf(stdout, nullptr, _IONBF, 0);

    std::string summary_path;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--summary=", 10) == 0)
            summary_path = argv[i] + 10;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    for (const SinkKind kind :
         {SinkKind::null_device, SinkKind::file, SinkKind::pipe, SinkKind::terminal}) {
        benchmark::RegisterBenchmark((std::string("update_1MiB/stdout:") + sink_name(kind)).c_str(),
                                     update_passes, kind)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark(
            (std::string("progress_line/stdout:") + sink_name(kind)).c_str(), progress_line, kind)
            ->UseRealTime();
    }

    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (!summary_path.empty() && !reporter.write(summary_path)) {
        std::fprintf(stderr, "update_bench: cannot write %s\n", summary_path.c_str());
        return 1;
    }
    return 0;
}
