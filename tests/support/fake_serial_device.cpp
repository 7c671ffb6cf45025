#include "fake_serial_device.h"

#include <algorithm>

void CFakeSerialDevice::Feed(const Bytes& bytes, int64_t atMs)
{
    for (uint8_t b : bytes) {
        // Stable insertion keeps bytes of equal time in the order they were fed.
        auto pos = std::upper_bound(m_scheduled.begin(), m_scheduled.end(), atMs,
                                    [](int64_t t, const Arrival& a) { return t < a.atMs; });
        m_scheduled.insert(pos, Arrival{atMs, b});
    }
}

void CFakeSerialDevice::FeedAfterWrites(size_t nWritten, const Bytes& bytes, int32_t delayMs)
{
    if (m_written.size() >= nWritten)
        Feed(bytes, m_clock.Peek() + delayMs);
    else
        m_triggers.push_back(Trigger{nWritten, bytes, delayMs});
}

void CFakeSerialDevice::Deliver()
{
    while (!m_scheduled.empty() && m_scheduled.front().atMs <= m_clock.Peek()) {
        m_ready.push_back(m_scheduled.front().byte);
        m_scheduled.pop_front();
    }
}

bool CFakeSerialDevice::Open(const std::string& path, int baud)
{
    m_strPath = path;
    m_nBaud = baud;
    if (!m_strOpenFailure.empty()) {
        m_strLastError = m_strOpenFailure;
        m_strOpenFailure.clear();
        return false;
    }
    m_strLastError.clear();
    m_bOpen = true;
    ++m_nOpens;
    return true;
}

void CFakeSerialDevice::Close()
{
    m_bOpen = false;
}

void CFakeSerialDevice::WriteByte(uint8_t byte)
{
    m_written.push_back(byte);
    for (auto it = m_triggers.begin(); it != m_triggers.end();) {
        if (m_written.size() >= it->nWritten) {
            Trigger t = *it;
            it = m_triggers.erase(it);
            Feed(t.bytes, m_clock.Peek() + t.delayMs);
        } else {
            ++it;
        }
    }
    if (m_reaction)
        m_reaction(*this, byte);
}

int CFakeSerialDevice::InputQueued()
{
    Deliver();
    // As the interface has it: a hung-up line counts as one byte waiting, so the next read
    // meets the hang-up.
    if (m_ready.empty() && HungUp())
        return 1;
    return static_cast<int>(m_ready.size());
}

ISerialDevice::ReadStatus CFakeSerialDevice::ReadByte(uint8_t* byte)
{
    Deliver();
    if (!m_ready.empty()) {
        *byte = m_ready.front();
        m_ready.pop_front();
        return ReadStatus::Byte;
    }
    return HungUp() ? ReadStatus::Error : ReadStatus::Nothing;
}

ISerialDevice::WaitStatus CFakeSerialDevice::WaitReadable(int timeoutMs)
{
    ++m_nWaits;
    Deliver();
    if (!m_ready.empty())
        return WaitStatus::Readable;
    if (HungUp())
        return WaitStatus::HungUp;
    const int64_t deadline = m_clock.Peek() + (timeoutMs < 0 ? 0 : timeoutMs);
    int64_t wake = deadline;
    if (!m_scheduled.empty() && m_scheduled.front().atMs < wake)
        wake = m_scheduled.front().atMs;
    if (m_nHangUpAt >= 0 && m_nHangUpAt < wake)
        wake = m_nHangUpAt;
    if (wake > m_clock.Peek())
        m_clock.Set(wake);
    Deliver();
    if (!m_ready.empty())
        return WaitStatus::Readable;
    return HungUp() ? WaitStatus::HungUp : WaitStatus::TimedOut;
}
