#pragma once

// Control side of the libusb double. Test programs link fake_libusb.cpp
// instead of libusb-1.0: the updater's libusb calls then reach the simulated
// bus, are recorded, and can be made to fail.

#include <cstdint>
#include <string>
#include <vector>

#include "usb_bus.h"

namespace fakeusb {

struct Call {
    std::string function;
    uint8_t endpoint = 0;       // bulk transfers and clear-halt
    std::vector<uint8_t> data;  // OUT: bytes sent; IN: bytes received
    int length = 0;             // bytes asked for
    unsigned timeout = 0;
    int result = 0;
    int transferred = 0;
};

// Attach a bus (may be null: no bus at all) and forget everything before.
void reset(sim::Bus* bus);

// Make the nth call (from 1) of a libusb function return `code`; nth 0
// makes every call fail.
void fail(const std::string& function, int code, int nth = 0);

// Stop (false) or resume (true) recording calls. A benchmark streaming
// thousands of blocks would otherwise measure the recording and grow with
// it. reset() turns recording back on.
void set_recording(bool on);

const std::vector<Call>& calls();
// Forget the calls recorded so far (failures planned stay planned).
void clear_calls();
// Only bulk transfers and halt clearings, the traffic on the wire.
std::vector<Call> traffic();
// Number of calls of one function.
int count(const std::string& function);

// Things no real libusb would survive: a transfer no device will ever
// answer with no time limit set (a hang), a released handle or an exited
// context used. Tests expect this to stay empty.
const std::vector<std::string>& violations();

}  // namespace fakeusb
