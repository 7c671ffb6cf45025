#pragma once

#include "clock.h"

// A clock that moves only when told to, so time-outs can be tested to the millisecond.
// Readings() counts reads of either width: NowMs reads through NowMs64.
class CFakeClock final : public IClock {
public:
    int64_t NowMs64() override
    {
        ++m_nReadings;
        return m_nNow;
    }
    void Set(int64_t ms) { m_nNow = ms; }
    void Advance(int64_t ms) { m_nNow += ms; }
    int64_t Peek() const { return m_nNow; }
    long Readings() const { return m_nReadings; }

private:
    int64_t m_nNow = 0;
    long m_nReadings = 0;
};
