// WaitForInput: the reply time-out to the millisecond, a clock that wraps, hang-up, no
// polling; and the observer that sees each exchange.
#include "link_test_util.h"

#include <climits>

namespace {

TEST_F(OpenLinkTest, InputAlreadyWaitingReturnsAtOnce)
{
    m_device.Feed({0x10});
    EXPECT_EQ(m_link.WaitForInput(), 1);
    EXPECT_EQ(m_device.WaitCalls(), 0);
    EXPECT_EQ(m_clock.Peek(), 0);
}

TEST_F(OpenLinkTest, ByteAtExactlyTheLimitIsTakenOneLaterClosesTheLink)
{
    m_clock.Set(1000);
    m_device.Feed({0x10}, 1364);
    EXPECT_EQ(m_link.WaitForInput(), 1);
    EXPECT_EQ(m_link.m_bOpen, 1);

    uint8_t ch = 0;
    ASSERT_EQ(m_link.ReadByte(&ch), 1);
    m_device.Feed({0x10}, m_clock.Peek() + 365);
    EXPECT_EQ(m_link.WaitForInput(), 0);
    EXPECT_EQ(m_link.m_bOpen, 0);
    EXPECT_FALSE(m_device.IsOpen());
    EXPECT_EQ(m_clock.Peek(), 1364 + 365);
}

TEST_F(OpenLinkTest, SilenceIsWaitedForInTheSystemNotPolled)
{
    EXPECT_EQ(m_link.WaitForInput(), 0);
    EXPECT_EQ(m_clock.Peek(), 365);
    EXPECT_LE(m_device.WaitCalls(), 2);
    EXPECT_LE(m_clock.Readings(), 4);
}

TEST_F(OpenLinkTest, HangUpEndsTheWaitAndTheNextReadClosesTheLink)
{
    m_device.HangUpAt(100);
    EXPECT_EQ(m_link.WaitForInput(), 1);
    EXPECT_EQ(m_clock.Peek(), 100);
    uint8_t ch = 0;
    EXPECT_EQ(m_link.ReadByte(&ch), 0);
    EXPECT_EQ(m_link.m_bOpen, 0);
}

// A clock whose 32-bit reading wraps from INT32_MAX to INT32_MIN, as it does after 24.8 days,
// and a peer whose one byte arrives at a given 32-bit reading.
class CWrappingClock final : public IClock {
public:
    explicit CWrappingClock(uint32_t start) : m_now(start) {}
    int64_t NowMs64() override { return m_now; }
    void Advance(uint32_t ms) { m_now += ms; }
    uint32_t Raw() const { return static_cast<uint32_t>(m_now); }

private:
    int64_t m_now;
};

class CLateByteDevice final : public ISerialDevice {
public:
    CLateByteDevice(CWrappingClock& clock, uint32_t arrival) : m_clock(clock), m_arrival(arrival) {}
    bool Open(const std::string&, int) override { return true; }
    void Close() override {}
    void WriteByte(uint8_t) override {}
    int InputQueued() override { return Arrived() ? 1 : 0; }
    ReadStatus ReadByte(uint8_t* byte) override
    {
        if (!Arrived())
            return ReadStatus::Nothing;
        *byte = 0x10;
        return ReadStatus::Byte;
    }
    WaitStatus WaitReadable(int timeoutMs) override
    {
        ++m_nWaits;
        const uint32_t toArrival = m_arrival - m_clock.Raw();
        const uint32_t step = Arrived() ? 0 : std::min<uint32_t>(toArrival, static_cast<uint32_t>(timeoutMs));
        m_clock.Advance(step);
        return Arrived() ? WaitStatus::Readable : WaitStatus::TimedOut;
    }
    std::string LastError() const override { return {}; }
    int m_nWaits = 0;

private:
    bool Arrived() const { return static_cast<int32_t>(m_clock.Raw() - m_arrival) >= 0; }
    CWrappingClock& m_clock;
    uint32_t m_arrival;
};

TEST(WaitForInputClockWrap, ByteArrivingAcrossTheWrapIsTaken)
{
    for (uint32_t after : {1u, 300u, 364u}) {
        SCOPED_TRACE(after);
        const uint32_t start = static_cast<uint32_t>(INT32_MAX) - 100;
        CWrappingClock clock(start);
        CLateByteDevice device(clock, start + after);
        CSerialLink link(&device, &clock);
        ASSERT_EQ(link.Open(PortDevicePath(1), 9600), 1);
        EXPECT_EQ(link.WaitForInput(), 1);
        EXPECT_EQ(link.m_bOpen, 1);
        EXPECT_EQ(clock.Raw(), start + after);
    }
}

TEST(WaitForInputClockWrap, SilenceAcrossTheWrapTimesOutAfterTheLimitNotBefore)
{
    for (uint32_t start :
         {static_cast<uint32_t>(INT32_MAX) - 100, 0xFFFFFFFFu - 50, static_cast<uint32_t>(INT32_MAX)}) {
        SCOPED_TRACE(start);
        CWrappingClock clock(start);
        CLateByteDevice device(clock, start + 10000);
        CSerialLink link(&device, &clock);
        ASSERT_EQ(link.Open(PortDevicePath(1), 9600), 1);
        EXPECT_EQ(link.WaitForInput(), 0);
        EXPECT_EQ(link.m_bOpen, 0);
        EXPECT_EQ(clock.Raw() - start, 365u);
        EXPECT_LE(device.m_nWaits, 2);
    }
}

// --- observer ---

struct Seen {
    bool sent;
    Bytes data;
    int variant;
    int result;
};

class CRecordingObserver final : public ILinkObserver {
public:
    void OnBlockSent(const uint8_t* pData, int nLen, int nVariant, int nResult) override
    {
        m_seen.push_back({true, Bytes(pData, pData + (nLen > 0 ? nLen : 0)), nVariant, nResult});
    }
    void OnBlockReceived(const uint8_t* pData, int nLen, int nResult) override
    {
        m_seen.push_back({false, Bytes(pData, pData + nLen), -1, nResult});
    }
    std::vector<Seen> m_seen;
};

TEST_F(OpenLinkTest, ObserverSeesEveryExchangeWithItsResult)
{
    CRecordingObserver observer;
    m_link.SetObserver(&observer);

    const uint8_t row[] = {0x6C, 0x2B, 0x25};
    m_device.FeedAfterWrites(1, {0x10});
    m_device.FeedAfterWrites(7, {0x10});
    ASSERT_EQ(m_link.SendBlock(row, 3, 0), kBlockDone);

    m_device.Feed({0x02});
    m_device.FeedAfterWrites(8, {0x31, 0x10, 0x10, 0x10, 0x03, 0x00});
    uint8_t buf[kReplyBufferSize] = {};
    int count = 0;
    ASSERT_EQ(m_link.ReceiveBlock(buf, &count), kBlockDone);

    m_device.Feed({0x41});
    ASSERT_EQ(m_link.ReceiveBlock(buf, &count), kBlockWrongByte);

    ASSERT_EQ(m_link.SendBlock(row, 1, 1), kBlockClosed);

    ASSERT_EQ(observer.m_seen.size(), 4u);
    EXPECT_TRUE(observer.m_seen[0].sent);
    EXPECT_EQ(observer.m_seen[0].data, (Bytes{0x6C, 0x2B, 0x25}));
    EXPECT_EQ(observer.m_seen[0].variant, 0);
    EXPECT_EQ(observer.m_seen[0].result, kBlockDone);

    EXPECT_FALSE(observer.m_seen[1].sent);
    EXPECT_EQ(observer.m_seen[1].data, (Bytes{0x31, 0x10}));
    EXPECT_EQ(observer.m_seen[1].result, kBlockDone);

    EXPECT_FALSE(observer.m_seen[2].sent);
    EXPECT_TRUE(observer.m_seen[2].data.empty());
    EXPECT_EQ(observer.m_seen[2].result, kBlockWrongByte);

    EXPECT_TRUE(observer.m_seen[3].sent);
    EXPECT_EQ(observer.m_seen[3].variant, 1);
    EXPECT_EQ(observer.m_seen[3].result, kBlockClosed);

    m_link.SetObserver(nullptr);
    m_link.Close();
    ASSERT_EQ(m_link.SendBlock(row, 1, 1), kBlockClosed);
    EXPECT_EQ(observer.m_seen.size(), 4u);
}

} // namespace
