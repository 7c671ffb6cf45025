#pragma once

#include "fake_clock.h"
#include "serial_device.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

// A scripted serial peer on a fake clock. Bytes are fed with the clock time at which they
// arrive, or in answer to the PC having written a given number of bytes. Waiting advances the
// fake clock to the next arrival (or by the whole wait), so exchanges run instantly and
// deterministically.
class CFakeSerialDevice final : public ISerialDevice {
public:
    using Bytes = std::vector<uint8_t>;

    explicit CFakeSerialDevice(CFakeClock& clock) : m_clock(clock) {}

    // The peer's bytes arrive at clock time atMs (now, when omitted).
    void Feed(const Bytes& bytes, int64_t atMs);
    void Feed(const Bytes& bytes) { Feed(bytes, m_clock.Peek()); }
    // The peer's bytes arrive delayMs after the PC's write count reaches nWritten.
    void FeedAfterWrites(size_t nWritten, const Bytes& bytes, int32_t delayMs = 0);
    // Called after every byte the PC writes, for peers that react to content.
    void OnWrite(std::function<void(CFakeSerialDevice&, uint8_t)> reaction) { m_reaction = std::move(reaction); }

    // The line hangs up at clock time atMs: reads then fail once nothing is left to read.
    void HangUpAt(int64_t atMs) { m_nHangUpAt = atMs; }
    // The next Open fails with this reason.
    void FailNextOpen(const std::string& reason) { m_strOpenFailure = reason; }

    const Bytes& Written() const { return m_written; }
    void ClearWritten() { m_written.clear(); }
    size_t Pending() const { return m_ready.size() + m_scheduled.size(); }
    bool IsOpen() const { return m_bOpen; }
    const std::string& OpenedPath() const { return m_strPath; }
    int OpenedBaud() const { return m_nBaud; }
    int OpenCount() const { return m_nOpens; }
    long WaitCalls() const { return m_nWaits; }

    bool Open(const std::string& path, int baud) override;
    void Close() override;
    void WriteByte(uint8_t byte) override;
    int InputQueued() override;
    ReadStatus ReadByte(uint8_t* byte) override;
    WaitStatus WaitReadable(int timeoutMs) override;
    std::string LastError() const override { return m_strLastError; }

private:
    struct Arrival {
        int64_t atMs;
        uint8_t byte;
    };
    struct Trigger {
        size_t nWritten;
        Bytes bytes;
        int32_t delayMs;
    };
    void Deliver();
    bool HungUp() const { return m_nHangUpAt >= 0 && m_clock.Peek() >= m_nHangUpAt; }

    CFakeClock& m_clock;
    std::deque<uint8_t> m_ready;
    std::deque<Arrival> m_scheduled; // kept in arrival order
    std::vector<Trigger> m_triggers;
    std::function<void(CFakeSerialDevice&, uint8_t)> m_reaction;
    Bytes m_written;
    int64_t m_nHangUpAt = -1;
    bool m_bOpen = false;
    std::string m_strPath;
    int m_nBaud = 0;
    int m_nOpens = 0;
    long m_nWaits = 0;
    std::string m_strOpenFailure;
    std::string m_strLastError;
};
