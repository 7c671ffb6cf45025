// The report byte, the row and cell telegrams, and the strict hit tests.

#include "panel_fixture.h"

namespace {

struct ModelState {
    std::array<uint8_t, 32> keyDown;
    int8_t sw1;
    int8_t sw2;
    bool operator==(const ModelState&) const = default;
};

class ReportTest : public PanelTest {
protected:
    ModelState State() const { return {m_model.m_keyDown, m_model.m_chSwitch1, m_model.m_chSwitch2}; }
    // A state that every kind of report changes: key 6 marked, both selectors at 5.
    void Preset()
    {
        m_model.m_keyDown.fill(0);
        m_model.m_keyDown[5] = 1;
        m_model.m_chSwitch1 = 0x45;
        m_model.m_chSwitch2 = 0x55;
        m_view.Clear();
    }
};

TEST_F(ReportTest, EveryByteValueHasExactlyTheEffectOfItsRange)
{
    int keyReports = 0, switch1Reports = 0, switch2Reports = 0, ignored = 0;
    for (int b = 0; b < 256; ++b) {
        SCOPED_TRACE(b);
        Preset();
        const ModelState before = State();
        m_model.ApplyReport(static_cast<uint8_t>(b));
        const ModelState after = State();

        ModelState expected = before;
        Strings invalidated;
        if (b >= 0x30 && b <= 0x3C) {
            ++keyReports;
            expected.keyDown.fill(0);
            if (b != 0x30)
                expected.keyDown[b - 0x31] = 1;
        } else if (b >= 0x41 && b <= 0x4C) {
            ++switch1Reports;
            expected.sw1 = static_cast<int8_t>(b);
            invalidated = {"inval 100,382,140,412 keep"};
        } else if (b >= 0x51 && b <= 0x5C) {
            ++switch2Reports;
            expected.sw2 = static_cast<int8_t>(b);
            invalidated = {"inval 220,382,260,412 keep"};
        } else {
            ++ignored;
        }
        EXPECT_EQ(after, expected);
        EXPECT_EQ(m_view.m_log, invalidated);
    }
    EXPECT_EQ(keyReports, 13);
    EXPECT_EQ(switch1Reports, 12);
    EXPECT_EQ(switch2Reports, 12);
    EXPECT_EQ(ignored, 256 - 37);
}

TEST_F(ReportTest, RangeBordersInsideAndOutside)
{
    struct Case {
        uint8_t b;
        std::vector<int> keys; // marked keys afterwards
        int sw1;
        int sw2;
    };
    // From the preset: key 6 (index 5) marked, both selectors at 5.
    // clang-format off
    const Case cases[] = {
        {'/', {5}, 5, 5},  {'0', {}, 5, 5},    {'1', {0}, 5, 5},  {'<', {11}, 5, 5},
        {'=', {5}, 5, 5},  {'@', {5}, 5, 5},   {'A', {5}, 1, 5},  {'L', {5}, 12, 5},
        {'M', {5}, 5, 5},  {'P', {5}, 5, 5},   {'Q', {5}, 5, 1},  {'\\', {5}, 5, 12},
        {']', {5}, 5, 5},  {0x00, {5}, 5, 5},  {0xB1, {5}, 5, 5}, {0xFF, {5}, 5, 5},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.b);
        Preset();
        m_model.ApplyReport(c.b);
        EXPECT_EQ(MarkedKeys(), c.keys);
        EXPECT_EQ(m_model.Switch1Number(), c.sw1);
        EXPECT_EQ(m_model.Switch2Number(), c.sw2);
    }
}

TEST_F(ReportTest, ApplyingTwiceEqualsApplyingOnce)
{
    for (int b = 0; b < 256; ++b) {
        SCOPED_TRACE(b);
        Preset();
        m_model.ApplyReport(static_cast<uint8_t>(b));
        const ModelState once = State();
        m_model.ApplyReport(static_cast<uint8_t>(b));
        EXPECT_EQ(State(), once);
    }
}

