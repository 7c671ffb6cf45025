#pragma once

// What a test can read about its own process: processor time, open descriptors, resident
// memory and elapsed wall time. The tests that check for spinning, leaks and growth share them.
#include <chrono>

// Processor time of this process (user and system), in milliseconds.
long CpuMs();
// Descriptors this process holds open.
int OpenDescriptors();
// Resident set size of this process in bytes, from /proc/self/statm.
long ResidentBytes();

using SteadyClock = std::chrono::steady_clock;
inline long MsSince(SteadyClock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count());
}
