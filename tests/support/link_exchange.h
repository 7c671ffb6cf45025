#pragma once

// A telegram sent through a real link and the panel's next block taken, as the tests that
// drive a virtual panel (on a pseudo-terminal, behind a serial device server) say
// them. Header only: it builds wherever the link does.
#include "serial_link.h"

#include <array>
#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline int SendTelegram(CSerialLink& link, const Bytes& telegram, int variant = 1)
{
    return link.SendBlock(telegram.data(), static_cast<int>(telegram.size()), variant);
}

// The receive waits for the STX itself; the block is kept only when it came whole.
inline int ReceiveTelegram(CSerialLink& link, Bytes* pTelegram)
{
    std::array<uint8_t, kReplyBufferSize> buf{};
    int count = 0;
    const int result = link.ReceiveBlock(buf.data(), &count);
    if (result == kBlockDone)
        pTelegram->assign(buf.begin(), buf.begin() + count);
    return result;
}
