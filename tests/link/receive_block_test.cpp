// ReceiveBlock: unstuffing and storage, the pair-flag rule, overlong blocks, and every result
// with the state of the link after it.
#include "link_test_util.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr uint8_t kUntouched = 0xEE;

class ReceiveBlockLine : public OpenLinkTest {
protected:
    // The panel's STX now; after the PC's DLE, the rest of its block.
    void PanelSends(const Bytes& afterDle)
    {
        m_device.Feed({0x02});
        m_device.FeedAfterWrites(m_device.Written().size() + 1, afterDle);
    }

    std::array<uint8_t, kReplyBufferSize> m_buf{};
    int m_count = -1;

    void SetUp() override
    {
        OpenLinkTest::SetUp();
        m_buf.fill(kUntouched);
    }
};

TEST_F(ReceiveBlockLine, OneByteTelegramIsAcceptedWhateverItsBcc)
{
    // The BCC is read and never checked, so the right values of both variants, a wrong one and
    // the control byte values all end the block the same way.
    for (uint8_t bcc : {0x22, 0x20, 0x00, 0x10, 0x02, 0x03, 0x15}) {
        SCOPED_TRACE(static_cast<int>(bcc));
        m_device.ClearWritten();
        m_buf.fill(kUntouched);
        PanelSends({0x31, 0x10, 0x03, bcc});

        EXPECT_EQ(m_link.ReceiveBlock(m_buf.data(), &m_count), kBlockDone);
        EXPECT_EQ(m_count, 1);
        EXPECT_EQ(m_buf[0], 0x31);
        EXPECT_EQ(m_buf[1], kUntouched);
        EXPECT_EQ(m_device.Written(), (Bytes{0x10, 0x10}));
        EXPECT_EQ(m_device.Pending(), 0u);
        EXPECT_EQ(m_link.m_bOpen, 1);
    }
}

// What lands in the buffer for each block: the data unstuffed, nothing past its end, and the
// PC's DLE after the STX and after the BCC.
struct StoreCase {
    const char* name;
    Bytes afterDle; // the panel's block after the PC's DLE
    Bytes stored;
};

class ReceiveBlockStore : public ReceiveBlockLine, public ::testing::WithParamInterface<StoreCase> {};

