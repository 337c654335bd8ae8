#include "bootloader.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr size_t CBW_LENGTH = 31;
constexpr size_t CSW_LENGTH = 13;
constexpr uint8_t CBW_SIGNATURE[4] = {'U', 'S', 'B', 'C'};
constexpr uint8_t CSW_SIGNATURE[4] = {'U', 'S', 'B', 'S'};
// What a drain read finds when stale data waits on the IN endpoint.
constexpr size_t STALE_CHUNK = 512;

constexpr uint8_t OP_REQUEST_SENSE = 0x03;
constexpr uint8_t OP_INQUIRY = 0x12;
constexpr uint8_t OP_READ_CAPACITY = 0x25;
constexpr uint8_t OP_READ_10 = 0x28;
constexpr uint8_t OP_WRITE_10 = 0x2A;
constexpr uint8_t OP_VENDOR_DFU = 0xC0;

constexpr uint8_t DFU_PREFIX = 0x11;
constexpr uint8_t DFU_RESET = 0x00;
constexpr uint8_t DFU_LEAVE = 0x01;
constexpr uint8_t DFU_CLEAR_SECTOR = 0x02;
constexpr uint8_t DFU_SET_MODE = 0x03;
constexpr uint8_t DFU_GET_INFO = 0x60;
constexpr size_t DFU_RESPONSE = 31;

constexpr uint8_t MODE_IDLE = 0;
constexpr uint8_t MODE_PROGRAM = 1;
constexpr uint8_t MODE_VERIFY = 2;
constexpr uint8_t MODE_LAST = MODE_VERIFY;

// DFU status bytes of this bootloader.
constexpr uint8_t DFU_OK = 0x00;
constexpr uint8_t DFU_BAD_ARGUMENT = 0x01;
constexpr uint8_t DFU_NOT_IN_DFU_MODE = 0x02;
constexpr uint8_t DFU_UNKNOWN_REQUEST = 0xFF;

// Sense keys and codes used.
constexpr uint8_t SENSE_MEDIUM_ERROR = 0x03;
constexpr uint8_t SENSE_ILLEGAL_REQUEST = 0x05;

// The application region holds an old firmware until it is erased.
constexpr uint8_t OLD_FIRMWARE_SEED = 0x5A;

uint32_t le32(const uint8_t* p)
{
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

uint32_t be32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void put_le32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void put_be32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

std::vector<uint8_t> inquiry_data()
{
    std::vector<uint8_t> data(36, 0);
    data[1] = 0x80;  // removable medium
    data[2] = 0x02;  // SPC-2
    data[3] = 0x02;  // response data format
    data[4] = 31;    // additional length
    std::memcpy(&data[8], "STM     ", 8);
    std::memcpy(&data[16], "DFU Bootloader  ", 16);
    std::memcpy(&data[32], "1.00", 4);
    return data;
}

}  // namespace

const char* to_string(Outcome outcome)
{
    switch (outcome) {
    case Outcome::ok: return "ok";
    case Outcome::stall: return "stall";
    case Outcome::timeout: return "timeout";
    case Outcome::no_data: return "no_data";
    case Outcome::disconnected: return "disconnected";
    case Outcome::io_error: return "io_error";
    }
    return "?";
}

FlashLayout FlashLayout::small()
{
    return FlashLayout{{16384, 16384, 16384, 16384, 65536, 131072, 131072, 131072}};
}

Bootloader::Bootloader() : Bootloader(Options{}) {}

Bootloader::Bootloader(Options options) : options_(std::move(options))
{
    dfu_mode_ = options_.dfu_mode;
    size_t bytes = 0;
    for (size_t s = 1; s < options_.flash.sector_sizes.size(); ++s)
        bytes += options_.flash.sector_sizes[s];
    flash_.resize(bytes);
    for (size_t i = 0; i < bytes; ++i)
        flash_[i] = static_cast<uint8_t>(OLD_FIRMWARE_SEED + i * 7);
    stale_left_ = options_.faults.stale_reads;
}

std::vector<uint8_t> Bootloader::flash_prefix(size_t length) const
{
    length = std::min(length, flash_.size());
    return {flash_.begin(), flash_.begin() + static_cast<std::ptrdiff_t>(length)};
}

const TransferFault* Bootloader::fault_for(uint8_t endpoint, int nth) const
{
    for (const TransferFault& fault : options_.faults.transfers)
        if (fault.endpoint == endpoint && fault.nth == nth)
            return &fault;
    return nullptr;
}

