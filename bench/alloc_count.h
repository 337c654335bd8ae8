#pragma once

// Heap allocations of this process, counted only while a measurement asks
// for it, and split by who asked: the updater itself, or the libusb double
// and the simulated device behind it (which stand in for the kernel and the
// device and are no part of the updater's cost).

#include <cstdint>

namespace alloc_count {

struct Tally {
    uint64_t updater = 0;
    uint64_t updater_bytes = 0;
    uint64_t stand_ins = 0;
    uint64_t stand_ins_bytes = 0;
};

// Counting on or off; off by default.
void set_counting(bool on);
Tally tally();
void clear();

// While alive, allocations are charged to the double and the device model.
class StandInScope {
public:
    StandInScope();
    ~StandInScope();
    StandInScope(const StandInScope&) = delete;
    StandInScope& operator=(const StandInScope&) = delete;
};

}  // namespace alloc_count
