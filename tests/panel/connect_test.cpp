// Connecting: the settings command, the reset command and the handshake with the panel.

#include "panel_fixture.h"

#include <cstdlib>

namespace {

class ConnectTest : public PanelTest {
protected:
    void TearDown() override
    {
        unsetenv("KOVA_COM1");
        unsetenv("KOVA_COM2");
    }
    // State that every connect must wipe.
    void Dirty()
    {
        m_model.m_led.fill(2);
        m_model.m_keyDown[3] = 1;
        m_model.m_keyDown[31] = 1;
        m_model.m_chSwitch1 = 'K';
        m_model.m_chSwitch2 = 'Z';
        for (QString& row : m_model.m_strRow)
            row = QStringLiteral("old");
        m_model.m_bPermTest = 1;
    }
    void ExpectWiped()
    {
        EXPECT_TRUE(AllLedsOff());
        EXPECT_TRUE(MarkedKeys().empty());
        for (const QString& row : m_model.m_strRow)
            EXPECT_TRUE(row.isEmpty());
        EXPECT_EQ(m_model.m_bPermTest, 0);
    }
};

TEST_F(ConnectTest, PanelTakingVariantOneGetsIdentifyLedsOffAndLcdReset)
{
    m_panel.SetIdentifyReply({0x23, 0x43, 0x53});
    m_model.OnSerialPort();

    EXPECT_EQ(m_model.m_link.m_bOpen, 1);
    EXPECT_EQ(m_model.m_nLinkVariant, 1);
    EXPECT_EQ(m_panel.Log(), (Strings{"23 v1", "40 v1", "6C 2B v1"}));
    EXPECT_EQ(m_model.Switch1Number(), 3);
    EXPECT_EQ(m_model.Switch2Number(), 3);
    EXPECT_EQ(m_model.m_strStatus, QStringLiteral("DEMO-MODE,  KOVA not connected"));
    EXPECT_EQ(m_device.OpenedPath(), "/dev/ttyS0");
    EXPECT_EQ(m_device.OpenedBaud(), 9600);
    // The identify reply and the "l+" reply were taken in; nothing is left waiting.
    EXPECT_EQ(m_panel.BlocksDelivered(), 2);
    EXPECT_EQ(m_device.Pending(), 0u);
    EXPECT_FALSE(m_panel.Busy());
    EXPECT_EQ(m_view.m_log, (Strings{"serial-dialog 0,0", "inval all keep", "update", "pending-paint"}));
    EXPECT_FALSE(m_bStatusShown);
}

// The variant a panel takes decides the handshake, and later telegrams use the variant found.
struct VariantCase {
    const char* name;
    bool accept0;
    bool accept1;
    Strings handshake;
    int open;
    int variant;
    std::vector<int> messages;
    bool rightClick; // on key 2; a left one on key 0
    Strings afterClick;
};

class ConnectVariant : public ConnectTest, public ::testing::WithParamInterface<VariantCase> {};

TEST_P(ConnectVariant, HandshakeAndLaterTelegrams)
{
    const VariantCase& c = GetParam();
    m_panel.AcceptVariants(c.accept0, c.accept1);
    m_model.OnSerialPort();

    EXPECT_EQ(m_model.m_link.m_bOpen, c.open);
    EXPECT_EQ(m_model.m_nLinkVariant, c.variant);
    EXPECT_EQ(m_panel.Log(), c.handshake);
    EXPECT_EQ(m_view.Messages(), c.messages);

    m_panel.ClearLog();
    if (c.rightClick)
        m_model.OnRButtonDown(KeyX(2), KeyY(2));
    else
        m_model.OnLButtonDown(KeyX(0), KeyY(0));
    EXPECT_EQ(m_panel.Log(), c.afterClick);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Connect, ConnectVariant, ::testing::Values(
    VariantCase{"PanelTakingVariantOneIsSpokenToInVariantOne", true, true,
                {"23 v1", "40 v1", "6C 2B v1"}, 1, 1, {}, false, {"31 v1"}},
    VariantCase{"PanelRefusingVariantOneIsSpokenToInVariantZero", true, false,
                {"23 NAK", "23 v0", "40 v0", "6C 2B v0"}, 1, 0, {}, true, {"53 v0"}},
    VariantCase{"PanelRefusingBothVariantsIsNotFound", false, false,
                {"23 NAK", "23 NAK"}, 0, 0, {IDS_PANEL_NOT_FOUND}, false, {}}),
    [](const ::testing::TestParamInfo<VariantCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(ConnectTest, SilentPanelClosesTheLinkWithOneMessage)
{
    m_panel.SetSilent(true);
    const int64_t start = m_clock.Peek();
    m_model.OnSerialPort();

    EXPECT_EQ(m_model.m_link.m_bOpen, 0);
    EXPECT_FALSE(m_device.IsOpen());
    // The variant-1 attempt timed out and closed the link, so variant 0 failed at once.
    EXPECT_EQ(m_model.m_nLinkVariant, 0);
    EXPECT_EQ(m_device.Written(), (Bytes{0x02}));
    EXPECT_EQ(m_clock.Peek() - start, 365);
    EXPECT_EQ(m_view.m_log, (Strings{"serial-dialog 0,0", "msg 32783", "inval all keep", "update", "pending-paint"}));
    // The paint of the connect shows the status line, without a second notice.
    EXPECT_TRUE(m_bStatusShown);
    EXPECT_EQ(m_model.m_strStatus, QStringLiteral("DEMO-MODE,  KOVA not connected"));
}

TEST_F(ConnectTest, PortThatCannotBeOpenedGivesBothMessagesInOrder)
{
    Dirty();
    m_device.FailNextOpen("No such file or directory");
    m_model.OnSerialPort();

    EXPECT_EQ(m_view.Messages(), (std::vector<int>{IDS_PORT_NOT_OPENED, IDS_PANEL_NOT_FOUND}));
    EXPECT_EQ(m_model.m_link.m_bOpen, 0);
    EXPECT_TRUE(m_device.Written().empty());
    EXPECT_TRUE(m_bStatusShown);
    ExpectWiped();
    EXPECT_EQ(m_model.Switch1Number(), 0);
    EXPECT_EQ(m_model.Switch2Number(), 0);
}

TEST_F(ConnectTest, SelectorsComeFromReplyBytesOneAndTwo)
{
    struct Case {
        Bytes reply;
        int sw1;
        int sw2;
    };
    const Case cases[] = {
        {{0x23, 0x43, 0x53}, 3, 3},
        {{0x00, 0x43, 0x53, 0x99, 0x99}, 3, 3}, // byte 0 and the tail are not looked at
        {{0x23, 0x4C, 0x5C}, 12, 12},
        // Taken unchecked: out-of-range characters show as their difference.
        {{0x23, 0x00, 0x50}, -64, 0},
        {{0x23, 0xFF, 0x7F}, -65, 47},
        // Too short to hold both positions: they stay unknown.
        {{0x43}, 0, 0},
        {{0x23, 0x43}, 0, 0},
        {{}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Hex(c.reply));
        m_panel.SetIdentifyReply(c.reply);
        m_model.OnResetPanel();
        ASSERT_EQ(m_model.m_link.m_bOpen, 1);
        EXPECT_EQ(m_model.Switch1Number(), c.sw1);
        EXPECT_EQ(m_model.Switch2Number(), c.sw2);
    }
}

TEST_F(ConnectTest, ReplyWaitEndsAfter364Milliseconds)
{
    // The wait for the first reply byte after "#" accepts a difference of exactly 364 ms.
    m_panel.SetReplyDelay(364);
    m_model.OnResetPanel();
    EXPECT_EQ(m_model.m_link.m_bOpen, 1);
    EXPECT_EQ(m_panel.Telegrams(), (Strings{"23", "40", "6C 2B"}));
    EXPECT_TRUE(m_view.Messages().empty());
    EXPECT_EQ(m_model.Switch1Number(), 1);

    CFakeClock clock;
    CFakeSerialDevice device{clock};
    CEnginePanel panel{device, clock};
    CTestView view;
    CPanelModel model{view, &device, &clock};
    model.InitState();
    panel.SetReplyDelay(365);
    model.OnResetPanel();
    EXPECT_EQ(model.m_link.m_bOpen, 0);
    EXPECT_EQ(model.m_nLinkVariant, 1); // "#" itself was accepted in variant 1
    EXPECT_EQ(panel.Telegrams(), Strings{"23"});
    EXPECT_EQ(view.Messages(), std::vector<int>{IDS_PANEL_NOT_FOUND});
    EXPECT_EQ(model.Switch1Number(), 0);
}

TEST_F(ConnectTest, BrokenReplyLeavesSelectorsUnknownButPanelFound)
{
    // Reply starting with something other than STX: dropped, the panel still counts as found.
    m_panel.SetReplyHook([&](const Bytes& t, std::optional<Bytes> reply) -> std::optional<Bytes> {
        if (t == Bytes{'#'}) {
            m_panel.Engine().sendRaw(Bytes{0x43, 0x43, 0x53}, m_clock.Peek());
            return std::nullopt;
        }
        return reply;
    });
    m_model.OnResetPanel();
    EXPECT_EQ(m_model.m_link.m_bOpen, 1);
    EXPECT_EQ(m_model.Switch1Number(), 0);
    EXPECT_EQ(m_model.Switch2Number(), 0);
    EXPECT_EQ(m_panel.Telegrams(), (Strings{"23", "40", "6C 2B"}));
    EXPECT_TRUE(m_view.Messages().empty());
}

TEST_F(ConnectTest, CancelKeepsSettingsAndStillReconnects)
{
    setenv("KOVA_COM2", "/tmp/kova-test-com2", 1);
    m_view.m_nPortAnswer = 1;
    m_view.m_nBaudAnswer = 1;
    m_model.OnSerialPort();
    ASSERT_EQ(m_model.m_link.m_bOpen, 1);

    Dirty();
    m_panel.ClearLog();
    m_view.Clear();
    m_view.m_bSerialOk = false;
    m_view.m_nPortAnswer = 0;
    m_view.m_nBaudAnswer = 0;
    const int opens = m_device.OpenCount();
    m_model.OnSerialPort();

    EXPECT_EQ(m_view.m_log.front(), "serial-dialog 1,1"); // preset from the settings
    EXPECT_EQ(m_model.m_nPort, 1);
    EXPECT_EQ(m_model.m_nBaud, 1);
    EXPECT_EQ(m_device.OpenCount(), opens + 1);
    EXPECT_EQ(m_device.OpenedPath(), "/tmp/kova-test-com2");
    EXPECT_EQ(m_device.OpenedBaud(), 19200);
    EXPECT_EQ(m_panel.Telegrams(), (Strings{"23", "40", "6C 2B"}));
    EXPECT_TRUE(m_view.Has("inval all keep"));
    ExpectWiped();
}

TEST_F(ConnectTest, ResetReopensChosenPortAndRateWithoutDialog)
{
    setenv("KOVA_COM1", "/tmp/kova-test-com1", 1);
    setenv("KOVA_COM2", "/tmp/kova-test-com2", 1);
    m_model.OnSerialPort();
    EXPECT_EQ(m_device.OpenedPath(), "/tmp/kova-test-com1");
    EXPECT_EQ(m_device.OpenedBaud(), 9600);

    m_view.m_nPortAnswer = 1;
    m_view.m_nBaudAnswer = 1;
    m_model.OnSerialPort();
    EXPECT_EQ(m_device.OpenedPath(), "/tmp/kova-test-com2");
    EXPECT_EQ(m_device.OpenedBaud(), 19200);

    m_view.Clear();
    m_panel.ClearLog();
    const int opens = m_device.OpenCount();
    m_model.OnResetPanel();
    EXPECT_EQ(m_device.OpenCount(), opens + 1);
    EXPECT_EQ(m_device.OpenedPath(), "/tmp/kova-test-com2");
    EXPECT_EQ(m_device.OpenedBaud(), 19200);
    EXPECT_FALSE(m_view.Has("serial-dialog 1,1"));
    EXPECT_EQ(m_view.m_log, (Strings{"inval all keep", "update", "pending-paint"}));
    EXPECT_EQ(m_panel.Telegrams(), (Strings{"23", "40", "6C 2B"}));
}

TEST_F(ConnectTest, EveryConnectWipesStateAndEndsPermanenceTest)
{
    Connect();
    m_model.OnPermTestStart();
    Ticks(3);
    ASSERT_FALSE(AllLedsOff());
    Dirty();
    m_panel.ClearLog();
    m_model.OnResetPanel();
    ExpectWiped();
    // A connect does not send the test's stop telegram; only its own three.
    EXPECT_EQ(m_panel.Telegrams(), (Strings{"23", "40", "6C 2B"}));

    m_model.OnPermTestStart();
    Ticks(2);
    Dirty();
    m_model.OnSerialPort();
    ExpectWiped();

    // A failed connect wipes the same.
    Dirty();
    m_panel.SetSilent(true);
    m_model.OnSerialPort();
    ExpectWiped();
    // The test stays ended: the next tick only holds the step counter at 0.
    m_model.g_nPermStep = 9;
    Ticks(1);
    EXPECT_EQ(m_model.g_nPermStep, 0);
    EXPECT_TRUE(AllLedsOff());
}

TEST_F(ConnectTest, SettingsCommandClearsWasConnectedButResetDoesNot)
{
    Connect();
    ASSERT_EQ(m_model.g_bWasConnected, 1);

    // Reset against a panel that went away: its own message, then the paint's notice.
    m_panel.SetSilent(true);
    m_model.OnResetPanel();
    EXPECT_EQ(m_view.Messages(), (std::vector<int>{IDS_PANEL_NOT_FOUND, IDS_PANEL_NOT_FOUND}));
    EXPECT_EQ(m_model.g_bWasConnected, 0);

    // The settings command: the text once, from the command alone.
    m_panel.SetSilent(false);
    m_model.OnResetPanel();
    ASSERT_EQ(m_model.g_bWasConnected, 1);
    m_panel.SetSilent(true);
    m_view.Clear();
    m_model.OnSerialPort();
    EXPECT_EQ(m_view.Messages(), std::vector<int>{IDS_PANEL_NOT_FOUND});
    EXPECT_EQ(m_model.g_bWasConnected, 0);
}

TEST_F(ConnectTest, HandshakeOnClosedLinkTouchesNothing)
{
    m_model.m_bPermTest = 1;
    m_model.m_chSwitch1 = 'C';
    m_model.m_nLinkVariant = 0;
    EXPECT_EQ(m_model.Handshake(), 0xFF);
    EXPECT_EQ(m_model.m_nLinkVariant, 1);
    EXPECT_EQ(m_model.m_bPermTest, 1);
    EXPECT_EQ(m_model.Switch1Number(), 3);
    EXPECT_EQ(m_model.m_strStatus, QStringLiteral("DEMO-MODE,  KOVA not connected"));
    EXPECT_TRUE(m_device.Written().empty());
}

} // namespace
