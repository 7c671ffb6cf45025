#include "run_reconnect.h"

void CReconnectPacer::Lost(int64_t nNowMs)
{
    if (Pending())
        return;
    m_nLostMs = nNowMs;
    m_nNextMs = nNowMs + kReconnectPeriodMs;
}

bool CReconnectPacer::Failed(int64_t nNowMs)
{
    m_nNextMs = nNowMs + kReconnectPeriodMs;
    return m_nGiveUpAfterMs <= 0 || nNowMs - m_nLostMs < m_nGiveUpAfterMs;
}
