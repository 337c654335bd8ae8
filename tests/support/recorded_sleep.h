#pragma once

#include <cstdint>
#include <vector>

// Pauses the updater asked for; the tests' sleep_milliseconds records them
// instead of waiting.
std::vector<uint32_t>& recorded_sleeps();
