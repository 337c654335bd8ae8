#pragma once

// Reads a fuzzer's input front to back as the answers of a device or the
// choices of a scenario. An exhausted input reads as zeros, and callers
// check exhausted() where zero would keep a loop going.

#include <cstddef>
#include <cstdint>

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool exhausted() const { return offset_ >= size_; }

    uint8_t byte() { return exhausted() ? 0 : data_[offset_++]; }

    uint16_t u16()
    {
        const uint16_t low = byte();
        return static_cast<uint16_t>(low | (byte() << 8));
    }

    uint32_t u32()
    {
        const uint32_t low = u16();
        return low | (uint32_t{u16()} << 16);
    }

    // A value in [0, bound).
    uint32_t below(uint32_t bound) { return bound == 0 ? 0 : byte() % bound; }

    bool flag() { return (byte() & 1) != 0; }

    // Copies up to n bytes; returns how many were left to copy.
    size_t copy(uint8_t* destination, size_t n)
    {
        size_t copied = 0;
        while (copied < n && !exhausted())
            destination[copied++] = data_[offset_++];
        return copied;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};
