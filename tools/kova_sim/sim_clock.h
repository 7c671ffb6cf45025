#pragma once

// The simulator's own time: microseconds since it started, on the monotonic clock. The engine
// counts in milliseconds; the loop and the byte pacing need the finer grain.

#include <chrono>
#include <cstdint>

namespace kova_sim {

using Us = std::int64_t;
inline const auto g_start = std::chrono::steady_clock::now();

inline Us nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - g_start).count();
}

inline std::int64_t toMs(Us us)
{
    return us / 1000;
}

} // namespace kova_sim
