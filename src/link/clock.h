#pragma once

#include <cstdint>

// Monotonic millisecond clock; tests inject a fake. Records and reports of a run measure with
// the 64-bit reading, which never wraps. The block procedure reads the same clock as a signed
// 32-bit number and only ever looks at differences of two readings, which stay right across
// that number's wrap after 24.8 days.
class IClock {
public:
    virtual ~IClock() = default;
    virtual int64_t NowMs64() = 0;
    // The low 32 bits of NowMs64, as a signed number.
    int32_t NowMs() { return static_cast<int32_t>(static_cast<uint32_t>(NowMs64())); }
};

// Monotonic milliseconds since the first reading in this process, so a change of the system
// time can neither fire nor stretch a reply time-out.
class CSteadyClock final : public IClock {
public:
    int64_t NowMs64() override;
};

IClock& DefaultClock();
