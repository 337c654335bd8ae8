#include "recorded_sleep.h"

#include "update/sleep.h"

std::vector<uint32_t>& recorded_sleeps()
{
    static std::vector<uint32_t> sleeps;
    return sleeps;
}

void sleep_milliseconds(uint32_t milliseconds)
{
    recorded_sleeps().push_back(milliseconds);
}