void Bootloader::clear_halt(uint8_t endpoint)
{
    halted_[endpoint] = false;
}

void Bootloader::reattach()
{
    detached_ = false;
    dfu_mode_ = return_in_dfu_;
    phase_ = Phase::command;
    in_queue_.clear();
    in_offset_ = 0;
    out_data_.clear();
    halted_.clear();
    transfer_mode_ = MODE_IDLE;
    first_mismatch_.reset();
    detach_after_status_ = false;
    ++connection_;
}

TransferResult Bootloader::bulk_out(uint8_t endpoint, std::span<const uint8_t> data)
{
    const int nth = ++transfers_[endpoint];
    if (detached_)
        return {Outcome::disconnected, 0};
    if (halted_[endpoint])
        return {Outcome::stall, 0};
    if (const TransferFault* fault = fault_for(endpoint, nth);
        fault && fault->outcome != Outcome::ok) {
        if (fault->outcome == Outcome::stall)
            halted_[endpoint] = true;
        if (fault->outcome == Outcome::disconnected) {
            detached_ = true;
            will_return_ = false;
        }
        return {fault->outcome, 0};
    }

    switch (phase_) {
    case Phase::command:
        // A wrapper that is not one: the unit halts its OUT endpoint.
        if (data.size() != CBW_LENGTH || std::memcmp(data.data(), CBW_SIGNATURE, 4) != 0) {
            halted_[endpoint] = true;
            return {Outcome::stall, 0};
        }
        execute(data.data());
        return {Outcome::ok, data.size()};
    case Phase::data_out: {
        if (opcode_ == OP_WRITE_10 && out_data_.empty() &&
            ++writes_seen_ == options_.faults.fail_write_data) {
            set_sense(SENSE_MEDIUM_ERROR, 0x0C, 0x00);
            finish_command(1);
            return {Outcome::io_error, 0};
        }
        const size_t take = std::min<size_t>(data.size(), expected_ - out_data_.size());
        out_data_.insert(out_data_.end(), data.begin(),
                         data.begin() + static_cast<std::ptrdiff_t>(take));
        if (out_data_.size() >= expected_) {
            for (size_t i = 0; i + BLOCK <= out_data_.size(); i += BLOCK)
                store_written_block(lba_ + static_cast<uint32_t>(i / BLOCK), &out_data_[i]);
            finish_command(status_);
        }
        return {Outcome::ok, take};
    }
    case Phase::data_in:
    case Phase::status:
        // The host sends while the unit has data or status to give.
        halted_[endpoint] = true;
        return {Outcome::stall, 0};
    }
    return {Outcome::io_error, 0};
}

TransferResult Bootloader::bulk_in(uint8_t endpoint, std::span<uint8_t> buffer)
{
    const int nth = ++transfers_[endpoint];
    if (detached_)
        return {Outcome::disconnected, 0};
    if (halted_[endpoint])
        return {Outcome::stall, 0};
    size_t limit = buffer.size();
    if (const TransferFault* fault = fault_for(endpoint, nth)) {
        if (fault->outcome == Outcome::stall)
            halted_[endpoint] = true;
        if (fault->outcome == Outcome::disconnected) {
            detached_ = true;
            will_return_ = false;
        }
        if (fault->outcome != Outcome::ok)
            return {fault->outcome, 0};
        if (fault->short_length)
            limit = std::min(limit, *fault->short_length);
    }

    switch (phase_) {
    case Phase::command:
        if (stale_left_ > 0) {
            --stale_left_;
            const size_t n = std::min(limit, STALE_CHUNK);
            std::fill_n(buffer.begin(), n, 0xEE);
            return {Outcome::ok, n};
        }
        return {Outcome::no_data, 0};
    case Phase::data_out: return {Outcome::no_data, 0};
    case Phase::data_in: {
        const size_t n = std::min(limit, in_queue_.size() - in_offset_);
        std::copy_n(in_queue_.begin() + static_cast<std::ptrdiff_t>(in_offset_), n, buffer.begin());
        in_offset_ += n;
        if (in_offset_ >= in_queue_.size())
            phase_ = Phase::status;
        return {Outcome::ok, n};
    }
    case Phase::status: {
        uint8_t csw[CSW_LENGTH] = {};
        std::memcpy(csw, CSW_SIGNATURE, 4);
        if (options_.faults.bad_status_signature)
            csw[3] = 'C';
        put_le32(csw + 4, options_.faults.wrong_tag ? tag_ + 1 : tag_);
        csw[12] = status_;
        size_t n = std::min(limit, options_.faults.short_status.value_or(CSW_LENGTH));
        n = std::min(n, CSW_LENGTH);
        std::copy_n(csw, n, buffer.begin());
        phase_ = Phase::command;
        if (detach_after_status_) {
            detach_after_status_ = false;
            detached_ = true;
        }
        return {Outcome::ok, n};
    }
    }
    return {Outcome::io_error, 0};
}

