#include "clock.h"

#include <chrono>

int32_t CSteadyClock::NowMs()
{
    static const auto origin = std::chrono::steady_clock::now();
    const auto elapsed = std::chrono::steady_clock::now() - origin;
    // Wraps after 24 days like the original millisecond counter; callers use differences only.
    return static_cast<int32_t>(
        static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
}

IClock& DefaultClock()
{
    static CSteadyClock clock;
    return clock;
}
