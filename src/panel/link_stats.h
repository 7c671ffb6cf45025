#pragma once

#include "serial_link.h"

#include <array>
#include <cstdint>
#include <functional>

// The results a block exchange can end with, in the order the counters keep them.
inline constexpr std::array<int, 4> kBlockResults = {kBlockDone, kBlockNoByte, kBlockWrongByte, kBlockClosed};

// Counts of block exchanges and of the link's life. Exchanges are counted by direction and
// result; a call on a link that was already closed puts nothing on the line and is counted
// apart, as not sent.
struct CLinkCounts {
    std::array<uint64_t, kBlockResults.size()> sent{};
    std::array<uint64_t, kBlockResults.size()> received{};
    uint64_t nNotSent = 0;    // SendBlock or ReceiveBlock called with the link closed
    uint64_t nLinkLosses = 0; // a time-out or read error closed a connected link
    uint64_t nConnects = 0;   // handshakes that found the panel
    uint64_t nLineErrors = 0; // parity, framing and overrun errors a network server reported

    // Position of a result in the arrays, -1 for a code the block procedure never returns.
    static int ResultIndex(int nResult);
    uint64_t Sent(int nResult) const;
    uint64_t Received(int nResult) const;
    // Exchanges that did not end 0.
    uint64_t Failures() const;
    uint64_t Exchanges() const;
    // What happened between `earlier` and this.
    CLinkCounts Since(const CLinkCounts& earlier) const;
};

// Keeps CLinkCounts by watching the link, beside the traffic trace. The block procedure itself
// knows nothing of it.
class CLinkStats final : public ILinkObserver {
public:
    explicit CLinkStats(const CSerialLink& link) : m_link(link) {}

    const CLinkCounts& Counts() const { return m_counts; }
    // The panel answered a handshake: the link counts as connected until it is lost or the
    // program closes it for the next connect.
    void OnConnect();
    void OnReconnecting() { m_bConnected = false; }

    // Told of every exchange that went on the line and did not end 0, after it is counted.
    std::function<void(bool bSent, const uint8_t* pData, int nLen, int nResult)> onFailedExchange;

    void OnBlockSent(const uint8_t* pData, int nLen, int nVariant, int nResult) override;
    void OnBlockReceived(const uint8_t* pData, int nLen, int nResult) override;
    void OnLinkLost() override;
    void OnDeviceNote(const CDeviceNote& note) override;

private:
    void Count(bool bSent, const uint8_t* pData, int nLen, int nResult);

    const CSerialLink& m_link;
    CLinkCounts m_counts;
    bool m_bConnected = false;
};
