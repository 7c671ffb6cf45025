#include "clock.h"

#include <chrono>

int32_t CSteadyClock::NowMs()
{
    static const auto origin = std::chrono::steady_clock::now();
    const auto elapsed = std::chrono::steady_clock::now() - origin;
    // A signed 32-bit millisecond count wraps after 24.8 days; callers take differences only,
    // and those stay right across the wrap.
    return static_cast<int32_t>(
        static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
}

IClock& DefaultClock()
{
    static CSteadyClock clock;
    return clock;
}
