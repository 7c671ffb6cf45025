// Mouse clicks on the keys and the LCD, and LCD text entry.

#include "panel_fixture.h"

namespace {

class ClickTest : public PanelTest {};

TEST_F(ClickTest, LeftAndRightClicksSwitchTheLed)
{
    Connect();
    const int x = KeyX(11), y = KeyY(11);
    struct Step {
        bool left;
        uint8_t state;
        std::string telegram;
    };
    // Key index 11: '<' on, 'L' off, '\' flashing.
    const Step steps[] = {
        {true, 1, "3C"},  // off -> on
        {true, 0, "4C"},  // on -> off
        {false, 2, "5C"}, // off -> flashing
        {false, 0, "4C"}, // flashing -> off
        {true, 1, "3C"},  // off -> on
        {false, 2, "5C"}, // on -> flashing
        {true, 0, "4C"},  // flashing -> off on a left click
    };
    for (const Step& s : steps) {
        m_panel.ClearLog();
        m_view.Clear();
        if (s.left)
            m_model.OnLButtonDown(x, y);
        else
            m_model.OnRButtonDown(x, y);
        EXPECT_EQ(m_model.m_led[11], s.state);
        EXPECT_EQ(m_panel.Log(), Strings{s.telegram + " v1"});
        EXPECT_EQ(m_view.m_log, Strings{"paint"});
    }
    // No reply is read after an LED telegram, and the panel sends none.
    EXPECT_FALSE(m_panel.Busy());
    EXPECT_EQ(m_device.Pending(), 0u);
}

TEST_F(ClickTest, EachKeyHasItsOwnTelegrams)
{
    Connect();
    for (int i = 0; i < kKeyCount; ++i) {
        m_model.OnLButtonDown(KeyX(i), KeyY(i));
        m_model.OnRButtonDown(KeyX(i), KeyY(i));
        m_model.OnRButtonDown(KeyX(i), KeyY(i));
    }
    const Strings sent = m_panel.Telegrams();
    ASSERT_EQ(sent.size(), 36u);
    EXPECT_EQ((Strings{sent[0], sent[1], sent[2]}), (Strings{"31", "51", "41"}));
    EXPECT_EQ((Strings{sent[15], sent[16], sent[17]}), (Strings{"36", "56", "46"}));
    EXPECT_EQ((Strings{sent[27], sent[28], sent[29]}), (Strings{"3A", "5A", "4A"}));
    EXPECT_TRUE(AllLedsOff());
}

TEST_F(ClickTest, BorderLinesAndGapsSendNothingButRepaint)
{
    Connect();
    const CRect& k = g_rcKeys[5];
    const int points[][2] = {
        {k.left, KeyY(5)}, {k.right, KeyY(5)}, {KeyX(5), k.top}, {KeyX(5), k.bottom}, {k.left, k.top},       {129, 260},
        {10, 10},          {300, 450},         {-5, -5},         {g_rcLcd.left, 120}, {170, g_rcLcd.bottom},
    };
    for (const auto& p : points) {
        SCOPED_TRACE(std::to_string(p[0]) + "," + std::to_string(p[1]));
        m_view.Clear();
        m_model.OnLButtonDown(p[0], p[1]);
        m_model.OnRButtonDown(p[0], p[1]);
        EXPECT_EQ(m_view.m_log, (Strings{"paint", "paint"}));
    }
    EXPECT_TRUE(m_device.Written().empty());
    EXPECT_TRUE(AllLedsOff());

    // One pixel inside the border hits the key.
    m_model.OnLButtonDown(k.left + 1, k.top + 1);
    m_model.OnLButtonDown(k.right - 1, k.bottom - 1);
    EXPECT_EQ(m_panel.Telegrams(), (Strings{"36", "46"}));
}

TEST_F(ClickTest, ClicksWorkWithoutAPanel)
{
    m_model.OnLButtonDown(KeyX(3), KeyY(3));
    m_model.OnRButtonDown(KeyX(4), KeyY(4));
    EXPECT_EQ(m_model.m_led[3], 1);
    EXPECT_EQ(m_model.m_led[4], 2);
    EXPECT_TRUE(m_device.Written().empty());
    EXPECT_EQ(m_view.Count("paint"), 2);
}

TEST_F(ClickTest, LeftClickInLcdOpensTextInputRightClickDoesNot)
{
    Connect();
    m_view.m_bTextOk = false;
    m_model.OnRButtonDown(170, 120);
    EXPECT_EQ(m_view.m_log, Strings{"paint"});
    EXPECT_TRUE(m_panel.Telegrams().empty());

    m_view.Clear();
    m_model.OnLButtonDown(170, 120);
    EXPECT_EQ(m_view.m_log, (Strings{"text-dialog", "paint"}));
    ASSERT_EQ(m_view.m_textPresets.size(), 1u);
    for (const QString& row : m_view.m_textPresets[0])
        EXPECT_TRUE(row.isEmpty()); // all empty after a connect
    EXPECT_EQ(m_panel.Telegrams().size(), 9u);

    // The LCD's inner corners open it, its border lines do not.
    m_view.Clear();
    m_model.OnLButtonDown(77, 61);
    m_model.OnLButtonDown(263, 187);
    m_model.OnLButtonDown(264, 187);
    m_model.OnLButtonDown(263, 60);
    EXPECT_EQ(m_view.Count("text-dialog"), 2);
}

// ---------------------------------------------------------------------------------------
// Text entry

class TextEntryTest : public PanelTest {
protected:
    const std::array<QString, kLcdRows> kRows = {
        QString(),
        QStringLiteral("ABCDEFGHIJKLMN"),
        QStringLiteral("ABCDEFGHIJKLMNO"),
        QStringLiteral("A1"),
        QString::fromUtf8("\xC3\xA4"),
        QStringLiteral("a b"),
        QStringLiteral("~"),
        QStringLiteral("ABCDEFGHIJKLMNOPQ"), // more than a row holds
    };
    const Strings kRowTelegrams = {
        "6C 26 23 00 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20",
        "6C 26 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE 23 00 20 20 20 20 20 20",
        "6C 26 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF 00 20 20 20 20 20 20",
        "6C 26 A1 91 23 00 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20",
        "6C 26 80 23 00 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20",
        "6C 26 C1 80 C2 23 00 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20",
        "6C 26 DE 23 00 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20",
        "6C 26 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF 00 20 20 20 20 20 20",
    };
    Strings Expected(const Strings& rows) const
    {
        Strings out = {"6C 2B 25"};
        out.insert(out.end(), rows.begin(), rows.end());
        return out;
    }
};

TEST_F(TextEntryTest, OkStoresRowsRedrawsAndSendsNineTelegrams)
{
    Connect();
    m_view.m_textAnswer = kRows;
    m_model.OnTextInput();

    EXPECT_EQ(m_panel.Telegrams(), Expected(kRowTelegrams));
    for (const std::string& t : m_panel.Log())
        EXPECT_EQ(t.substr(t.size() - 3), " v1");
    for (int r = 0; r < 7; ++r)
        EXPECT_EQ(m_model.m_strRow[r], kRows[r]);
    EXPECT_EQ(m_model.m_strRow[7], QStringLiteral("ABCDEFGHIJKLMNO"));
    EXPECT_EQ(m_view.m_log, (Strings{"text-dialog", "inval 76,60,264,188 erase", "update", "pending-paint", "paint"}));
    // Every reply was taken in: nothing waits for the next tick.
    EXPECT_FALSE(m_panel.Busy());
    EXPECT_EQ(m_panel.BlocksDelivered(), 2 + 9);
}

TEST_F(TextEntryTest, CancelSendsUnchangedRowsWithoutRedraw)
{
    Connect();
    m_view.m_textAnswer = kRows;
    m_model.OnTextInput();
    m_panel.ClearLog();
    m_view.Clear();

    m_view.m_bTextOk = false;
    m_view.m_textAnswer.fill(QStringLiteral("Hello"));
    m_model.OnTextInput();
    EXPECT_EQ(m_panel.Telegrams(), Expected(kRowTelegrams));
    EXPECT_EQ(m_view.m_log, Strings{"text-dialog"});
    EXPECT_EQ(m_model.m_strRow[3], QStringLiteral("A1"));
    // The dialog was preset with the current rows.
    ASSERT_EQ(m_view.m_textPresets.size(), 1u);
    EXPECT_EQ(m_view.m_textPresets[0][1], kRows[1]);
}

TEST_F(TextEntryTest, OkWithUnchangedTextSendsTheSame)
{
    Connect();
    m_view.m_textAnswer.fill(QStringLiteral("Hello"));
    m_model.OnTextInput();
    const Strings first = m_panel.Telegrams();
    ASSERT_EQ(first.size(), 9u);
    EXPECT_EQ(first[1], "6C 26 A8 C5 CC CC CF 23 00 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20");

    m_panel.ClearLog();
    m_model.OnTextInput();
    EXPECT_EQ(m_panel.Telegrams(), first);
    m_panel.ClearLog();
    m_view.m_bTextOk = false;
    m_model.OnTextInput();
    EXPECT_EQ(m_panel.Telegrams(), first);
}

TEST_F(TextEntryTest, RefusedTelegramCostsOneTimeOutAndKeepsTheRows)
{
    Connect();
    // The panel refuses everything from now on and so sends no reply: the receive after
    // "l+%" times out and closes the link, and the eight rows then fail at once.
    m_panel.AcceptVariants(false, false);
    m_view.m_textAnswer = kRows;
    const int64_t start = m_clock.Peek();
    m_model.OnTextInput();
    EXPECT_EQ(m_panel.Log(), Strings{"6C 2B 25 NAK"});
    EXPECT_EQ(m_clock.Peek() - start, 365);
    EXPECT_EQ(m_model.m_link.m_bOpen, 0);
    EXPECT_EQ(m_model.m_strRow[1], kRows[1]);
    // The paint of the next tick tells the user once.
    Ticks(2);
    EXPECT_EQ(m_view.Messages(), std::vector<int>{IDS_PANEL_NOT_FOUND});
}

TEST_F(TextEntryTest, WorksWithoutAPanel)
{
    m_view.m_textAnswer = kRows;
    m_model.OnTextInput();
    EXPECT_EQ(m_model.m_strRow[3], QStringLiteral("A1"));
    EXPECT_TRUE(m_device.Written().empty());
    EXPECT_EQ(m_view.Count("paint"), 1);
}

TEST_F(TextEntryTest, TicksRunWhileTheDialogIsOpen)
{
    Connect();
    m_model.OnPermTestStart();
    m_view.m_textAnswer = kRows;
    std::vector<int> markedInDialog;
    m_view.m_onTextDialog = [&] {
        m_panel.Engine().pressKey(9, m_clock.Peek());
        Ticks(2);
        markedInDialog = MarkedKeys();
    };
    m_panel.ClearLog();
    m_model.OnTextInput();

    // A key pressed on the panel moves the marker while the dialog is open.
    EXPECT_EQ(markedInDialog, std::vector<int>{8});
    // Two steps ran inside the dialog; the rows written afterwards replace the notice and
    // the test goes on.
    Strings expected = {"31", "6C 27 30 30 41 43 80", "32", "6C 27 30 31 41 43 81"};
    const Strings rows = Expected(kRowTelegrams);
    expected.insert(expected.end(), rows.begin(), rows.end());
    EXPECT_EQ(m_panel.Telegrams(), expected);
    EXPECT_EQ(m_model.m_strRow[3], QStringLiteral("A1"));
    EXPECT_EQ(m_model.m_bPermTest, 1);
    EXPECT_EQ(m_model.g_nPermStep, 2);
}

} // namespace
