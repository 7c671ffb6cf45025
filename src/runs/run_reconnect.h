#pragma once

#include <cstdint>

// A reconnect after a lost link is tried this often, as a user would with Reset KOVA and
// Permanence Test Start.
inline constexpr int kReconnectPeriodMs = 3000;

// When a run connects again after a lost link: every kReconnectPeriodMs from the
// loss, as a user would with Reset KOVA, until it is through, or until the run gives up after
// a time of its own. One schedule for the permanence test (on its poll tick) and the panel
// check (which pauses for it), so both rejoin a power-cycled panel alike.
class CReconnectPacer {
public:
    // nGiveUpAfterMs: how long after the loss the run stops trying; 0 never.
    explicit CReconnectPacer(int64_t nGiveUpAfterMs = 0) : m_nGiveUpAfterMs(nGiveUpAfterMs) {}

    // The link was found down at nNowMs; nothing changes while a loss is already being handled.
    void Lost(int64_t nNowMs);
    bool Pending() const { return m_nLostMs >= 0; }
    // When the next try is due, and whether it is by nNowMs.
    int64_t NextTryMs() const { return m_nNextMs; }
    bool Due(int64_t nNowMs) const { return Pending() && nNowMs >= m_nNextMs; }
    // A try made at nNowMs failed; the next one is a period later. False when the run gives up.
    bool Failed(int64_t nNowMs);
    // The link is up again.
    void Through() { m_nLostMs = -1; }

private:
    int64_t m_nGiveUpAfterMs;
    int64_t m_nLostMs = -1;
    int64_t m_nNextMs = 0;
};