void Bootloader::execute(const uint8_t* cbw)
{
    tag_ = le32(cbw + 4);
    expected_ = le32(cbw + 8);
    const uint8_t* cdb = cbw + 15;
    opcode_ = cdb[0];
    in_queue_.clear();
    in_offset_ = 0;
    out_data_.clear();
    status_ = 0;
    run_scsi(opcode_, cdb);
    if (auto it = options_.faults.scsi_status.find(opcode_);
        it != options_.faults.scsi_status.end())
        status_ = it->second;
}

void Bootloader::finish_command(uint8_t status)
{
    status_ = status;
    phase_ = Phase::status;
}

void Bootloader::set_sense(uint8_t key, uint8_t asc, uint8_t ascq)
{
    sense_[0] = key;
    sense_[1] = asc;
    sense_[2] = ascq;
}

void Bootloader::run_scsi(uint8_t opcode, const uint8_t* cdb)
{
    switch (opcode) {
    case OP_INQUIRY:
        in_queue_ = inquiry_data();
        in_queue_.resize(std::min<size_t>({in_queue_.size(), cdb[4], expected_}));
        break;
    case OP_READ_CAPACITY:
        if (options_.faults.read_capacity) {
            in_queue_ = *options_.faults.read_capacity;
        } else {
            in_queue_.assign(8, 0);
            put_be32(&in_queue_[0], block_count() - 1);
            put_be32(&in_queue_[4], BLOCK);
        }
        break;
    case OP_REQUEST_SENSE:
        in_queue_.assign(18, 0);
        in_queue_[0] = 0x70;
        in_queue_[2] = sense_[0];
        in_queue_[7] = 10;
        in_queue_[12] = sense_[1];
        in_queue_[13] = sense_[2];
        if (options_.faults.sense_data)
            in_queue_ = *options_.faults.sense_data;
        in_queue_.resize(std::min<size_t>(in_queue_.size(), expected_));
        set_sense(0, 0, 0);
        break;
    case OP_READ_10: {
        const uint32_t lba = be32(cdb + 2);
        const uint32_t count = (uint32_t{cdb[7]} << 8) | cdb[8];
        for (uint32_t i = 0; i < count; ++i) {
            const std::vector<uint8_t> block = read_block(lba + i);
            in_queue_.insert(in_queue_.end(), block.begin(), block.end());
        }
        if (lba + count > block_count())
            set_sense(SENSE_ILLEGAL_REQUEST, 0x21, 0x00), status_ = 1;
        break;
    }
    case OP_WRITE_10:
        lba_ = be32(cdb + 2);
        phase_ = expected_ > 0 ? Phase::data_out : Phase::status;
        return;
    case OP_VENDOR_DFU:
        // The host announces 31 bytes host to device and then reads the
        // answer: the answer is queued whatever the wrapper said.
        run_dfu(cdb + 1);
        break;
    default:
        set_sense(SENSE_ILLEGAL_REQUEST, 0x20, 0x00);
        status_ = 1;
        phase_ = Phase::status;
        return;
    }
    phase_ = in_queue_.empty() ? Phase::status : Phase::data_in;
}

