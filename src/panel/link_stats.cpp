#include "link_stats.h"

int CLinkCounts::ResultIndex(int nResult)
{
    for (size_t i = 0; i < kBlockResults.size(); ++i)
        if (kBlockResults[i] == nResult)
            return static_cast<int>(i);
    return -1;
}

uint64_t CLinkCounts::Sent(int nResult) const
{
    const int i = ResultIndex(nResult);
    return i < 0 ? 0 : sent[static_cast<size_t>(i)];
}

uint64_t CLinkCounts::Received(int nResult) const
{
    const int i = ResultIndex(nResult);
    return i < 0 ? 0 : received[static_cast<size_t>(i)];
}

uint64_t CLinkCounts::Exchanges() const
{
    uint64_t n = 0;
    for (size_t i = 0; i < kBlockResults.size(); ++i)
        n += sent[i] + received[i];
    return n;
}

uint64_t CLinkCounts::Failures() const
{
    return Exchanges() - Sent(kBlockDone) - Received(kBlockDone);
}

CLinkCounts CLinkCounts::Since(const CLinkCounts& earlier) const
{
    CLinkCounts d;
    for (size_t i = 0; i < kBlockResults.size(); ++i) {
        d.sent[i] = sent[i] - earlier.sent[i];
        d.received[i] = received[i] - earlier.received[i];
    }
    d.nNotSent = nNotSent - earlier.nNotSent;
    d.nLinkLosses = nLinkLosses - earlier.nLinkLosses;
    d.nConnects = nConnects - earlier.nConnects;
    d.nLineErrors = nLineErrors - earlier.nLineErrors;
    return d;
}

void CLinkStats::OnConnect()
{
    ++m_counts.nConnects;
    m_bConnected = true;
}

void CLinkStats::OnBlockSent(const uint8_t* pData, int nLen, int, int nResult)
{
    Count(true, pData, nLen < 0 ? 0 : nLen, nResult);
}

void CLinkStats::OnBlockReceived(const uint8_t* pData, int nLen, int nResult)
{
    Count(false, pData, nLen, nResult);
}

void CLinkStats::OnLinkLost()
{
    // A handshake that times out on a port without a panel closes the port too, but no link
    // was up to be lost.
    if (!m_bConnected)
        return;
    m_bConnected = false;
    ++m_counts.nLinkLosses;
}

void CLinkStats::OnDeviceNote(const CDeviceNote& note)
{
    if (note.bLineError)
        ++m_counts.nLineErrors;
}

void CLinkStats::Count(bool bSent, const uint8_t* pData, int nLen, int nResult)
{
    if (!m_link.ExchangeFoundOpen()) {
        ++m_counts.nNotSent;
        return;
    }
    const int i = CLinkCounts::ResultIndex(nResult);
    if (i >= 0)
        ++(bSent ? m_counts.sent : m_counts.received)[static_cast<size_t>(i)];
    if (nResult != kBlockDone && onFailedExchange)
        onFailedExchange(bSent, pData, nLen, nResult);
}
