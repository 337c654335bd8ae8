#include "update/sleep.h"

// The restart wait of a fuzzed run passes at once.
void sleep_milliseconds(uint32_t) {}
