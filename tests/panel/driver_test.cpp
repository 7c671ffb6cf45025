// The panel driver against the in-process panel: each way a connect can end, the bytes of every
// telegram it sends (worked out by hand), what Poll makes of each kind of report and of a failed
// receive, and its observers told in order.
#include "engine_panel.h"
#include "panel_driver.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;

class DriverTest : public ::testing::Test, protected IPanelDriverObserver {
protected:
    DriverTest() { m_driver.AddObserver(this); }
    ~DriverTest() override { m_driver.RemoveObserver(this); }

    CConnectResult Connect() { return m_driver.Connect(1, "/dev/kova-test", 9600); }
    void OnPanelEvent(const CPanelEvent& event) override
    {
        m_told.push_back("event " + std::to_string(static_cast<int>(event.kind)) + " " + std::to_string(event.n));
    }
    void OnLinkLost(int64_t) override { m_told.push_back("lost"); }

    CFakeClock m_clock;
    CFakeSerialDevice m_device{m_clock};
    CEnginePanel m_panel{m_device, m_clock};
    CPanelDriver m_driver{&m_device, &m_clock};
    Strings m_told;
};

TEST_F(DriverTest, EachWayAConnectEnds)
{
    m_device.FailNextOpen("No such file or directory");
    CConnectResult r = Connect();
    EXPECT_EQ(r.outcome, ConnectOutcome::PortError);
    EXPECT_TRUE(r.strError.contains(QStringLiteral("No such file or directory")));
    EXPECT_TRUE(m_panel.Log().empty());

    m_panel.SetSilent(true);
    r = Connect();
    EXPECT_EQ(r.outcome, ConnectOutcome::NotFound);
    EXPECT_FALSE(r.bLinkUp);
    EXPECT_EQ(m_driver.Stats().Counts().nConnects, 0u);

    m_panel.SetSilent(false);
    m_panel.SetIdentifyReply({'K', 'C', 'Z'});
    r = Connect();
    EXPECT_TRUE(r.Connected());
    EXPECT_EQ(r.nVariant, 1);
    EXPECT_EQ(r.selector1, uint8_t{'C'});
    EXPECT_EQ(r.selector2, uint8_t{'Z'});
    EXPECT_EQ(m_driver.State().nSelector1, 3);
    EXPECT_EQ(m_driver.State().nSelector2, 10);
    EXPECT_EQ(m_panel.Telegrams(), (Strings{"23", "40", "6C 2B"}));

    // Found, then silent from "@" on: the connect ends with the link down, and that is a loss.
    m_panel.ClearLog();
    m_told.clear();
    m_panel.SetReplyHook([&](const Bytes& t, std::optional<Bytes> reply) {
        if (t == Bytes{'@'})
            m_panel.SetSilent(true);
        return reply;
    });
    r = Connect();
    EXPECT_EQ(r.outcome, ConnectOutcome::Found);
    EXPECT_FALSE(r.Connected());
    EXPECT_FALSE(m_driver.State().bLinkUp);
    EXPECT_EQ(m_driver.Stats().Counts().nLinkLosses, 1u);
    EXPECT_EQ(m_told, Strings{"lost"});
}

TEST_F(DriverTest, TelegramsAndTheirResults)
{
    ASSERT_TRUE(Connect().Connected());
    m_panel.ClearLog();
    EXPECT_TRUE(m_driver.SetLed(1, kLedOn).Ok());
    EXPECT_TRUE(m_driver.SetLed(12, kLedFlashing).Ok());
    EXPECT_TRUE(m_driver.SetLed(5, kLedOff).Ok());
    EXPECT_EQ(m_driver.SetLed(13, kLedOn).nSent, kBlockClosed); // no such key: nothing sent
    EXPECT_TRUE(m_driver.WriteCell(7, 14, 3, 0xFF).Ok());
    EXPECT_TRUE(m_driver.LedsOff().Ok());
    const CExchange raw = m_driver.SendTelegram(QByteArray("l+", 2), true);
    EXPECT_EQ(raw.nSent, kBlockDone);
    ASSERT_TRUE(raw.nReceived);
    std::array<QString, kLcdRows> rows;
    rows[0] = QStringLiteral("AB");
    EXPECT_TRUE(m_driver.WriteRows(rows).Ok());
    Strings expected{
        "31", "5C",    "45",       "6C 27 37 3E 40 42 FF",
        "40", "6C 2B", "6C 2B 25", "6C 26 A1 A2 23 00 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20"};
    for (int r = 1; r < kLcdRows; ++r)
        expected.push_back("6C 26 23 00 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20");
    EXPECT_EQ(m_panel.Telegrams(), expected);
    EXPECT_EQ(m_driver.State().leds[0], kLedOff); // "@" put every LED out
    EXPECT_EQ(m_driver.State().rows[0], QStringLiteral("AB"));

    m_driver.Close();
    EXPECT_EQ(m_driver.SetLed(1, kLedOn).nSent, kBlockClosed);
}

TEST_F(DriverTest, PollDecodesEachReportAndNeverAFailedReceive)
{
    ASSERT_TRUE(Connect().Connected());
    m_told.clear();
    using Kind = CPanelEvent::Kind;
    const std::pair<uint8_t, std::pair<Kind, int>> reports[] = {
        {'3', {Kind::Key, 3}},       {'0', {Kind::NoKey, 0}},       {'<', {Kind::Key, 12}},
        {'E', {Kind::Selector1, 5}}, {'\\', {Kind::Selector2, 12}}, {'x', {Kind::Unknown, 0}}};
    for (const auto& [byte, expected] : reports) {
        m_panel.SendReport({byte, 'z'});
        const CPollResult poll = m_driver.Poll();
        ASSERT_TRUE(poll.event) << byte;
        EXPECT_EQ(poll.event->kind, expected.first) << byte;
        EXPECT_EQ(poll.event->n, expected.second) << byte;
        EXPECT_EQ(poll.event->telegram, QByteArray(reinterpret_cast<const char*>(&byte), 1) + 'z');
    }
    EXPECT_EQ(m_driver.State().nSelector1, 5);
    EXPECT_EQ(m_driver.State().nSelector2, 12);
    EXPECT_EQ(m_driver.State().nKeyDown, 12);
    EXPECT_EQ(m_told.size(), 6u);

    // Not a block: received and dropped, no report. Then the line hangs up: a loss, told once.
    m_panel.Engine().sendRaw(Bytes{'3', '3'}, m_clock.Peek());
    CPollResult poll = m_driver.Poll();
    EXPECT_TRUE(poll.bReceived);
    EXPECT_EQ(poll.nResult, kBlockWrongByte);
    EXPECT_FALSE(poll.event);
    m_device.HangUpAt(m_clock.Peek());
    poll = m_driver.Poll();
    EXPECT_TRUE(poll.bReceived);
    EXPECT_EQ(poll.nResult, kBlockClosed);
    EXPECT_FALSE(poll.event);
    EXPECT_EQ(m_told.back(), "lost");
    EXPECT_EQ(m_told.size(), 7u);
    EXPECT_FALSE(m_driver.Poll().bReceived);
}

} // namespace
