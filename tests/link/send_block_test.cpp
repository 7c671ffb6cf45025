// SendBlock: the bytes on the line for each kind of telegram in both block-check variants,
// and every result with the state of the link after it. Expected bytes are worked out by
// hand: BCC = XOR of the data as sent (both bytes of a doubled DLE), then 0x13 in variant 1
// or 0x11 in variant 0.
#include "link_test_util.h"

namespace {

struct SendCase {
    const char* name;
    Bytes telegram;
    int variant;
    Bytes secondTurn; // everything the PC sends after the panel's DLE
};

const SendCase kSendCases[] = {
    // 23 ^ 13 = 30; 23 ^ 11 = 32.
    {"identify v1", {0x23}, 1, {0x23, 0x10, 0x03, 0x30}},
    {"identify v0", {0x23}, 0, {0x23, 0x10, 0x03, 0x32}},
    // 41 ^ 10 ^ 10 ^ 42 = 03; ^13 = 10, sent once; ^11 = 12.
    {"data DLE v1", {0x41, 0x10, 0x42}, 1, {0x41, 0x10, 0x10, 0x42, 0x10, 0x03, 0x10}},
    {"data DLE v0", {0x41, 0x10, 0x42}, 0, {0x41, 0x10, 0x10, 0x42, 0x10, 0x03, 0x12}},
    // 6C ^ 2B = 47, ^ 25 = 62; ^13 = 71; ^11 = 73.
    {"l+% v1", {0x6C, 0x2B, 0x25}, 1, {0x6C, 0x2B, 0x25, 0x10, 0x03, 0x71}},
    {"l+% v0", {0x6C, 0x2B, 0x25}, 0, {0x6C, 0x2B, 0x25, 0x10, 0x03, 0x73}},
    {"empty v1", {}, 1, {0x10, 0x03, 0x13}},
    {"empty v0", {}, 0, {0x10, 0x03, 0x11}},
    // A lone data DLE: its two copies cancel in the BCC.
    {"only DLE v1", {0x10}, 1, {0x10, 0x10, 0x10, 0x03, 0x13}},
    {"only DLE v0", {0x10}, 0, {0x10, 0x10, 0x10, 0x03, 0x11}},
    // STX and ETX as data travel bare; 02 ^ 03 = 01, ^13 = 12, ^11 = 10 sent once.
    {"STX ETX data v1", {0x02, 0x03}, 1, {0x02, 0x03, 0x10, 0x03, 0x12}},
    {"STX ETX data v0", {0x02, 0x03}, 0, {0x02, 0x03, 0x10, 0x03, 0x10}},
    // Two data DLEs in a row: four on the line. 10^10^10^10 = 0.
    {"DLE DLE v1", {0x10, 0x10}, 1, {0x10, 0x10, 0x10, 0x10, 0x10, 0x03, 0x13}},
};

// The tail of each block worked out without a line: the same bytes as in the exchange below.
TEST(BlockTail, DataDlesDoubledThenDleEtxAndTheCheck)
{
    for (const SendCase& c : kSendCases)
        EXPECT_EQ(BlockTail(c.telegram, c.variant), c.secondTurn) << c.name;
}

class SendBlockLine : public OpenLinkTest {};

TEST_F(SendBlockLine, EachTelegramGoesOutFramedEscapedAndChecked)
{
    for (const SendCase& c : kSendCases) {
        SCOPED_TRACE(c.name);
        m_device.ClearWritten();
        m_device.FeedAfterWrites(1, {0x10});
        m_device.FeedAfterWrites(1 + c.secondTurn.size(), {0x10});

        EXPECT_EQ(m_link.SendBlock(c.telegram.data(), static_cast<int>(c.telegram.size()), c.variant), kBlockDone);

        Bytes expected{0x02};
        expected.insert(expected.end(), c.secondTurn.begin(), c.secondTurn.end());
        EXPECT_EQ(m_device.Written(), expected);
        EXPECT_EQ(m_link.m_bOpen, 1);
        EXPECT_EQ(m_device.Pending(), 0u);
    }
}

TEST_F(SendBlockLine, NegativeLengthSendsAnEmptyBlock)
{
    const uint8_t unused = 0x55;
    m_device.FeedAfterWrites(1, {0x10});
    m_device.FeedAfterWrites(4, {0x10});
    EXPECT_EQ(m_link.SendBlock(&unused, -3, 1), kBlockDone);
    EXPECT_EQ(m_device.Written(), (Bytes{0x02, 0x10, 0x03, 0x13}));
}

TEST_F(SendBlockLine, PanelAnswersWithinTheReplyTimeOutEachTime)
{
    // The time-out bounds each wait on its own: two answers 364 ms apart make 728 ms in all.
    const uint8_t identify = 0x23;
    m_device.FeedAfterWrites(1, {0x10}, 364);
    m_device.FeedAfterWrites(5, {0x10}, 364);
    EXPECT_EQ(m_link.SendBlock(&identify, 1, 1), kBlockDone);
    EXPECT_EQ(m_clock.Peek(), 728);
    EXPECT_EQ(m_link.m_bOpen, 1);
}

TEST_F(SendBlockLine, AnswerOneMillisecondLateClosesTheLink)
{
    const uint8_t identify = 0x23;
    m_device.FeedAfterWrites(1, {0x10}, 365);
    EXPECT_EQ(m_link.SendBlock(&identify, 1, 1), kBlockClosed);
    EXPECT_EQ(m_link.m_bOpen, 0);
    EXPECT_FALSE(m_device.IsOpen());
    EXPECT_EQ(m_device.Written(), (Bytes{0x02}));
}

// --- result 34: the panel refuses ---

TEST_F(SendBlockLine, AnyAnswerToStxButDleRefusesAndSendsNothingMore)
{
    // 15 is the panel's NAK; 02 is the panel starting its own block at the same moment.
    for (uint8_t answer : {0x15, 0x02, 0x03, 0x00}) {
        SCOPED_TRACE(static_cast<int>(answer));
        m_device.ClearWritten();
        const uint8_t identify = 0x23;
        m_device.FeedAfterWrites(1, {answer, 0x41});
        EXPECT_EQ(m_link.SendBlock(&identify, 1, 1), kBlockWrongByte);
        EXPECT_EQ(m_device.Written(), (Bytes{0x02}));
        EXPECT_EQ(m_link.m_bOpen, 1);
        EXPECT_EQ(m_link.BytesWaiting(), 1) << "whatever followed the refusal stays waiting";
        uint8_t ch = 0;
        ASSERT_EQ(m_link.ReadByte(&ch), 1);
        EXPECT_EQ(ch, 0x41);
    }
}

TEST_F(SendBlockLine, NakToTheFinishedBlockIsRefusal)
{
    const uint8_t identify = 0x23;
    m_device.FeedAfterWrites(1, {0x10});
    m_device.FeedAfterWrites(5, {0x15});
    EXPECT_EQ(m_link.SendBlock(&identify, 1, 1), kBlockWrongByte);
    EXPECT_EQ(m_device.Written(), (Bytes{0x02, 0x23, 0x10, 0x03, 0x30}));
    EXPECT_EQ(m_link.m_bOpen, 1);
}

// --- result 255: closed, or the panel stays silent ---

TEST(SendBlockClosed, ClosedLinkSendsNothing)
{
    CFakeClock clock;
    CFakeSerialDevice device(clock);
    CSerialLink link(&device, &clock);
    const uint8_t identify = 0x23;
    EXPECT_EQ(link.SendBlock(&identify, 1, 1), kBlockClosed);
    EXPECT_TRUE(device.Written().empty());
    EXPECT_EQ(clock.Peek(), 0);
}

TEST_F(SendBlockLine, SilentPanelTimesOutJustAfterTheLimit)
{
    const uint8_t identify = 0x23;
    EXPECT_EQ(m_link.SendBlock(&identify, 1, 0), kBlockClosed);
    EXPECT_EQ(m_clock.Peek(), 365);
    EXPECT_EQ(m_link.m_bOpen, 0);
    EXPECT_EQ(m_device.Written(), (Bytes{0x02}));
    EXPECT_LE(m_device.WaitCalls(), 3) << "a silent panel must be waited for, not polled";

    // Every later exchange meets the closed link.
    EXPECT_EQ(m_link.SendBlock(&identify, 1, 0), kBlockClosed);
    EXPECT_EQ(m_device.Written(), (Bytes{0x02}));
}

TEST_F(SendBlockLine, PanelSilentAfterTheBlockClosesTheLink)
{
    const uint8_t identify = 0x23;
    m_device.FeedAfterWrites(1, {0x10});
    EXPECT_EQ(m_link.SendBlock(&identify, 1, 1), kBlockClosed);
    EXPECT_EQ(m_link.m_bOpen, 0);
    EXPECT_EQ(m_device.Written(), (Bytes{0x02, 0x23, 0x10, 0x03, 0x30}));
}

// --- result 33: input reported but the read delivered nothing ---

TEST(SendBlockNoByte, EmptyReadAfterStxOrAfterTheBlockLeavesTheLinkOpen)
{
    for (int emptyRead : {1, 2}) {
        SCOPED_TRACE(emptyRead);
        CFakeClock clock;
        CFakeSerialDevice peer(clock);
        CDroppingReadDevice device(peer, {emptyRead});
        CSerialLink link(&device, &clock);
        ASSERT_EQ(link.Open(PortDevicePath(1), 9600), 1);
        peer.FeedAfterWrites(1, {0x10});
        peer.FeedAfterWrites(5, {0x10});

        const uint8_t identify = 0x23;
        EXPECT_EQ(link.SendBlock(&identify, 1, 1), kBlockNoByte);
        EXPECT_EQ(link.m_bOpen, 1);
        EXPECT_EQ(peer.Written().size(), emptyRead == 1 ? 1u : 5u);
        EXPECT_EQ(link.BytesWaiting(), 1) << "the unread answer stays waiting";
    }
}

TEST(SendBlockHangUp, LineHangingUpAtEitherReadClosesTheLinkWithoutSpinning)
{
    // The read that meets the hang-up closes the link, so the exchange ends as closed, not as
    // a read that merely found nothing.
    struct Case {
        const char* name;
        Bytes answerToStx; // the panel's DLE, or nothing before it goes
        Bytes written;
    };
    const Case kCases[] = {
        {"before the answer to STX", {}, {0x02}},
        {"before the answer to the block", {0x10}, {0x02, 0x23, 0x10, 0x03, 0x30}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        CFakeClock clock;
        CFakeSerialDevice device(clock);
        CSerialLink link(&device, &clock);
        ASSERT_EQ(link.Open(PortDevicePath(1), 9600), 1);
        device.FeedAfterWrites(1, c.answerToStx);
        device.HangUpAt(40);

        const uint8_t identify = 0x23;
        EXPECT_EQ(link.SendBlock(&identify, 1, 1), kBlockClosed);
        EXPECT_EQ(link.m_bOpen, 0);
        EXPECT_FALSE(device.IsOpen());
        EXPECT_EQ(device.Written(), c.written);
        EXPECT_LT(clock.Peek(), 364) << "a hang-up is noticed at once, not after the time-out";
        EXPECT_LE(device.WaitCalls(), 3);
        EXPECT_LE(clock.Readings(), 10);
        EXPECT_EQ(link.SendBlock(&identify, 1, 1), kBlockClosed);
    }
}

} // namespace
