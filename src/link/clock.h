#pragma once

#include <cstdint>

// Millisecond wall clock read as a signed 32-bit number. The block procedure only ever looks
// at differences of two readings, so the origin does not matter; tests inject a fake.
class IClock {
public:
    virtual ~IClock() = default;
    virtual int32_t NowMs() = 0;
};

// Monotonic milliseconds since the first reading in this process, so a change of the system
// time can neither fire nor stretch a reply time-out.
class CSteadyClock final : public IClock {
public:
    int32_t NowMs() override;
};

IClock& DefaultClock();