TEST_P(ReceiveBlockStore, StoresTheUnstuffedData)
{
    const StoreCase& c = GetParam();
    PanelSends(c.afterDle);
    EXPECT_EQ(m_link.ReceiveBlock(m_buf.data(), &m_count), kBlockDone);
    EXPECT_EQ(m_count, static_cast<int>(c.stored.size()));
    EXPECT_EQ(Bytes(m_buf.begin(), m_buf.begin() + c.stored.size()), c.stored);
    EXPECT_EQ(m_buf[c.stored.size()], kUntouched);
    EXPECT_EQ(m_device.Written(), (Bytes{0x10, 0x10}));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Line, ReceiveBlockStore, ::testing::Values(
    StoreCase{"EtxNotAfterASingleDleIsData", {0x41, 0x03, 0x42, 0x10, 0x03, 0x5F}, {0x41, 0x03, 0x42}},
    StoreCase{"DoubledDleIsStoredCompactlyAsOneByte", {0x41, 0x10, 0x10, 0x42, 0x10, 0x03, 0x00}, {0x41, 0x10, 0x42}},
    StoreCase{"EmptyTelegramStoresNothing", {0x10, 0x03, 0x13}, {}},
    // 10 41: the 41 is data and the pair flag stays set, so the next 10 is the second of a
    // pair and stores 10; then 10 03 ends the block.
    StoreCase{"OnlyASecondDleClearsThePairFlag", {0x10, 0x41, 0x10, 0x10, 0x03, 0x00}, {0x41, 0x10}},
    // 10 10 is a data 10 and leaves the data state, so the 03 after it is data too.
    StoreCase{"EtxAfterADataDleIsData", {0x10, 0x10, 0x03, 0x10, 0x03, 0x00}, {0x10, 0x03}},
    StoreCase{"StxInsideTheDataIsData", {0x02, 0x02, 0x10, 0x03, 0x11}, {0x02, 0x02}}),
    [](const ::testing::TestParamInfo<StoreCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(ReceiveBlockLine, EachByteMayTakeTheWholeReplyTimeOut)
{
    m_device.Feed({0x02});
    m_device.FeedAfterWrites(1, {0x31}, 364);
    m_device.FeedAfterWrites(1, {0x10}, 728);
    m_device.FeedAfterWrites(1, {0x03}, 1092);
    m_device.FeedAfterWrites(1, {0x00}, 1456);
    EXPECT_EQ(m_link.ReceiveBlock(m_buf.data(), &m_count), kBlockDone);
    EXPECT_EQ(m_count, 1);
    EXPECT_EQ(m_clock.Peek(), 1456);
    EXPECT_EQ(m_device.Written(), (Bytes{0x10, 0x10}));
}

TEST_F(ReceiveBlockLine, OverlongBlockIsReadToItsEndAndNothingPastTheBufferIsWritten)
{
    // 300 data bytes, every 16th of them a 0x10 that goes on the line doubled; the pattern
    // never produces a 0x03 right after a single DLE.
    constexpr int kTelegram = 300;
    Bytes payload;
    Bytes line;
    for (int i = 0; i < kTelegram; ++i) {
        const uint8_t b = (i % 16 == 5) ? 0x10 : static_cast<uint8_t>(0x20 + i % 64);
        payload.push_back(b);
        line.push_back(b);
        if (b == 0x10)
            line.push_back(0x10);
    }
    line.insert(line.end(), {0x10, 0x03, 0x7E});
    ASSERT_GT(line.size(), 300u);

    // The buffer sits between two guard regions.
    std::array<uint8_t, 64 + kReplyBufferSize + 64> region;
    region.fill(kUntouched);
    uint8_t* buf = region.data() + 64;

    PanelSends(line);
    EXPECT_EQ(m_link.ReceiveBlock(buf, &m_count), kBlockDone);
    EXPECT_EQ(m_count, kReplyBufferSize);
    EXPECT_TRUE(std::equal(buf, buf + kReplyBufferSize, payload.begin()));
    EXPECT_TRUE(std::all_of(region.begin(), region.begin() + 64, [](uint8_t b) { return b == kUntouched; }));
    EXPECT_TRUE(std::all_of(region.end() - 64, region.end(), [](uint8_t b) { return b == kUntouched; }));
    EXPECT_EQ(m_device.Written(), (Bytes{0x10, 0x10})) << "the whole block is acknowledged";
    EXPECT_EQ(m_device.Pending(), 0u);
    EXPECT_EQ(m_link.m_bOpen, 1);
}

TEST_F(ReceiveBlockLine, SmallerCapacityIsHonoured)
{
    std::array<uint8_t, 8> region;
    region.fill(kUntouched);
    PanelSends({0x41, 0x42, 0x43, 0x44, 0x10, 0x03, 0x00});
    EXPECT_EQ(m_link.ReceiveBlock(region.data(), &m_count, 2), kBlockDone);
    EXPECT_EQ(m_count, 2);
    EXPECT_EQ(region[0], 0x41);
    EXPECT_EQ(region[1], 0x42);
    EXPECT_EQ(region[2], kUntouched);
}

// --- result 34: the first byte is not STX ---

TEST_F(ReceiveBlockLine, NoStxDropsEverythingWaitingAndAnswersNothing)
{
    m_buf[0] = 0x31;
    m_device.Feed({0x10, 0x02, 0x31, 0x10, 0x03, 0x00});
    EXPECT_EQ(m_link.ReceiveBlock(m_buf.data(), &m_count), kBlockWrongByte);
    EXPECT_EQ(m_count, -1);
    EXPECT_EQ(m_buf[0], 0x31) << "position 0 keeps its former content";
    EXPECT_TRUE(m_device.Written().empty());
    EXPECT_EQ(m_device.Pending(), 0u);
    EXPECT_EQ(m_link.m_bOpen, 1);
}

TEST_F(ReceiveBlockLine, BlockAfterDroppedGarbageIsReceivedNextTime)
{
    m_device.Feed({0xFF, 0x00, 0x55});
    EXPECT_EQ(m_link.ReceiveBlock(m_buf.data(), &m_count), kBlockWrongByte);
    EXPECT_TRUE(m_device.Written().empty());

    m_device.Feed({0x02}, 10);
    m_device.FeedAfterWrites(1, {0x40, 0x10, 0x03, 0x53});
    EXPECT_EQ(m_link.ReceiveBlock(m_buf.data(), &m_count), kBlockDone);
    EXPECT_EQ(m_count, 1);
    EXPECT_EQ(m_buf[0], 0x40);
}

// --- result 255 ---

TEST(ReceiveBlockClosed, ClosedLinkReadsAndWritesNothing)
{
    CFakeClock clock;
    CFakeSerialDevice device(clock);
    CSerialLink link(&device, &clock);
    device.Feed({0x02});
    uint8_t buf[kReplyBufferSize] = {};
    int count = -1;
    EXPECT_EQ(link.ReceiveBlock(buf, &count), kBlockClosed);
    EXPECT_EQ(count, -1);
    EXPECT_TRUE(device.Written().empty());
    EXPECT_EQ(device.Pending(), 1u);
}

TEST_F(ReceiveBlockLine, NothingArrivingClosesTheLinkAfterTheTimeOut)
{
    EXPECT_EQ(m_link.ReceiveBlock(m_buf.data(), &m_count), kBlockClosed);
    EXPECT_EQ(m_clock.Peek(), 365);
    EXPECT_EQ(m_link.m_bOpen, 0);
    EXPECT_TRUE(m_device.Written().empty());
}

TEST_F(ReceiveBlockLine, PanelSilentAfterOurDleClosesTheLinkAndStoresNoCount)
{
    m_device.Feed({0x02});
    EXPECT_EQ(m_link.ReceiveBlock(m_buf.data(), &m_count), kBlockClosed);
    EXPECT_EQ(m_clock.Peek(), 365);
    EXPECT_EQ(m_count, -1);
    EXPECT_EQ(m_link.m_bOpen, 0);
    EXPECT_EQ(m_device.Written(), (Bytes{0x10}));
}

TEST_F(ReceiveBlockLine, PanelStallingMidBlockClosesTheLink)
{
    m_device.Feed({0x02});
    m_device.FeedAfterWrites(1, {0x31});
    m_device.FeedAfterWrites(1, {0x10, 0x03, 0x00}, 365);
    EXPECT_EQ(m_link.ReceiveBlock(m_buf.data(), &m_count), kBlockClosed);
    EXPECT_EQ(m_count, -1);
    EXPECT_EQ(m_link.m_bOpen, 0);
    EXPECT_EQ(m_device.Written(), (Bytes{0x10})) << "a broken block is never acknowledged";
}

TEST_F(ReceiveBlockLine, MissingBccClosesTheLink)
{
    PanelSends({0x31, 0x10, 0x03});
    EXPECT_EQ(m_link.ReceiveBlock(m_buf.data(), &m_count), kBlockClosed);
    EXPECT_EQ(m_count, -1);
    EXPECT_EQ(m_link.m_bOpen, 0);
    EXPECT_EQ(m_device.Written(), (Bytes{0x10}));
}

// --- result 33 ---

TEST(ReceiveBlockNoByte, EmptyReadAtStxInDataOrAtBccLeavesTheLinkOpen)
{
    // Reads: 1 the STX, 2 the 31, 3 the DLE, 4 the ETX, 5 the BCC.
    struct Case {
        int emptyRead;
        Bytes written;
    };
    for (const Case& c : {Case{1, {}}, Case{2, {0x10}}, Case{5, {0x10}}}) {
        SCOPED_TRACE(c.emptyRead);
        CFakeClock clock;
        CFakeSerialDevice peer(clock);
        CDroppingReadDevice device(peer, {c.emptyRead});
        CSerialLink link(&device, &clock);
        ASSERT_EQ(link.Open(PortDevicePath(1), 9600), 1);
        peer.Feed({0x02});
        peer.FeedAfterWrites(1, {0x31, 0x10, 0x03, 0x22});

        uint8_t buf[kReplyBufferSize] = {};
        int count = -1;
        EXPECT_EQ(link.ReceiveBlock(buf, &count), kBlockNoByte);
        EXPECT_EQ(count, -1);
        EXPECT_EQ(link.m_bOpen, 1);
        EXPECT_EQ(peer.Written(), c.written);
    }
}

TEST(ReceiveBlockHangUp, LineHangingUpAtAnyReadClosesTheLinkWithoutSpinning)
{
    // Each row's line has hung up behind the bytes shown, so the hang-up meets the read after
    // them: the read that closes the link ends the exchange as closed.
    struct Case {
        const char* name;
        Bytes first;    // waiting at the start
        Bytes afterDle; // sent by the panel after our DLE
        Bytes written;
    };
    const Case kCases[] = {
        {"before the STX", {}, {}, {}},
        {"while dropping what is not a block", {0x41}, {}, {}},
        {"after our DLE", {0x02}, {}, {0x10}},
        {"in the data", {0x02}, {0x31, 0x32}, {0x10}},
        {"before the BCC", {0x02}, {0x31, 0x10, 0x03}, {0x10}},
        {"while dropping an endless block", {0x02}, Bytes(kMaxBlockLineBytes, 0x41), {0x10}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        CFakeClock clock;
        CFakeSerialDevice device(clock);
        CSerialLink link(&device, &clock);
        ASSERT_EQ(link.Open(PortDevicePath(1), 9600), 1);
        device.Feed(c.first);
        device.FeedAfterWrites(1, c.afterDle);
        device.HangUpAt(0);

        std::vector<uint8_t> buf(kReplyBufferSize);
        int count = -1;
        EXPECT_EQ(link.ReceiveBlock(buf.data(), &count), kBlockClosed);
        EXPECT_EQ(link.m_bOpen, 0);
        EXPECT_FALSE(device.IsOpen());
        EXPECT_EQ(count, -1);
        EXPECT_EQ(device.Written(), c.written);
        EXPECT_LT(clock.Peek(), 364);
        EXPECT_LE(device.WaitCalls(), 3);
        EXPECT_EQ(link.ReceiveBlock(buf.data(), &count), kBlockClosed);
    }
}

} // namespace

namespace {

class ReceiveBlockEndless : public ReceiveBlockLine {};

TEST_F(ReceiveBlockEndless, StreamWithoutAnEndIsGivenUpAndTheLinkStaysOpen)
{
    // A panel that babbles on, one byte a millisecond, never sending DLE ETX: each byte comes
    // well within the reply time-out, so only a bound on the block's length ends the receive.
    Bytes stream(kMaxBlockLineBytes + 500, 0x41);
    m_device.Feed({0x02}, 0);
    for (size_t i = 0; i < stream.size(); ++i)
        m_device.Feed({stream[i]}, static_cast<int32_t>(1 + i));

    EXPECT_EQ(m_link.ReceiveBlock(m_buf.data(), &m_count), kBlockWrongByte);
    EXPECT_EQ(m_link.m_bOpen, 1);
    EXPECT_EQ(m_count, -1); // no count for a failed block
    EXPECT_EQ(m_buf[0], 0x41);
    EXPECT_EQ(m_buf[kReplyBufferSize - 1], 0x41);
    EXPECT_EQ(m_device.Written(), (Bytes{0x10})); // our DLE to the STX, no acknowledgement
    EXPECT_LE(m_clock.Peek(), kMaxBlockLineBytes + 1);
}

} // namespace