TEST_F(ReportTest, OnlyOneKeyIsEverMarked)
{
    m_model.ApplyReport('3');
    m_model.ApplyReport('7');
    EXPECT_EQ(MarkedKeys(), std::vector<int>{6});
    m_model.ApplyReport('3');
    m_model.ApplyReport('0');
    EXPECT_TRUE(MarkedKeys().empty());
}

// ---------------------------------------------------------------------------------------
// Row telegrams

TEST(RowTelegram, LayoutByLength)
{
    // Empty: '#', 0x00 and twenty blanks.
    EXPECT_EQ(Hex(RowTelegram(QString())), "6C 26 23 00 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20");
    // Fourteen characters: '#' at byte 16, 0x00 at byte 17.
    EXPECT_EQ(Hex(RowTelegram(QStringLiteral("ABCDEFGHIJKLMN"))),
              "6C 26 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE 23 00 20 20 20 20 20 20");
    // Fifteen characters: 0x00 at byte 17, no '#'.
    EXPECT_EQ(Hex(RowTelegram(QStringLiteral("ABCDEFGHIJKLMNO"))),
              "6C 26 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF 00 20 20 20 20 20 20");
    EXPECT_EQ(Hex(RowTelegram(QStringLiteral("A1"))),
              "6C 26 A1 91 23 00 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20");
}

TEST(RowTelegram, PanelCodeOfCharacters)
{
    // A blank inside the text goes as 0x80, unlike the template blanks behind the end.
    EXPECT_EQ(Hex(RowTelegram(QStringLiteral("a b"))),
              "6C 26 C1 80 C2 23 00 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20");
    // Everything from U+0080 up is 0x80: 'ä', and the edges '~' (DE) and U+007F (DF).
    EXPECT_EQ(Hex(RowTelegram(QString::fromUtf8("\xC3\xA4~\x7F"))),
              "6C 26 80 DE DF 23 00 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20");
    // The border itself: U+0080 is the first character sent as 0x80.
    EXPECT_EQ(Hex(RowTelegram(QString::fromUtf8("\xC2\x80"
                                                "\xC3\xBF"
                                                "\xE2\x82\xAC"))),
              "6C 26 80 80 80 23 00 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20");
    // A character outside the BMP is one character, not two.
    EXPECT_EQ(Hex(RowTelegram(QString::fromUtf8("A\xF0\x9F\x98\x80"
                                                "B"))),
              "6C 26 A1 80 A2 23 00 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20");
}

TEST(RowTelegram, OverlongRowsAreCutAtFifteenCharacters)
{
    const std::string fifteen = "6C 26 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF 00 20 20 20 20 20 20";
    EXPECT_EQ(Hex(RowTelegram(QStringLiteral("ABCDEFGHIJKLMNOP"))), fifteen);
    EXPECT_EQ(Hex(RowTelegram(QString(200, QChar('A')))),
              "6C 26 A1 A1 A1 A1 A1 A1 A1 A1 A1 A1 A1 A1 A1 A1 A1 00 20 20 20 20 20 20");

    // Fourteen letters and one emoji fill the row exactly: no '#'.
    const QString withEmoji = QStringLiteral("ABCDEFGHIJKLMN") + QString::fromUtf8("\xF0\x9F\x98\x80");
    EXPECT_EQ(withEmoji.size(), 16); // UTF-16 units
    EXPECT_EQ(RowLength(withEmoji), 15);
    EXPECT_EQ(Hex(RowTelegram(withEmoji)), "6C 26 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE 80 00 20 20 20 20 20 20");

    // Clamping never splits a surrogate pair.
    const QString emojis = QString::fromUtf8("\xF0\x9F\x98\x80").repeated(20);
    const QString clamped = ClampRow(emojis);
    EXPECT_EQ(RowLength(clamped), 15);
    EXPECT_EQ(clamped, QString::fromUtf8("\xF0\x9F\x98\x80").repeated(15));
    EXPECT_EQ(ClampRow(QStringLiteral("short")), QStringLiteral("short"));
}