void Bootloader::run_dfu(const uint8_t* request)
{
    std::vector<uint8_t> response(DFU_RESPONSE, 0);
    // A request without the prefix is one this bootloader does not know.
    const uint8_t command = request[0] == DFU_PREFIX ? request[1] : DFU_UNKNOWN_REQUEST;
    dfu_requests_.push_back(command);
    const Faults& faults = options_.faults;
    const auto forced = faults.dfu_status.find(command);
    const bool refused = forced != faults.dfu_status.end() && forced->second != DFU_OK;
    uint8_t status = DFU_OK;

    if (faults.restart_before_answer == command) {
        // Off the bus at once: a reset goes where the scenario says, any
        // other request back to the application.
        const bool reset = command == DFU_RESET;
        resets_requested_ += reset ? 1 : 0;
        detached_ = true;
        will_return_ = !reset || options_.after_reset != ResetOutcome::never_comes_back;
        return_in_dfu_ = reset && options_.after_reset == ResetOutcome::comes_back_in_dfu;
        return;
    }
    if (command == DFU_GET_INFO) {
        response[0] = dfu_mode_ ? 0x01 : 0x00;
        response[2] = static_cast<uint8_t>(options_.dfu_version);
        response[3] = static_cast<uint8_t>(options_.dfu_version >> 8);
        put_le32(&response[4], options_.hw_version);
    } else if (refused) {
        status = forced->second;
    } else if (command == DFU_RESET) {
        ++resets_requested_;
        detach_after_status_ = true;
        will_return_ = options_.after_reset != ResetOutcome::never_comes_back;
        return_in_dfu_ = options_.after_reset == ResetOutcome::comes_back_in_dfu;
    } else if (command == DFU_LEAVE) {
        ++leaves_requested_;
        detach_after_status_ = true;
        will_return_ = true;
        return_in_dfu_ = false;
    } else if (!dfu_mode_) {
        status = DFU_NOT_IN_DFU_MODE;
    } else if (command == DFU_CLEAR_SECTOR) {
        const uint32_t sector = le32(request + 2);
        size_t first = 0;
        size_t length = 0;
        if (auto it = faults.clear_sector_status.find(sector);
            it != faults.clear_sector_status.end()) {
            status = it->second;
        } else if (!sector_range(sector, first, length)) {
            status = DFU_BAD_ARGUMENT;
        } else {
            std::fill_n(flash_.begin() + static_cast<std::ptrdiff_t>(first), length, 0xFF);
            cleared_sectors_.push_back(sector);
        }
    } else if (command == DFU_SET_MODE) {
        const uint8_t mode = request[2];
        if (mode > MODE_LAST) {
            status = DFU_BAD_ARGUMENT;
        } else {
            if (mode == MODE_VERIFY)
                first_mismatch_.reset();
            transfer_mode_ = mode;
        }
    } else {
        status = DFU_UNKNOWN_REQUEST;
    }

    if (command != DFU_GET_INFO)
        response[0] = status;
    if (faults.dfu_response_length)
        response.resize(std::min(response.size(), *faults.dfu_response_length));
    in_queue_ = std::move(response);
}

bool Bootloader::sector_range(uint32_t sector, size_t& first, size_t& length) const
{
    const auto& sizes = options_.flash.sector_sizes;
    if (sector == 0 || sector >= sizes.size())
        return false;
    first = 0;
    for (uint32_t s = 1; s < sector; ++s)
        first += sizes[s];
    length = sizes[sector];
    return true;
}

std::vector<uint8_t> Bootloader::read_block(uint32_t lba) const
{
    std::vector<uint8_t> block(BLOCK, 0);
    if (transfer_mode_ == MODE_VERIFY && lba == 0) {
        // The verdict block: 0 when every block sent matched the flash,
        // otherwise 1 and the byte address of the first difference.
        if (first_mismatch_) {
            block[0] = 1;
            put_le32(&block[1], *first_mismatch_);
        }
        return block;
    }
    if (lba < block_count())
        std::copy_n(flash_.begin() + static_cast<std::ptrdiff_t>(size_t{lba} * BLOCK), BLOCK,
                    block.begin());
    return block;
}

void Bootloader::store_written_block(uint32_t lba, const uint8_t* data)
{
    if (lba >= block_count()) {
        set_sense(SENSE_ILLEGAL_REQUEST, 0x21, 0x00);
        status_ = 1;
        return;
    }
    uint8_t* cell = &flash_[size_t{lba} * BLOCK];
    if (!dfu_mode_ || transfer_mode_ == MODE_IDLE)
        return;
    if (transfer_mode_ == MODE_PROGRAM) {
        // NOR flash: programming only clears bits, so an unerased block
        // ends up as the AND of old and new.
        for (uint32_t i = 0; i < BLOCK; ++i)
            cell[i] &= data[i];
        return;
    }
    for (uint32_t i = 0; i < BLOCK && !first_mismatch_; ++i)
        if (cell[i] != data[i])
            first_mismatch_ = lba * BLOCK + i;
}

}  // namespace sim
