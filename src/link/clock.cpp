#include "clock.h"

#include <chrono>

int64_t CSteadyClock::NowMs64()
{
    static const auto origin = std::chrono::steady_clock::now();
    const auto elapsed = std::chrono::steady_clock::now() - origin;
    return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

IClock& DefaultClock()
{
    static CSteadyClock clock;
    return clock;
}
