#pragma once

#include <cstdint>

// Blocks the calling thread for the given time. Kept in a file of its own so
// that tests can link a recording stand-in instead.
void sleep_milliseconds(uint32_t milliseconds);