// ---------------------------------------------------------------------------------------
// Cell telegrams

TEST(CellTelegram, FieldsAsSent)
{
    EXPECT_EQ(Hex(CellTelegram(0, 0, 0, 0x80)), "6C 27 30 30 41 43 80");
    // Columns 10 to 14 go as ':' to '>', the last row as '7'.
    EXPECT_EQ(Hex(CellTelegram(7, 14, 1, 0xFF)), "6C 27 37 3E 40 43 FF");
    EXPECT_EQ(Hex(CellTelegram(3, 10, 2, 0xA1)), "6C 27 33 3A 41 42 A1");
    EXPECT_EQ(Hex(CellTelegram(1, 12, 3, 0x90)), "6C 27 31 3C 40 42 90");
}

// The LED telegrams read back: the 36 characters '1'..'<', 'A'..'L', 'Q'..'\\' and no other.
TEST(LedTelegram, EveryByteReadsBackAsTheSettingItWasMadeFrom)
{
    int decoded = 0;
    for (int b = 0; b < 256; ++b) {
        const auto led = LedFromTelegram(static_cast<uint8_t>(b));
        if (!led)
            continue;
        ++decoded;
        EXPECT_EQ(LedTelegram(led->nKey, led->nState), b) << b;
    }
    EXPECT_EQ(decoded, 3 * kKeyCount);
    EXPECT_EQ(LedFromTelegram('1')->nState, kLedOn);
    EXPECT_EQ(LedFromTelegram('L')->nKey, 11);
    EXPECT_EQ(LedFromTelegram('Q')->nState, kLedFlashing);
}

// ---------------------------------------------------------------------------------------
// Hit tests

// The keys a point hits, in key order.
std::vector<int> KeysHit(int x, int y)
{
    const auto keys = KeysAt(x, y);
    std::vector<int> hit;
    for (int i = 0; i < kKeyCount; ++i)
        if (keys[i])
            hit.push_back(i);
    return hit;
}

TEST(HitTest, KeyBorderLinesBelongToNoKey)
{
    using Keys = std::vector<int>;
    // Every key: its own centre hits it alone, and each of its four border lines hits nothing.
    for (int i = 0; i < kKeyCount; ++i) {
        SCOPED_TRACE(i);
        const CRect& r = g_rcKeys[i];
        EXPECT_EQ(r.Width(), 36);
        EXPECT_EQ(r.Height(), 36);
        EXPECT_EQ(KeysHit(KeyX(i), KeyY(i)), Keys{i});
        EXPECT_EQ(KeysHit(r.left + 1, r.top + 1), Keys{i});
        EXPECT_EQ(KeysHit(r.right - 1, r.bottom - 1), Keys{i});
        EXPECT_TRUE(KeysHit(r.left, KeyY(i)).empty());
        EXPECT_TRUE(KeysHit(r.right, KeyY(i)).empty());
        EXPECT_TRUE(KeysHit(KeyX(i), r.top).empty());
        EXPECT_TRUE(KeysHit(KeyX(i), r.bottom).empty());
    }
    // The uneven row pitch: key 5 starts at 292, key 9 at 336.
    EXPECT_TRUE(KeysHit(107, 290).empty());
    EXPECT_EQ(KeysHit(107, 293), Keys{4});
    EXPECT_TRUE(KeysHit(107, 335).empty());
    EXPECT_EQ(KeysHit(107, 337), Keys{8});
}

TEST(HitTest, LcdBorderLines)
{
    EXPECT_TRUE(g_rcLcd.HitsStrictly(77, 61));
    EXPECT_TRUE(g_rcLcd.HitsStrictly(263, 187));
    EXPECT_FALSE(g_rcLcd.HitsStrictly(76, 120));
    EXPECT_FALSE(g_rcLcd.HitsStrictly(264, 120));
    EXPECT_FALSE(g_rcLcd.HitsStrictly(170, 60));
    EXPECT_FALSE(g_rcLcd.HitsStrictly(170, 188));
}

} // namespace
