#pragma once

// A libusb-1.0 stand-in whose every answer comes from the fuzzer's input:
// the device list and descriptors, the result of each call, the length and
// bytes of each bulk transfer. It keeps libusb's side of the contract (never
// writes more than asked, terminates strings, describes consistent
// configurations) and aborts when the updater breaks the caller's side
// (a closed handle or an exited context used), which a real libusb would
// answer with a use after free.

#include "fuzz_input.h"

namespace fuzzed_usb {

// Answers come from `input` until end(); end() releases every device, list
// and handle handed out since begin().
void begin(FuzzInput* input);
void end();

}  // namespace fuzzed_usb
