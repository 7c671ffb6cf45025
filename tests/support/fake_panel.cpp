#include "fake_panel.h"

#include <cstdio>

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char cell[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(cell, sizeof cell, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += cell;
    }
    return text;
}

CFakePanel::CFakePanel(CFakeSerialDevice& device, CFakeClock& clock) : m_device(device), m_clock(clock)
{
    m_device.OnWrite([this](CFakeSerialDevice&, uint8_t b) { OnPcByte(b); });
}

std::optional<CFakePanel::Bytes> CFakePanel::DefaultReply(const Bytes& telegram) const
{
    if (telegram == Bytes{'#'})
        return m_identifyReply;
    if (!telegram.empty() && telegram[0] == 'l')
        return m_lcdReply;
    // LED telegrams and "@" get no block back.
    return std::nullopt;
}

void CFakePanel::SendReport(const Bytes& payload)
{
    m_outbox.push_back(Outgoing{payload, 0});
    StartNext();
}

void CFakePanel::StartNext()
{
    if (m_bSilent || m_state != State::Idle || m_outbox.empty())
        return;
    m_device.Feed({STX}, m_clock.Peek() + m_outbox.front().delayMs);
    m_state = State::TxAwaitReady;
}

void CFakePanel::OnPcByte(uint8_t b)
{
    if (m_bSilent)
        return;
    switch (m_state) {
    case State::Idle:
        if (b == STX) {
            m_line.clear();
            m_payload.clear();
            m_device.Feed({DLE});
            m_state = State::RxData;
        }
        break;
    case State::RxData:
        m_line.push_back(b);
        if (b == DLE)
            m_state = State::RxAfterDle;
        else
            m_payload.push_back(b);
        break;
    case State::RxAfterDle:
        if (b == DLE) {
            m_line.push_back(b);
            m_payload.push_back(DLE);
            m_state = State::RxData;
        } else if (b == ETX) {
            m_line.pop_back(); // the closing DLE is not data
            m_state = State::RxBcc;
        } else {
            // A lone DLE inside the data breaks the format; keep the byte and go on.
            m_line.push_back(b);
            m_payload.push_back(b);
            m_state = State::RxData;
        }
        break;
    case State::RxBcc: FinishReceived(b); break;
    case State::TxAwaitReady:
        if (b == DLE) {
            const Outgoing& block = m_outbox.front();
            Bytes body;
            uint8_t bcc = 0;
            for (uint8_t d : block.payload) {
                body.push_back(d);
                bcc ^= d;
                if (d == DLE) {
                    body.push_back(DLE);
                    bcc ^= DLE;
                }
            }
            body.push_back(DLE);
            body.push_back(ETX);
            body.push_back(bcc ^ DLE ^ ETX);
            m_device.Feed(body);
            m_state = State::TxAwaitAck;
        } else if (b == STX) {
            // Both sides started at once: the PC took the panel's STX as its answer. The
            // panel starts its block again afterwards.
            ++m_nCollisions;
            m_state = State::Idle;
            StartNext();
        }
        break;
    case State::TxAwaitAck:
        if (b == DLE) {
            ++m_nDelivered;
            m_outbox.pop_front();
            m_state = State::Idle;
            StartNext();
        }
        break;
    }
}

void CFakePanel::FinishReceived(uint8_t bcc)
{
    // Variant 1 covers the data as sent, DLE and ETX; variant 0 covers STX as well.
    uint8_t sum = DLE ^ ETX;
    for (uint8_t d : m_line)
        sum ^= d;
    int variant = -1;
    if (bcc == sum)
        variant = 1;
    else if (bcc == (sum ^ STX))
        variant = 0;
    const bool accepted = (variant == 0 && m_bAccept0) || (variant == 1 && m_bAccept1);
    m_state = State::Idle;
    if (!accepted) {
        m_log.push_back(Hex(m_payload) + " NAK");
        m_device.Feed({NAK});
        StartNext();
        return;
    }
    m_log.push_back(Hex(m_payload) + " v" + std::to_string(variant));
    m_telegrams.push_back(Hex(m_payload));
    m_device.Feed({DLE});
    const std::optional<Bytes> reply = m_responder ? m_responder(m_payload) : DefaultReply(m_payload);
    if (reply)
        m_outbox.push_front(Outgoing{*reply, m_nReplyDelayMs});
    StartNext();
}
