#include "update/sleep.h"

#include <chrono>
#include <thread>

void sleep_milliseconds(uint32_t milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
