// Whatever a user types or pastes into the text input, the rows kept and the row telegrams
// sent stay within the LCD: 15 characters per row and 24 bytes per telegram. The panel on
// the other end is the virtual panel's own engine, so every telegram is unframed and
// block-checked by code that shares nothing with the program's link.
#include "engine_panel.h"
#include "reliability_util.h"

#include <gtest/gtest.h>

namespace {

QString FromUtf16(std::initializer_list<char16_t> units)
{
    return QString(reinterpret_cast<const QChar*>(units.begin()), static_cast<qsizetype>(units.size()));
}

TEST(BadText, AnyUnicodeRowStaysWithinFifteenCharactersAndTwentyFourBytes)
{
    CFakeClock clock;
    CFakeSerialDevice device(clock);
    CEnginePanel panel(device, clock);
    kova_sim::Engine& engine = panel.Engine();

    CTestView view;
    CPanelModel model(view, &device, &clock);
    model.InitState();
    model.OnSerialPort();
    ASSERT_EQ(model.m_link.m_bOpen, 1);

    const QString family =
        QString::fromUtf8("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7");
    const QString flag = QString::fromUtf8("\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA");
    const QString zalgo = QStringLiteral("Z") + QString(40, QChar(0x0301)) + QStringLiteral("A");
    const QString hebrewWithOverride = QString(1, QChar(0x202E)) + QStringLiteral(u"\u05E9\u05DC\u05D5\u05DD")
                                       + QString(1, QChar(0x202C)) + QStringLiteral("12345678901234567890");
    // Half pairs, as broken clipboard data can carry them.
    const QString loneSurrogates = FromUtf16({0xD83D, u'A', 0xDE00, 0xD800, 0xD800, u'B'}).repeated(4);
    // Control characters, the block procedure's own bytes among them, and a NUL.
    const QString controls = FromUtf16({0x0002, 0x0010, 0x0003, 0x0000, 0x0015, 0x007F}).repeated(4);
    const std::array<QString, kLcdRows> rows = {family.repeated(6),
                                                flag.repeated(10),
                                                zalgo,
                                                hebrewWithOverride,
                                                loneSurrogates,
                                                controls,
                                                QString::fromUtf8("\xEF\xBB\xBF").repeated(30),
                                                QString(5000, QChar('W'))};
    view.m_textAnswer = rows;
    engine.clearHistory();
    model.OnTextInput();
    ASSERT_EQ(model.m_link.m_bOpen, 1);

    for (int r = 0; r < kLcdRows; ++r) {
        EXPECT_LE(RowLength(model.m_strRow[r]), kRowMaxChars) << "row " << r;
        // The kept row is a prefix of what was typed, cut between characters.
        const QList<uint> typed = rows[r].toUcs4();
        const QList<uint> kept = model.m_strRow[r].toUcs4();
        EXPECT_EQ(kept, typed.mid(0, kept.size())) << "row " << r;
        EXPECT_EQ(kept.size(), std::min<qsizetype>(typed.size(), kRowMaxChars)) << "row " << r;
    }

    // "l+%" and then the eight rows, each accepted whole by the panel and exactly 24 bytes.
    const auto& history = engine.history();
    ASSERT_EQ(history.size(), 1u + kLcdRows);
    for (size_t i = 1; i < history.size(); ++i) {
        EXPECT_EQ(history[i].size(), static_cast<size_t>(kRowTelegramSize)) << "row " << i - 1;
        EXPECT_EQ(history[i][0], 'l');
        EXPECT_EQ(history[i][1], '&');
    }
    EXPECT_EQ(engine.counters().refused, 0u);
    EXPECT_EQ(engine.panel().rowText(7), std::string(15, 'W'));
}

} // namespace
