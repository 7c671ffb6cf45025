// The telegram vocabulary on the panel's side, fed straight into the model.
#include "panel.h"
#include "sim_test_util.h"

#include <gtest/gtest.h>

using namespace kova_sim;
using kova_sim::test::B;

namespace {

// A row telegram as the PC lays it out: codes from byte 2, then '#' 0x00 (or 0x00 alone after 15
// characters), then blanks up to 24 bytes.
Bytes rowTelegram(const std::string& text)
{
    Bytes t = {'l', '&'};
    for (char c : text)
        t.push_back(static_cast<unsigned char>(c) < 0x80 ? static_cast<std::uint8_t>(c + 0x60) : 0x80);
    if (text.size() < 15)
        t.push_back('#');
    t.push_back(0x00);
    t.resize(24, 0x20);
    return t;
}

} // namespace

TEST(PanelTelegrams, IdentifyReportsBothSelectors)
{
    Panel p;
    auto r = p.apply(B({'#'}));
    ASSERT_TRUE(r.reply);
    EXPECT_EQ(*r.reply, B({'K', 'A', 'Q'}));

    p.setSelector(1, 3);
    p.setSelector(2, 12);
    EXPECT_EQ(*p.apply(B({'#'})).reply, B({'K', 'C', '\\'}));
}

TEST(PanelTelegrams, LedTelegramsCoverAllTwelveKeysAndNothingElse)
{
    Panel p;
    EXPECT_FALSE(p.apply(B({'1'})).reply);
    p.apply(B({'<'}));
    p.apply(B({'Q'}));
    p.apply(B({'\\'}));
    EXPECT_EQ(p.ledString(), "200000000002");
    p.apply(B({'L'}));
    EXPECT_EQ(p.ledString(), "200000000000");
    p.apply(B({'1'}));
    p.apply(B({'5'}));
    EXPECT_EQ(p.ledString(), "100010000000");

    // Just outside the three ranges: nothing happens.
    for (int b : {'0', '=', 'M', 'P', ']'})
        p.apply(B({b}));
    EXPECT_EQ(p.ledString(), "100010000000");

    p.apply(B({'@'}));
    EXPECT_EQ(p.ledString(), "000000000000");
    // A longer telegram starting with an LED byte is not an LED telegram.
    p.apply(B({'1', '1'}));
    EXPECT_EQ(p.ledString(), "000000000000");
}

TEST(PanelTelegrams, RowsAfterLPlusPercentFillTheLcdInOrder)
{
    Panel p;
    EXPECT_EQ(*p.apply(B({'l', '+', '%'})).reply, B({'0'}));

    // "A1" goes on the line as 6C 26 A1 91 23 00 and eighteen blanks.
    const Bytes a1 = rowTelegram("A1");
    ASSERT_EQ(a1, (Bytes{0x6C, 0x26, 0xA1, 0x91, 0x23, 0x00, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
                         0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20}));
    EXPECT_EQ(*p.apply(a1).reply, B({'0'}));
    p.apply(rowTelegram(""));
    p.apply(rowTelegram("ABCDEFGHIJKLMN"));  // 14: '#' at byte 16
    p.apply(rowTelegram("ABCDEFGHIJKLMNO")); // 15: 0x00 at byte 17, no '#'
    p.apply(rowTelegram("a\xe4 b"));         // a non-ASCII character arrives as 0x80, a blank
    p.apply(rowTelegram("~"));
    p.apply(rowTelegram("row 7"));
    p.apply(rowTelegram("row 8"));

    EXPECT_EQ(p.rowText(0), "A1             ");
    EXPECT_EQ(p.rowHex(0), "A19180808080808080808080808080");
    EXPECT_EQ(p.rowText(1), std::string(15, ' '));
    EXPECT_EQ(p.rowText(2), "ABCDEFGHIJKLMN ");
    EXPECT_EQ(p.rowText(3), "ABCDEFGHIJKLMNO");
    EXPECT_EQ(p.rowText(4), "a  b           ");
    EXPECT_EQ(p.rowText(5), "~              ");
    EXPECT_EQ(p.rowText(7), "row 8          ");

    // A ninth row has no place to go; it is still answered, since the PC waits for a reply.
    const auto ninth = p.apply(rowTelegram("too many"));
    ASSERT_TRUE(ninth.reply);
    EXPECT_EQ(p.rowText(0), "A1             ");
}

TEST(PanelTelegrams, RowWithoutLPlusPercentChangesNothingButIsAnswered)
{
    Panel p;
    p.press(4);
    const auto r = p.apply(rowTelegram("lost"));
    ASSERT_TRUE(r.reply);
    EXPECT_EQ(*r.reply, B({'4'}));
    EXPECT_EQ(p.rowText(0), std::string(15, ' '));
}

TEST(PanelTelegrams, LPlusClearsTheLcdLikeThePcClearsItsMirror)
{
    Panel p;
    p.apply(B({'l', '+', '%'}));
    p.apply(rowTelegram("hello"));
    EXPECT_EQ(*p.apply(B({'l', '+'})).reply, B({'0'}));
    EXPECT_EQ(p.rowText(0), std::string(15, ' '));
    // "l+" ends a row sequence as well.
    p.apply(rowTelegram("stray"));
    EXPECT_EQ(p.rowText(0), std::string(15, ' '));
}

TEST(PanelTelegrams, CellTelegramWritesOneCellAndReportsTheKey)
{
    Panel p;
    p.press(12);
    // Row 7, column 14 (sent as '>'), attributes "@B", code 0xC1 ('a').
    auto r = p.apply(B({'l', 0x27, '7', '>', '@', 'B', 0xC1}));
    ASSERT_TRUE(r.reply);
    EXPECT_EQ(*r.reply, B({'<'}));
    EXPECT_EQ(p.cell(7, 14), 0xC1);
    EXPECT_EQ(p.rowText(7), "              a");

    p.release();
    p.apply(B({'l', 0x27, '0', '0', 'A', 'C', 0x80}));
    p.apply(B({'l', 0x27, '1', ':', 'A', 'C', 0xFF}));
    EXPECT_EQ(p.cell(1, 10), 0xFF);

    // Out-of-range row, column, attribute or code, or a wrong length: no cell changes, still answered.
    const Bytes bad[] = {B({'l', 0x27, '8', '0', 'A', 'C', 0xC1}), B({'l', 0x27, '0', '?', 'A', 'C', 0xC1}),
                         B({'l', 0x27, '0', '0', 'X', 'C', 0xC1}), B({'l', 0x27, '0', '0', 'A', 'C', 0x41}),
                         B({'l', 0x27, '0', '0', 'A', 'C'})};
    for (const Bytes& t : bad) {
        const auto rr = p.apply(t);
        ASSERT_TRUE(rr.reply);
        EXPECT_EQ(*rr.reply, B({'0'}));
    }
    EXPECT_EQ(p.cell(0, 0), 0x80);
}
