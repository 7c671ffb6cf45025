// The poll tick and the link part of the paint routine.

#include "panel_fixture.h"

namespace {

class PollTest : public PanelTest {};

TEST_F(PollTest, FlashingPhaseChangesEveryThirdTick)
{
    // Closed first, then connected: twelve ticks end a whole phase, so the connected round
    // starts on the same footing as the first one did, and the connect must not disturb it.
    for (bool connected : {false, true}) {
        SCOPED_TRACE(connected);
        if (connected)
            Connect();
        std::vector<int> changes;
        uint8_t phase = m_model.m_bBlink;
        for (int tick = 1; tick <= 12; ++tick) {
            m_model.OnTimer();
            if (m_model.m_bBlink != phase)
                changes.push_back(tick);
            phase = m_model.m_bBlink;
        }
        EXPECT_EQ(changes, (std::vector<int>{3, 6, 9, 12}));
    }
}

TEST_F(PollTest, FlashingLedFollowsThePhase)
{
    m_model.m_led[0] = 2;
    m_model.m_led[1] = 1;
    std::vector<bool> lit;
    for (int tick = 1; tick <= 6; ++tick) {
        m_model.OnTimer();
        lit.push_back(m_model.LedLit(0));
        EXPECT_TRUE(m_model.LedLit(1));
        EXPECT_FALSE(m_model.LedLit(2));
    }
    EXPECT_EQ(lit, (std::vector<bool>{false, false, true, true, true, false}));
}

TEST_F(PollTest, ReportsAreTakenOnePerTick)
{
    Connect();
    const int delivered = m_panel.BlocksDelivered();
    m_panel.SendReport({'2'});
    m_panel.SendReport({'5'});
    m_panel.SendReport({'0'});

    Ticks(1);
    EXPECT_EQ(MarkedKeys(), std::vector<int>{1});
    EXPECT_EQ(m_panel.BlocksDelivered(), delivered + 1);
    Ticks(1);
    EXPECT_EQ(MarkedKeys(), std::vector<int>{4});
    Ticks(1);
    EXPECT_TRUE(MarkedKeys().empty());
    EXPECT_EQ(m_panel.BlocksDelivered(), delivered + 3);
    EXPECT_FALSE(m_panel.Busy());
    // The PC only answered: its bytes are the three DLE pairs of the receives.
    EXPECT_EQ(Hex(m_device.Written()), "10 10 10 10 10 10");
    EXPECT_TRUE(m_panel.Log().empty());
}

TEST_F(PollTest, SelectorReportShowsInTheSameTick)
{
    Connect();
    m_paintedSwitch1.clear();
    m_panel.SendReport({'C', 'x', 'y'});
    Ticks(1);
    EXPECT_EQ(m_model.Switch1Number(), 3);
    // The readout is invalidated, the pending paint runs, then the direct paint.
    EXPECT_EQ(m_view.m_log, (Strings{"inval 100,382,140,412 keep", "update", "pending-paint", "paint"}));
    EXPECT_EQ(m_paintedSwitch1, (std::vector<int>{3, 3}));

    m_view.Clear();
    m_panel.SendReport({'S'});
    Ticks(1);
    EXPECT_EQ(m_model.Switch2Number(), 3);
    EXPECT_EQ(m_view.m_log, (Strings{"inval 220,382,260,412 keep", "update", "pending-paint", "paint"}));
}

TEST_F(PollTest, NoBytesWaitingMeansNoReceiveButAPaint)
{
    Connect();
    Ticks(1);
    EXPECT_TRUE(m_device.Written().empty());
    EXPECT_EQ(m_view.m_log, (Strings{"update", "paint"}));
    EXPECT_EQ(m_model.m_link.m_bOpen, 1);

    // Demonstration mode: the same, with the status line.
    m_model.m_link.Close();
    m_model.g_bWasConnected = 0;
    m_view.Clear();
    Ticks(1);
    EXPECT_EQ(m_view.m_log, (Strings{"update", "paint"}));
    EXPECT_TRUE(m_bStatusShown);
}

TEST_F(PollTest, FailedReceiveBeforeAnyPayloadChangesNothing)
{
    Connect();
    m_model.m_keyDown[3] = 1;
    m_model.m_chSwitch1 = 'E';
    m_model.m_chSwitch2 = 'U';

    // Input that does not start with STX is dropped without an answer.
    m_device.Feed({0x10, '1', 'A', 'Q'});
    Ticks(1);
    EXPECT_EQ(MarkedKeys(), std::vector<int>{3});
    EXPECT_EQ(m_model.Switch1Number(), 5);
    EXPECT_EQ(m_model.Switch2Number(), 5);
    EXPECT_TRUE(m_device.Written().empty());
    EXPECT_EQ(m_device.Pending(), 0u);
    EXPECT_EQ(m_model.m_link.m_bOpen, 1);

    // An empty block stores nothing either.
    const int delivered = m_panel.BlocksDelivered();
    m_panel.SendReport({});
    Ticks(1);
    EXPECT_EQ(MarkedKeys(), std::vector<int>{3});
    EXPECT_EQ(m_panel.BlocksDelivered(), delivered + 1);

    // STX and then silence: the time-out closes the link, and the paint of the same tick
    // gives the one-time notice.
    m_view.Clear();
    m_device.Feed({0x02});
    Ticks(1);
    EXPECT_EQ(MarkedKeys(), std::vector<int>{3});
    EXPECT_EQ(m_model.Switch1Number(), 5);
    EXPECT_EQ(m_model.m_link.m_bOpen, 0);
    EXPECT_EQ(m_view.Messages(), std::vector<int>{IDS_PANEL_NOT_FOUND});
    EXPECT_TRUE(m_bStatusShown);
}

TEST_F(PollTest, BlockBrokenOffAfterItsFirstByteStillApplies)
{
    Connect();
    m_device.Feed({0x02, '3'});
    Ticks(1);
    EXPECT_EQ(MarkedKeys(), std::vector<int>{2});
    EXPECT_EQ(m_model.m_link.m_bOpen, 0);
}

TEST_F(PollTest, ReportWithDoubledDleOrOddBytesIsIgnored)
{
    Connect();
    m_model.m_keyDown[7] = 1;
    const int delivered = m_panel.BlocksDelivered();
    for (const Bytes& report : {Bytes{0x10, '1'}, Bytes{0x03}, Bytes{0xB1}, Bytes{'=', '1'}}) {
        SCOPED_TRACE(Hex(report));
        m_panel.SendReport(report);
        Ticks(1);
        EXPECT_EQ(MarkedKeys(), std::vector<int>{7});
        EXPECT_EQ(m_model.m_link.m_bOpen, 1);
    }
    EXPECT_EQ(m_panel.BlocksDelivered(), delivered + 4);
}

// ---------------------------------------------------------------------------------------
// The link part of the paint routine

TEST_F(PollTest, LinkNoticeTransitions)
{
    // Open: no notice, no status line, flag set whatever it was.
    Connect();
    for (uint8_t was : {0, 1}) {
        m_model.g_bWasConnected = was;
        EXPECT_FALSE(m_model.CheckLink());
        EXPECT_EQ(m_model.g_bWasConnected, 1);
    }
    EXPECT_TRUE(m_view.Messages().empty());

    // Lost since the last paint: the notice once, then the status line.
    m_model.m_link.Close();
    EXPECT_TRUE(m_model.CheckLink());
    EXPECT_EQ(m_model.g_bWasConnected, 0);
    EXPECT_EQ(m_view.Messages(), std::vector<int>{IDS_PANEL_NOT_FOUND});

    // Already known to be closed: status line only.
    EXPECT_TRUE(m_model.CheckLink());
    EXPECT_TRUE(m_model.CheckLink());
    EXPECT_EQ(m_view.Messages().size(), 1u);
    EXPECT_EQ(m_model.g_bWasConnected, 0);
}

TEST_F(PollTest, TickInsideTheNoticeShowsNoSecondNotice)
{
    Connect();
    int nested = 0;
    m_view.m_onMessage = [&](int) {
        // The notice's modal loop keeps delivering the timer.
        if (nested++ == 0)
            Ticks(2);
    };
    m_model.m_link.Close();
    Ticks(1);
    EXPECT_EQ(m_view.Messages(), std::vector<int>{IDS_PANEL_NOT_FOUND});
    EXPECT_EQ(m_view.Count("paint"), 3);
    EXPECT_TRUE(m_bStatusShown);
    EXPECT_EQ(m_model.g_bWasConnected, 0);
}

TEST_F(PollTest, LinkOpenAgainWhenNoticeClosesShowsNoStatusLine)
{
    Connect();
    m_view.m_onMessage = [&](int) { m_model.m_link.Open(PortDevicePath(1), 9600); };
    m_model.m_link.Close();
    EXPECT_FALSE(m_model.CheckLink());
    EXPECT_EQ(m_model.g_bWasConnected, 1);
    EXPECT_EQ(m_view.Messages().size(), 1u);
}

} // namespace
