#pragma once

// A model of the bootloader's mass-storage unit as the host sees it over its
// two bulk endpoints: the Bulk-Only Transport state machine, the SCSI
// commands it knows, the DFU requests carried in vendor command 0xC0, flash
// made of sectors and 512-byte blocks, program and verify modes with their
// verdict, an application mode that restarts into the bootloader, and faults
// injected on request. It knows nothing of libusb; whoever plays the host
// side (a libusb double, an emulated USB device node) turns its answers into
// transfer results.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

// What one bulk transfer came to.
enum class Outcome {
    ok,
    stall,         // the endpoint is halted until the host clears it
    timeout,       // nothing to give within the host's time limit (a NAKed IN)
    no_data,       // an IN the device will never answer: a host without a time limit hangs
    disconnected,  // the device is off the bus
    io_error,      // the transfer broke (CRC, babble, a flaky cable)
};

const char* to_string(Outcome outcome);

struct TransferResult {
    Outcome outcome = Outcome::ok;
    size_t transferred = 0;
};

// Where the device goes after it was told to restart into its bootloader.
enum class ResetOutcome {
    comes_back_in_dfu,
    comes_back_in_application,
    never_comes_back,
};

// A fault on the n-th transfer (from 1) of an endpoint since power-on.
struct TransferFault {
    uint8_t endpoint = 0;
    int nth = 1;
    Outcome outcome = Outcome::stall;
    // With Outcome::ok: cut an IN transfer to this many bytes (the rest stays queued).
    std::optional<size_t> short_length;
};

struct Faults {
    std::vector<TransferFault> transfers;
    // The first k reads while no command is pending find stale data.
    int stale_reads = 0;
    // CSW status for a SCSI operation code (after the command ran).
    std::map<uint8_t, uint8_t> scsi_status;
    // CSW tags are off by one from the command's.
    bool wrong_tag = false;
    // CSW cut to this many bytes.
    std::optional<size_t> short_status;
    // CSW signature other than USBS.
    bool bad_status_signature = false;
    // The exact REQUEST SENSE data to answer.
    std::optional<std::vector<uint8_t>> sense_data;
    // The exact READ CAPACITY(10) data to answer, any length.
    std::optional<std::vector<uint8_t>> read_capacity;
    // Status byte for a DFU sub-command.
    std::map<uint8_t, uint8_t> dfu_status;
    // For clear-sector: status byte for one sector only.
    std::map<uint32_t, uint8_t> clear_sector_status;
    // DFU responses cut to this many bytes.
    std::optional<size_t> dfu_response_length;
    // The device drops off the bus on receiving this DFU sub-command, before
    // it answers: a reset request restarts it as `after_reset` says, any
    // other request into its application.
    std::optional<uint8_t> restart_before_answer;
    // The data phase of the n-th WRITE(10) (from 1) breaks.
    int fail_write_data = 0;
};

struct FlashLayout {
    // Size in bytes of each sector; sector 0 holds the bootloader and is not
    // addressable by block. Blocks count from the start of sector 1.
    std::vector<uint32_t> sector_sizes;

    static FlashLayout small();  // the default: 1 + 7 application sectors
};

class Bootloader {
public:
    static constexpr uint32_t BLOCK = 512;
    static constexpr uint16_t SUPPORTED_VERSION = 0x0101;

    struct Options {
        bool dfu_mode = true;
        uint16_t dfu_version = SUPPORTED_VERSION;
        uint32_t hw_version = 0x00020001;
        ResetOutcome after_reset = ResetOutcome::comes_back_in_dfu;
        FlashLayout flash = FlashLayout::small();
        Faults faults;
    };

    Bootloader();
    explicit Bootloader(Options options);

    // Host to device on a bulk OUT endpoint.
    TransferResult bulk_out(uint8_t endpoint, std::span<const uint8_t> data);
    // Device to host on a bulk IN endpoint, at most `length` bytes.
    TransferResult bulk_in(uint8_t endpoint, std::span<uint8_t> buffer);
    void clear_halt(uint8_t endpoint);

    // Re-enumeration. After a reset or leave request the device drops off the
    // bus once the command's status has gone out; the bus then brings it back
    // (or not) in the mode the scenario says.
    bool detached() const { return detached_; }
    bool gone_for_good() const { return detached_ && !will_return_; }
    void reattach();
    // Counts attachments, so that a handle from before a re-enumeration can
    // tell it is stale.
    uint32_t connection() const { return connection_; }

    // What the device looks like from outside.
    bool dfu_mode() const { return dfu_mode_; }
    uint8_t transfer_mode() const { return transfer_mode_; }
    const std::vector<uint8_t>& flash() const { return flash_; }
    std::vector<uint8_t>& flash() { return flash_; }
    uint32_t block_count() const { return static_cast<uint32_t>(flash_.size() / BLOCK); }
    // Bytes of image stored from block 0, for comparing with an image file.
    std::vector<uint8_t> flash_prefix(size_t length) const;

    Options& options() { return options_; }
    int resets_requested() const { return resets_requested_; }
    int leaves_requested() const { return leaves_requested_; }
    const std::vector<uint32_t>& cleared_sectors() const { return cleared_sectors_; }
    const std::vector<uint8_t>& dfu_requests() const { return dfu_requests_; }

private:
    enum class Phase { command, data_out, data_in, status };

    void execute(const uint8_t* cbw);
    void finish_command(uint8_t status);
    void run_scsi(uint8_t opcode, const uint8_t* cdb);
    void run_dfu(const uint8_t* request);
    void store_written_block(uint32_t lba, const uint8_t* data);
    std::vector<uint8_t> read_block(uint32_t lba) const;
    void set_sense(uint8_t key, uint8_t asc, uint8_t ascq);
    const TransferFault* fault_for(uint8_t endpoint, int nth) const;
    bool sector_range(uint32_t sector, size_t& first, size_t& length) const;

    Options options_;
    bool dfu_mode_ = true;
    uint8_t transfer_mode_ = 0;
    std::vector<uint8_t> flash_;
    std::optional<uint32_t> first_mismatch_;
    bool verified_ = false;

    Phase phase_ = Phase::command;
    uint32_t tag_ = 0;
    uint8_t opcode_ = 0;
    uint32_t lba_ = 0;
    uint32_t expected_ = 0;  // dCBWDataTransferLength
    std::vector<uint8_t> in_queue_;
    size_t in_offset_ = 0;
    std::vector<uint8_t> out_data_;
    uint8_t status_ = 0;
    bool detach_after_status_ = false;
    int writes_seen_ = 0;
    uint8_t sense_[3] = {};

    std::map<uint8_t, bool> halted_;
    std::map<uint8_t, int> transfers_;
    int stale_left_ = 0;

    bool detached_ = false;
    bool will_return_ = true;
    bool return_in_dfu_ = true;
    uint32_t connection_ = 1;
    int resets_requested_ = 0;
    int leaves_requested_ = 0;
    std::vector<uint32_t> cleared_sectors_;
    std::vector<uint8_t> dfu_requests_;
};

}  // namespace sim
