// The permanence test: start, stop, the step and its telegrams.

#include "panel_fixture.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <set>

namespace {

class PermanenceTest : public PanelTest {
protected:
    // The one-byte telegrams the panel received, as hex.
    Strings LedTelegrams() const
    {
        Strings out;
        for (const std::string& t : m_panel.Telegrams())
            if (t.size() == 2)
                out.push_back(t);
        return out;
    }
    Strings CellTelegrams() const
    {
        Strings out;
        for (const std::string& t : m_panel.Telegrams())
            if (t.rfind("6C 27 ", 0) == 0)
                out.push_back(t);
        return out;
    }
    // The cell telegram that a single step at s sends.
    std::string CellAt(int32_t s)
    {
        m_panel.ClearLog();
        m_model.g_nPermStep = s;
        Ticks(1);
        const Strings cells = CellTelegrams();
        return cells.size() == 1 ? cells[0] : "none";
    }
    const Strings kNotice = {"Permanence Test", "started!", " ",           " ",
                             "\"LCD-Display\"", "on PC",    "will not be", "refreshed!"};
    Strings Rows() const
    {
        Strings rows;
        for (const QString& row : m_model.m_strRow)
            rows.push_back(row.toStdString());
        return rows;
    }
};

TEST_F(PermanenceTest, StartLoadsNoticeAndSendsNothing)
{
    Connect();
    m_model.OnPermTestStart();
    EXPECT_EQ(Rows(), kNotice);
    EXPECT_EQ(m_model.m_bPermTest, 1);
    EXPECT_TRUE(m_device.Written().empty());
    EXPECT_EQ(m_view.m_log, (Strings{"inval 76,60,264,188 keep", "update", "pending-paint", "paint"}));
    EXPECT_EQ(m_model.g_chPermCycle, '0');
    EXPECT_EQ(m_model.g_nPermStep, 0);
}

TEST_F(PermanenceTest, LedCycleOverThirtySevenSteps)
{
    Connect();
    m_model.OnPermTestStart();
    std::vector<std::array<uint8_t, 12>> leds;
    for (int step = 1; step <= 37; ++step) {
        Ticks(1);
        std::array<uint8_t, 12> now;
        std::copy_n(m_model.m_led.begin(), 12, now.begin());
        leds.push_back(now);
    }
    const Strings sent = LedTelegrams();
    ASSERT_EQ(sent.size(), 37u);
    EXPECT_EQ(sent[0], "31");  // step 1: key 1 on
    EXPECT_EQ(sent[11], "3C"); // step 12: key 12 on
    EXPECT_EQ(sent[12], "41"); // step 13: key 1 off
    EXPECT_EQ(sent[23], "4C"); // step 24: key 12 off
    EXPECT_EQ(sent[24], "51"); // step 25: key 1 flashing
    EXPECT_EQ(sent[35], "5C"); // step 36: key 12 flashing
    EXPECT_EQ(sent[36], "31"); // step 37: key 1 on again

    using L = std::array<uint8_t, 12>;
    EXPECT_EQ(leds[0], (L{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(leds[11], (L{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(leds[12], (L{0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(leds[23], (L{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(leds[29], (L{2, 2, 2, 2, 2, 2, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(leds[35], (L{2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}));
    EXPECT_EQ(leds[36], (L{1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}));

    // Each step: the LED telegram first, then the cell telegram, in the variant found.
    EXPECT_EQ(m_panel.Log()[0], "31 v1");
    EXPECT_EQ(m_panel.Log()[1], "6C 27 30 30 41 43 80 v1");
    EXPECT_EQ(m_panel.Log()[2], "32 v1");
    EXPECT_EQ(m_panel.Log()[3], "6C 27 30 31 41 43 81 v1");
    EXPECT_EQ(m_model.g_nPermStep, 37);
    EXPECT_EQ(m_panel.Collisions(), 0);
}

TEST_F(PermanenceTest, CellTelegramFields)
{
    Connect();
    m_model.OnPermTestStart();
    EXPECT_EQ(CellAt(0), "6C 27 30 30 41 43 80");
    EXPECT_EQ(CellAt(14), "6C 27 30 3E 41 43 8E");
    EXPECT_EQ(CellAt(15), "6C 27 31 30 41 43 8F");
    EXPECT_EQ(CellAt(120), "6C 27 30 30 41 43 F8");
    EXPECT_EQ(CellAt(127), "6C 27 30 37 41 43 FF");
    EXPECT_EQ(CellAt(128), "6C 27 30 38 40 43 80");
    EXPECT_EQ(CellAt(256), "6C 27 31 31 41 42 80");
    EXPECT_EQ(CellAt(384), "6C 27 31 39 40 42 80");
    EXPECT_EQ(CellAt(512), "6C 27 32 32 41 43 80");
    EXPECT_EQ(CellAt(119), "6C 27 37 3E 41 43 F7");
}

TEST_F(PermanenceTest, FirstHundredTwentyStepsFillEveryCellOnce)
{
    Connect();
    m_model.OnPermTestStart();
    Ticks(120);
    const Strings cells = CellTelegrams();
    ASSERT_EQ(cells.size(), 120u);
    std::set<std::string> positions;
    for (const std::string& cell : cells)
        positions.insert(cell.substr(6, 5)); // row and column
    EXPECT_EQ(positions.size(), 120u);
    EXPECT_EQ(cells[119], "6C 27 37 3E 41 43 F7");
}

TEST_F(PermanenceTest, LongRunRepeatsTheCellSequenceWithoutAJump)
{
    // 120 cells, 128 codes and four attribute pairs of 128 steps each: after 7680 steps (some
    // 26 minutes at five a second) the cell telegrams start over, and a run that goes on past
    // that point carries on with exactly the same sequence.
    Connect();
    m_model.OnPermTestStart();
    const size_t kPeriod = 7680;
    const size_t kBeyond = 130;
    Ticks(static_cast<int>(kPeriod + kBeyond));
    const Strings cells = CellTelegrams();
    ASSERT_EQ(cells.size(), kPeriod + kBeyond);
    EXPECT_EQ(cells[kPeriod - 1], "6C 27 37 3E 40 42 FF"); // row 7, column 14, "@B", 0xFF
    EXPECT_EQ(cells[kPeriod], "6C 27 30 30 41 43 80");
    for (size_t k = 0; k < kBeyond; ++k)
        ASSERT_EQ(cells[kPeriod + k], cells[k]) << "step " << kPeriod + k + 1;
}

TEST_F(PermanenceTest, StopSendsLcdRowsThenLedsOffAndClears)
{
    Connect();
    m_model.OnPermTestStart();
    Ticks(5);
    m_model.ApplyReport('3');
    ASSERT_FALSE(AllLedsOff());
    m_panel.ClearLog();
    m_view.Clear();

    m_model.OnPermTestStop();
    EXPECT_EQ(m_panel.Log(), (Strings{"6C 2B 25 v1", "40 v1"}));
    EXPECT_TRUE(AllLedsOff());
    EXPECT_TRUE(MarkedKeys().empty());
    EXPECT_EQ(Rows(), kNotice);
    EXPECT_EQ(m_model.m_bPermTest, 0);
    // The reply to "l+%" was taken in; the stop itself paints nothing.
    EXPECT_FALSE(m_panel.Busy());
    EXPECT_TRUE(m_view.m_log.empty());

    // Stopping a stopped test sends the same.
    m_panel.ClearLog();
    m_model.OnPermTestStop();
    EXPECT_EQ(m_panel.Log(), (Strings{"6C 2B 25 v1", "40 v1"}));
}

TEST_F(PermanenceTest, RestartContinuesCycleButStartsCellsAgain)
{
    Connect();
    m_model.OnPermTestStart();
    Ticks(5);
    ASSERT_EQ(LedTelegrams().back(), "35");
    m_model.OnPermTestStop();
    Ticks(1);
    EXPECT_EQ(m_model.g_nPermStep, 0);
    m_panel.ClearLog();

    m_model.OnPermTestStart();
    Ticks(1);
    EXPECT_EQ(m_panel.Telegrams(), (Strings{"36", "6C 27 30 30 41 43 80"}));
}

TEST_F(PermanenceTest, StartRightAfterStopContinuesOldCell)
{
    Connect();
    m_model.OnPermTestStart();
    Ticks(5);
    m_model.OnPermTestStop();
    m_model.OnPermTestStart();
    m_panel.ClearLog();
    Ticks(1);
    EXPECT_EQ(m_panel.Telegrams(), (Strings{"36", "6C 27 30 35 41 43 85"}));
}

TEST_F(PermanenceTest, CycleCharacterSurvivesReconnect)
{
    Connect();
    m_model.OnPermTestStart();
    Ticks(14);
    m_model.OnResetPanel();
    Ticks(1);
    m_model.OnPermTestStart();
    m_panel.ClearLog();
    Ticks(1);
    EXPECT_EQ(m_panel.Telegrams(), (Strings{"43", "6C 27 30 30 41 43 80"}));
}

TEST_F(PermanenceTest, DemonstrationModeCyclesLedsOnly)
{
    m_model.OnPermTestStart();
    EXPECT_EQ(Rows(), kNotice);
    Ticks(13);
    EXPECT_EQ(m_model.g_nPermStep, 0);
    EXPECT_EQ(m_model.g_chPermCycle, 'A');
    EXPECT_EQ(m_model.m_led[0], 0);
    EXPECT_EQ(m_model.m_led[11], 1);
    EXPECT_TRUE(m_device.Written().empty());
    EXPECT_TRUE(m_view.Messages().empty());
    EXPECT_EQ(Rows(), kNotice);
}

TEST_F(PermanenceTest, ConnectEndsTheTest)
{
    Connect();
    m_model.OnPermTestStart();
    Ticks(3);
    m_model.OnResetPanel();
    EXPECT_EQ(m_model.m_bPermTest, 0);
    EXPECT_TRUE(AllLedsOff());
    m_panel.ClearLog();
    Ticks(3);
    EXPECT_TRUE(m_panel.Telegrams().empty());
    EXPECT_TRUE(AllLedsOff());
    EXPECT_EQ(m_model.g_nPermStep, 0);
}

TEST_F(PermanenceTest, PanelGoingSilentLeavesTestCyclingOnScreen)
{
    Connect();
    m_model.OnPermTestStart();
    Ticks(4);
    ASSERT_EQ(m_model.g_nPermStep, 4);
    m_panel.SetSilent(true);
    m_view.Clear();

    Ticks(1);
    EXPECT_EQ(m_model.m_link.m_bOpen, 0);
    EXPECT_EQ(m_view.Messages(), std::vector<int>{IDS_PANEL_NOT_FOUND});
    EXPECT_EQ(m_model.g_nPermStep, 4);
    EXPECT_EQ(m_model.m_led[4], 1);

    Ticks(3);
    EXPECT_EQ(m_model.m_bPermTest, 1);
    EXPECT_EQ(m_model.g_nPermStep, 4);
    EXPECT_EQ(m_model.m_led[7], 1);
    EXPECT_EQ(m_view.Messages().size(), 1u);
    EXPECT_TRUE(m_bStatusShown);
}

TEST_F(PermanenceTest, ReportsDuringTheStepAreAppliedAndCountedInTheRunsReport)
{
    Connect();
    // A key report that arrives after the LED telegram is taken in before the cell telegram;
    // the cell telegram's reply is applied as well.
    m_panel.SetReplyHook([&](const Bytes& t, std::optional<Bytes> reply) -> std::optional<Bytes> {
        if (t == Bytes{'1'})
            return Bytes{'4'};
        if (t.size() == 7 && t[1] == 0x27)
            return Bytes{'K'};
        return reply;
    });
    m_model.OnPermTestStart();
    Ticks(1);
    EXPECT_EQ(MarkedKeys(), std::vector<int>{3});
    EXPECT_EQ(m_model.Switch1Number(), 11);
    EXPECT_EQ(m_panel.BlocksDelivered(), 4); // identify, "l+", the report, the cell reply
    EXPECT_FALSE(m_panel.Busy());
    EXPECT_EQ(m_panel.Collisions(), 0);

    // The run's report counts each of them once, by what it said.
    m_panel.SetReplyHook({});
    m_model.OnPermTestStop();
    ASSERT_NE(m_model.LastPermRun(), nullptr);
    const QJsonObject report = m_model.LastPermRun()->ToJson();
    EXPECT_EQ(report["keys"]["4"].toInt(), 1);
    EXPECT_EQ(report["selector1"]["11"].toInt(), 1);
    int nKeys = 0;
    for (const QJsonValue v : report["keys"].toObject())
        nKeys += v.toInt();
    EXPECT_EQ(nKeys, 1);
    EXPECT_EQ(report["timeline"].toArray().size(), 2);
}

TEST_F(PermanenceTest, UnansweredCellTelegramDoesNotStopTheTest)
{
    Connect();
    m_panel.SetReplyHook([&](const Bytes& t, std::optional<Bytes> reply) -> std::optional<Bytes> {
        if (t.size() == 7)
            return std::nullopt;
        return reply;
    });
    m_model.OnPermTestStart();
    Ticks(1);
    // The receive after the cell telegram waits for nothing and closes the link.
    EXPECT_EQ(m_model.m_link.m_bOpen, 0);
    EXPECT_EQ(m_model.g_nPermStep, 1);
    EXPECT_EQ(m_model.m_bPermTest, 1);
}

} // namespace
