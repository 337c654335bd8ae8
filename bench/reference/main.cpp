// The floor for a flash on this bus: the three bulk transfers of a WRITE(10)
// of one 512-byte block (31-byte command wrapper, 512 bytes of data, 13-byte
// status), block after block, two passes over an image of the given size,
// with the real libusb and nothing else: no listing, no probe, no DFU
// requests, no image file reads, no output per block.
//
//   bench_reference IMAGE     prints the blocks per second of the block loop

#include <libusb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint16_t VENDOR_ID = 0x0483;
constexpr uint16_t PRODUCT_ID = 0x5720;
constexpr unsigned char ENDPOINT_OUT = 0x01;
constexpr unsigned char ENDPOINT_IN = 0x81;
constexpr int BLOCK = 512;
constexpr int WRAPPER_LENGTH = 31;
constexpr int STATUS_LENGTH = 13;
constexpr int PASSES = 2;

// CPU time used so far, read as the pace tool reads the updater's (/proc,
// in clock ticks), so that the two figures are counted alike.
double cpu_seconds()
{
    std::FILE* stat = std::fopen("/proc/self/stat", "r");
    if (stat == nullptr)
        return 0;
    char text[1024] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    text[n] = '\0';
    const char* p = std::strrchr(text, ')');
    unsigned long long user = 0;
    unsigned long long system = 0;
    if (p == nullptr || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                                    &user, &system) != 2)
        return 0;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void build_write_wrapper(unsigned char (&cbw)[WRAPPER_LENGTH], uint32_t tag, uint32_t lba)
{
    std::memset(cbw, 0, sizeof cbw);
    std::memcpy(cbw, "USBC", 4);
    cbw[4] = static_cast<unsigned char>(tag);
    cbw[5] = static_cast<unsigned char>(tag >> 8);
    cbw[6] = static_cast<unsigned char>(tag >> 16);
    cbw[7] = static_cast<unsigned char>(tag >> 24);
    cbw[9] = BLOCK >> 8;  // dCBWDataTransferLength 512, little-endian
    cbw[12] = 0x00;       // host to device
    cbw[14] = 10;         // WRITE(10)
    cbw[15] = 0x2A;
    cbw[17] = static_cast<unsigned char>(lba >> 24);
    cbw[18] = static_cast<unsigned char>(lba >> 16);
    cbw[19] = static_cast<unsigned char>(lba >> 8);
    cbw[20] = static_cast<unsigned char>(lba);
    cbw[23] = 1;  // one block
}

}  // namespace

int main(int argc, char** argv)
{
    struct stat image {};
    if (argc != 2 || ::stat(argv[1], &image) != 0) {
        std::fprintf(stderr, "usage: bench_reference IMAGE\n");
        return 2;
    }
    const auto blocks = static_cast<uint32_t>((image.st_size + BLOCK - 1) / BLOCK);
    if (blocks < 2) {
        std::fprintf(stderr, "bench_reference: the image needs at least two blocks\n");
        return 2;
    }

    if (libusb_init(nullptr) != 0)
        return 1;
    libusb_device_handle* handle = libusb_open_device_with_vid_pid(nullptr, VENDOR_ID, PRODUCT_ID);
    if (handle == nullptr) {
        std::fprintf(stderr, "bench_reference: no %04x:%04x device\n", VENDOR_ID, PRODUCT_ID);
        return 1;
    }
    libusb_set_auto_detach_kernel_driver(handle, 1);
    if (libusb_claim_interface(handle, 0) != 0) {
        std::fprintf(stderr, "bench_reference: cannot claim interface 0\n");
        return 1;
    }

    unsigned char cbw[WRAPPER_LENGTH];
    unsigned char data[BLOCK];
    unsigned char csw[STATUS_LENGTH];
    std::memset(data, 0xA5, sizeof data);
    uint32_t tag = 1;
    int failed = 0;
    // Timed like the updater's progress lines: from the end of the first
    // block to the end of the last.
    std::chrono::steady_clock::time_point first_done;
    double first_cpu = 0;
    for (int pass = 0; pass < PASSES; ++pass) {
        for (uint32_t lba = 0; lba < blocks; ++lba) {
            int n = 0;
            build_write_wrapper(cbw, tag++, lba);
            failed += libusb_bulk_transfer(handle, ENDPOINT_OUT, cbw, WRAPPER_LENGTH, &n, 0) != 0;
            failed += libusb_bulk_transfer(handle, ENDPOINT_OUT, data, BLOCK, &n, 0) != 0;
            failed += libusb_bulk_transfer(handle, ENDPOINT_IN, csw, STATUS_LENGTH, &n, 0) != 0;
            if (pass == 0 && lba == 0) {
                first_done = std::chrono::steady_clock::now();
                first_cpu = cpu_seconds();
            }
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - first_done).count();
    const double loop_cpu = cpu_seconds() - first_cpu;
    const uint32_t timed_blocks = PASSES * blocks - 1;
    std::printf("blocks %u\nseconds %.6f\nblocks_per_second %.1f\nfailed_transfers %d\n",
                timed_blocks, seconds, timed_blocks / seconds, failed);

    std::printf("cpu_seconds %.6f\nloop_cpu_seconds %.6f\n", cpu_seconds(), loop_cpu);

    libusb_release_interface(handle, 0);
    libusb_close(handle);
    libusb_exit(nullptr);
    return failed == 0 ? 0 : 1;
}
