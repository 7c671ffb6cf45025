#pragma once

#include "clock.h"

// A clock that moves only when told to, so time-outs can be tested to the millisecond.
class CFakeClock final : public IClock {
public:
    int32_t NowMs() override
    {
        ++m_nReadings;
        return m_nNow;
    }
    void Set(int32_t ms) { m_nNow = ms; }
    void Advance(int32_t ms) { m_nNow += ms; }
    int32_t Peek() const { return m_nNow; }
    long Readings() const { return m_nReadings; }

private:
    int32_t m_nNow = 0;
    long m_nReadings = 0;
};
