// The real kova_en under its own X server, with the virtual panel on COM1, driven only as a
// user and a panel would: keys and clicks through X, pixels from screenshots, telegrams and
// bytes from the panel's side. Each scenario is one start of the program and checks many
// things on the way.

#include "geometry.h"
#include "serial_server.h"
#include "sim_process.h"
#include "wayland_session.h"
#include "x_session.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThread>

#include <csignal>
#include <cstdlib>

#include <gtest/gtest.h>

namespace {

// Where a dialog is put so that it covers nothing of the main window.
const QPoint kOutOfTheWay(720, 10);

QRgb Rgb(QRgb px)
{
    return px & 0xFFFFFF;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        ASSERT_TRUE(x.Start(m_dir.path())) << "Xvfb did not come up";
    }

    // The program on the virtual panel (or on a device that does not exist): the settings
    // dialog answered with Enter.
    void StartProgram(bool bWithPanel)
    {
        StartProgramIn(x.Environment(), bWithPanel);
        if (HasFatalFailure())
            return;
        const unsigned long nSettings = x.WaitWindow(kSettings, 20000);
        ASSERT_NE(nSettings, 0u) << "no settings dialog";
        // It comes first: the main window is not shown yet.
        EXPECT_EQ(x.FindWindow(kMainWindow), 0u);
        x.Focus(nSettings);
        x.Keys({QStringLiteral("Return")});
    }

    // The program in a session's environment, on the virtual panel or on a device that does
    // not exist.
    void StartProgramIn(QProcessEnvironment env, bool bWithPanel)
    {
        QString strCom1 = m_dir.path() + QStringLiteral("/absent");
        if (bWithPanel) {
            std::string strError;
            ASSERT_TRUE(panel.Start(KOVA_SIM_BINARY, {"--log", PanelLog().toStdString()}, &strError))
                << "kova_sim did not come up: " << strError;
            strCom1 = QString::fromStdString(panel.LinkPath());
            if (m_bBehindServer) {
                // COM1 is the panel behind ser2net's RFC 2217 accepter on 127.0.0.1.
                ASSERT_TRUE(m_server.Start(panel.LinkPath(), {}, &strError)) << strError;
                strCom1 = QString::fromStdString(m_server.Url());
            }
        }
        // Reports of the permanence tests go into the test's own folder.
        env.insert(QStringLiteral("XDG_STATE_HOME"), m_dir.path());
        ASSERT_TRUE(program.Start(env, strCom1));
    }

    // COM1 on a serial device server in front of the panel, for StartProgram.
    bool m_bBehindServer = false;
    CSerialServer m_server;

    // After connecting: the main window, and its client origin from the LED squares.
    void FindMainWindow()
    {
        m_nMain = x.WaitWindow(kMainWindow, 20000);
        ASSERT_NE(m_nMain, 0u) << "no main window";
        ASSERT_TRUE(WaitUntil([&] { return FindClientOrigin(x.Screenshot(), m_origin); }, 10000, 100))
            << "twelve grey LED squares not found";
    }

    QPoint At(int nX, int nY) const { return m_origin + QPoint(nX, nY); }
    QPoint At(const CPoint& pt) const { return At(pt.x, pt.y); }
    QRect Face(int nKey) const
    {
        const CRect& rc = g_rcKeys[nKey];
        return {At(rc.left, rc.top), QSize(rc.Width(), rc.Height())};
    }
    QPoint KeyCentre(int nKey) const { return Face(nKey).center(); }
    QRgb Pixel(const QImage& screen, int nX, int nY) const { return Rgb(screen.pixel(At(nX, nY))); }
    QRect StatusBand() const { return {At(kStatusTextOrigin), QSize(196, 16)}; }

    // The LED picture of every key, as the screen shows it now.
    QString LedPicture(const QImage& screen) const
    {
        QString s;
        for (int i = 0; i < kKeyCount; ++i) {
            const QRgb px = Rgb(screen.pixel(Face(i).topLeft() + QPoint(2, 2)));
            s += px == Rgb(kYellow) ? u'Y' : px == Rgb(kGrey) ? u'.' : u'?';
        }
        return s;
    }

    // Waits until the screen shows nDistinct different LED pictures in turn.
    bool LedPicturesChange(int nDistinct, int nDeadlineMs = 6000)
    {
        QStringList seen;
        return WaitUntil(
            [&] {
                const QString s = LedPicture(x.Screenshot());
                if (seen.isEmpty() || seen.back() != s)
                    seen << s;
                return seen.size() >= nDistinct;
            },
            nDeadlineMs, 20);
    }

    // A box opened with the main window's focus: found, moved clear of the panel picture and
    // focused, so that its own keys reach it.
    unsigned long TakeModal(const QString& strPattern)
    {
        const unsigned long nBox = x.WaitWindow(strPattern);
        if (nBox != 0) {
            x.Move(nBox, kOutOfTheWay);
            x.Focus(nBox);
        }
        return nBox;
    }

    // Escape in the main window asks the exit question, and No keeps everything running.
    void ExpectEscapeAsksAndAnswerNo(const char* pszAfter)
    {
        SCOPED_TRACE(pszAfter);
        x.Focus(m_nMain);
        // Enter first: had it ended the window or opened anything, the Escape that follows
        // would find no exit question.
        x.Keys({QStringLiteral("Return")});
        x.Keys({QStringLiteral("Escape")});
        const unsigned long nBox = TakeModal(kMessageBox);
        if (nBox == 0 && qEnvironmentVariableIsSet("KOVA_E2E_SHOTS"))
            x.Screenshot().save(qEnvironmentVariable("KOVA_E2E_SHOTS") + u'/' + QString::fromLatin1(pszAfter) + ".png");
        ASSERT_NE(nBox, 0u) << "Escape did not ask the exit question after " << pszAfter;
        x.Keys({QStringLiteral("Escape")}); // the box's own Escape is No
        EXPECT_TRUE(x.WaitWindowGone(kMessageBox));
        EXPECT_TRUE(program.Running());
        x.Focus(m_nMain);
    }

    // A command of the Functions or File menu by keyboard: Options has a mnemonic of its own,
    // Left moves to the menu before it, and the item's letter chooses it. (Alt+F is shared by
    // File and Functions; Qt takes turns between the two on every press, so where it lands
    // depends on every Alt+F before. It is checked once, from a fresh start.)
    void Functions(const QString& strLetter)
    {
        x.Focus(m_nMain);
        x.Keys({QStringLiteral("alt+o"), QStringLiteral("Left"), strLetter});
    }
    void File(const QString& strLetter)
    {
        x.Focus(m_nMain);
        x.Keys({QStringLiteral("alt+o"), QStringLiteral("Left"), QStringLiteral("Left"), strLetter});
    }

    // The bytes the panel logs as read from the line.
    QString PanelLog() const { return m_dir.path() + QStringLiteral("/panel.log"); }

    // One command to the virtual panel; a test failure on ERR or silence. Generous time, as
    // the program and the X server compete for the processor.
    void Panel(const char* pszCommand)
    {
        std::vector<std::string> out;
        EXPECT_TRUE(panel.Command(pszCommand, &out, kPanelMs))
            << pszCommand << ": " << (out.empty() ? "no answer" : out.back());
    }
    QJsonObject Dump()
    {
        const std::string strState = panel.State(kPanelMs);
        EXPECT_FALSE(strState.empty()) << "no STATE line";
        return QJsonDocument::fromJson(QByteArray::fromStdString(strState).mid(6)).object();
    }
    // The telegrams the panel received, in hex, one string per telegram.
    QStringList History()
    {
        const std::string strHistory = panel.Reply("history", "HISTORY", kPanelMs);
        EXPECT_FALSE(strHistory.empty()) << "no HISTORY line";
        return QString::fromStdString(strHistory).mid(7).split(u' ', Qt::SkipEmptyParts);
    }
    bool HistoryHas(const QString& strHex)
    {
        return WaitUntil([&] { return History().contains(strHex, Qt::CaseInsensitive); }, 5000, 100);
    }

    static constexpr int kPanelMs = 10000;

    QTemporaryDir m_dir;
    CXServer x;
    CSimProcess panel;
    CProgram program;
    unsigned long m_nMain = 0;
    QPoint m_origin;
};

// ---------------------------------------------------------------------------------------

TEST_F(EndToEnd, StartHandshakeAndWhatTheWindowDraws)
{
    StartProgram(true);
    FindMainWindow();

    // The handshake on the wire, worked out by hand: STX; "#" DLE ETX and the block check
    // 0x23 ^ 0x13 = 0x30 in variant 1; DLE to the reply's STX and DLE after it; then '@'
    // (0x40 ^ 0x13 = 0x53) and "l+" (0x6C ^ 0x2B ^ 0x13 = 0x54).
    const QStringList expected = QStringLiteral("02 23 10 03 30 10 10 02 40 10 03 53 02 6C 2B 10 03 54").split(u' ');
    EXPECT_TRUE(WaitUntil([&] { return BytesFromProgram(PanelLog()).mid(0, expected.size()) == expected; }, 5000))
        << BytesFromProgram(PanelLog()).join(u' ').toStdString();
    EXPECT_EQ(Dump().value(QStringLiteral("variant")).toInt(), 1);

    QImage screen = x.Screenshot();
    // Connected: no status line.
    EXPECT_EQ(DarkPixels(screen, StatusBand()), 0);
    // The margins beside and under the picture take the picture's edge colour: no strip of
    // the window's own grey.
    const QRgb edge = Pixel(screen, 3, 250);
    EXPECT_NE(edge, Rgb(qRgb(239, 239, 239)));
    int nSeams = 0;
    for (int y = 0; y < 505; y += 7) {
        nSeams += Pixel(screen, 0, y) != Pixel(screen, 3, y);     // left margin
        nSeams += Pixel(screen, 346, y) != Pixel(screen, 342, y); // right margin
    }
    for (int nX = 0; nX < 348; nX += 7)
        nSeams += Pixel(screen, nX, 502) != Pixel(screen, nX, 497); // under the picture
    EXPECT_EQ(nSeams, 0);

    // A left click switches key 1 on: yellow over exactly its 36 x 36 square.
    x.Click(KeyCentre(0), 1);
    ASSERT_TRUE(WaitUntil([&] { return AllOf(x.Screenshot(), Face(0), kYellow); }, 5000, 50));
    screen = x.Screenshot();
    EXPECT_NE(Rgb(screen.pixel(Face(0).topLeft() - QPoint(1, 0))), Rgb(kYellow));
    EXPECT_NE(Rgb(screen.pixel(Face(0).bottomRight() + QPoint(1, 0))), Rgb(kYellow));
    EXPECT_TRUE(WaitUntil([&] { return Dump().value(QStringLiteral("leds")).toString().startsWith(u'1'); }));

    // A key held on the panel: the red rounded marker, black outline, LED colour in the corners.
    Panel("press 3");
    ASSERT_TRUE(WaitUntil([&] { return Rgb(x.Screenshot().pixel(KeyCentre(2))) == Rgb(kRed); }, 5000, 50));
    screen = x.Screenshot();
    const QRect face = Face(2);
    EXPECT_EQ(Rgb(screen.pixel(face.topLeft())), Rgb(kGrey));
    EXPECT_EQ(Rgb(screen.pixel(face.bottomRight())), Rgb(kGrey));
    EXPECT_EQ(Rgb(screen.pixel(face.center().x(), face.top())), 0u);
    EXPECT_EQ(Rgb(screen.pixel(face.left(), face.center().y())), 0u);
    Panel("release");
    EXPECT_TRUE(WaitUntil([&] { return AllOf(x.Screenshot(), Face(2), kGrey); }, 5000, 50));

    // The LCD rows through the text input dialog: a left click in the LCD opens it.
    x.Click(At(170, 124), 1);
    ASSERT_NE(TakeModal(kTextInput), 0u);
    x.Type(QStringLiteral("HHHHH"));
    x.Keys({QStringLiteral("Tab")});
    x.Type(QStringLiteral("_____"));
    x.Keys({QStringLiteral("Tab")});
    x.Type(QStringLiteral("HHHHH"));
    x.Keys({QStringLiteral("Return")});
    ASSERT_TRUE(x.WaitWindowGone(kTextInput));
    EXPECT_TRUE(WaitUntil([&] {
        const QJsonArray lcd = Dump().value(QStringLiteral("lcd")).toArray();
        return lcd.size() == 8 && lcd[1].toString().startsWith(QStringLiteral("_____"))
               && lcd[2].toString().startsWith(QStringLiteral("HHHHH"));
    }));
    x.Focus(m_nMain);
    ASSERT_TRUE(WaitUntil([&] { return DarkPixels(x.Screenshot(), QRect(At(86, 70), QSize(60, 14))) > 30; }, 5000, 50));
    screen = x.Screenshot();
    // Rows 14 pixels apart from y = 70: each row's ink lies in its own 15-pixel cell, so the
    // underscores of row 2 (y = 84) end by y = 98 and stay off the letters of row 3.
    const int nRow1Top = kLcdTextOrigin.y + kLcdRowPitch;
    int nUnderscoreBottom = -1;
    for (int y = nRow1Top; y < nRow1Top + 20; ++y)
        if (DarkPixels(screen, QRect(At(kLcdTextOrigin.x, y), QSize(50, 1))) >= 40)
            nUnderscoreBottom = y; // a full underscore line across five cells
    EXPECT_GE(nUnderscoreBottom, nRow1Top);
    EXPECT_LE(nUnderscoreBottom, nRow1Top + 14);
    EXPECT_GT(DarkPixels(screen, QRect(At(kLcdTextOrigin.x, kLcdTextOrigin.y), QSize(50, 15))), 30);
    EXPECT_EQ(DarkPixels(screen, QRect(At(kLcdTextOrigin.x, kLcdTextOrigin.y + 3 * kLcdRowPitch), QSize(150, 14))), 0);

    // The maximise box is asked for: the window's decoration hints name it.
    const QByteArray hints = x.Tool(
        QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(m_nMain), QStringLiteral("_MOTIF_WM_HINTS")});
    const QList<QByteArray> fields = hints.mid(hints.indexOf('=') + 1).split(',');
    ASSERT_GE(fields.size(), 3) << hints.toStdString();
    const unsigned nDecorations = fields[2].trimmed().toUInt(nullptr, 0);
    EXPECT_TRUE((nDecorations & 0x40) != 0 || nDecorations == 1) << hints.toStdString(); // maximise, or all
}

// The window with COM1 mapped to rfc2217://127.0.0.1:PORT: the same handshake reaches the
// panel through ser2net, a click lights its LED there, and a key pressed on the panel shows.
TEST_F(EndToEnd, WindowOnAPanelBehindASerialDeviceServer)
{
    if (!CSerialServer::HaveSer2net())
        GTEST_SKIP() << "ser2net is not installed (scripts/packages.txt, test)";
    m_bBehindServer = true;
    StartProgram(true);
    FindMainWindow();
    const QStringList expected = QStringLiteral("02 23 10 03 30 10 10 02 40 10 03 53 02 6C 2B 10 03 54").split(u' ');
    EXPECT_TRUE(WaitUntil([&] { return BytesFromProgram(PanelLog()).mid(0, expected.size()) == expected; }, 5000))
        << BytesFromProgram(PanelLog()).join(u' ').toStdString();
    EXPECT_EQ(DarkPixels(x.Screenshot(), StatusBand()), 0) << "not connected";

    x.Click(KeyCentre(0), 1);
    ASSERT_TRUE(WaitUntil([&] { return AllOf(x.Screenshot(), Face(0), kYellow); }, 5000, 50));
    EXPECT_TRUE(WaitUntil([&] { return Dump().value(QStringLiteral("leds")).toString().startsWith(u'1'); }));
    Panel("press 3");
    EXPECT_TRUE(WaitUntil([&] { return Rgb(x.Screenshot().pixel(KeyCentre(2))) == Rgb(kRed); }, 5000, 50));
    Panel("release");
}

TEST_F(EndToEnd, KeyboardMenusEveryFunctionAndEscapeAfterEach)
{
    StartProgram(true);
    FindMainWindow();
    ExpectEscapeAsksAndAnswerNo("start-up");

    // The shared mnemonic: the first Alt+F opens File, the second moves on to Functions.
    x.Keys({QStringLiteral("alt+f"), QStringLiteral("alt+f"), QStringLiteral("t")});
    ASSERT_NE(TakeModal(kTextInput), 0u);
    x.Keys({QStringLiteral("Escape")});
    ASSERT_TRUE(x.WaitWindowGone(kTextInput));
    ExpectEscapeAsksAndAnswerNo("the text input dialog cancelled");

    // A menu opened by keyboard and left with Escape, twice (the popup, then the bar).
    x.Keys({QStringLiteral("alt+o"), QStringLiteral("Escape"), QStringLiteral("Escape")});
    ExpectEscapeAsksAndAnswerNo("a menu closed by keyboard");
    // A menu opened by the mouse and closed with Escape.
    const QRect main = x.Geometry(m_nMain);
    x.Click(main.topLeft() + QPoint(20, 8), 1); // "File" on the menu bar
    // The first Escape closes the popup and leaves the bar selected, the second leaves the bar.
    x.Keys({QStringLiteral("Escape"), QStringLiteral("Escape")});
    ExpectEscapeAsksAndAnswerNo("a menu opened by the mouse");

    // Functions, Reset KOVA: the panel is probed again.
    Panel("clear");
    Functions(QStringLiteral("r"));
    EXPECT_TRUE(HistoryHas(QStringLiteral("23")));
    ExpectEscapeAsksAndAnswerNo("Reset KOVA");

    // Permanence Test Start: the notice rows and the LED cycle on the screen, '1' onwards on
    // the line.
    Panel("clear");
    Functions(QStringLiteral("s"));
    EXPECT_TRUE(HistoryHas(QStringLiteral("31")));
    EXPECT_TRUE(LedPicturesChange(3));
    EXPECT_GT(DarkPixels(x.Screenshot(), QRect(At(86, 70), QSize(150, 112))), 50);
    ExpectEscapeAsksAndAnswerNo("Permanence Test Start");

    // Permanence Test Stop: "l+%" and "@", all LEDs off.
    Panel("clear");
    Functions(QStringLiteral("o"));
    EXPECT_TRUE(HistoryHas(QStringLiteral("6C2B25")));
    EXPECT_TRUE(HistoryHas(QStringLiteral("40")));
    EXPECT_EQ(QDir(m_dir.path() + QStringLiteral("/kova_en")).entryList({QStringLiteral("permanence-*.json")}).size(),
              1);
    EXPECT_TRUE(WaitUntil(
        [&] {
            const QImage screen = x.Screenshot();
            for (int i = 0; i < kKeyCount; ++i)
                if (!AllOf(screen, Face(i), kGrey))
                    return false;
            return true;
        },
        5000, 100));
    ExpectEscapeAsksAndAnswerNo("Permanence Test Stop");

    // Text Input...: the dialog, its text on the panel's LCD.
    Functions(QStringLiteral("t"));
    ASSERT_NE(TakeModal(kTextInput), 0u);
    x.Keys({QStringLiteral("ctrl+a")}); // the field holds the permanence test's notice row
    x.Type(QStringLiteral("MENU"));
    x.Keys({QStringLiteral("Return")});
    ASSERT_TRUE(x.WaitWindowGone(kTextInput));
    EXPECT_TRUE(WaitUntil([&] {
        const QJsonArray lcd = Dump().value(QStringLiteral("lcd")).toArray();
        return !lcd.isEmpty() && lcd[0].toString().startsWith(QStringLiteral("MENU"));
    }));
    ExpectEscapeAsksAndAnswerNo("the text input dialog");

    // Options, Serial Port...: the settings dialog again; Escape there is its Cancel.
    x.Keys({QStringLiteral("alt+o"), QStringLiteral("s")});
    ASSERT_NE(TakeModal(kSettings), 0u);
    x.Keys({QStringLiteral("Escape")});
    ASSERT_TRUE(x.WaitWindowGone(kSettings));
    ExpectEscapeAsksAndAnswerNo("the settings dialog");

    // File, About KOVA_EN and its OK.
    File(QStringLiteral("k"));
    ASSERT_NE(TakeModal(kAbout), 0u);
    x.Keys({QStringLiteral("Return")});
    ASSERT_TRUE(x.WaitWindowGone(kAbout));
    ExpectEscapeAsksAndAnswerNo("the about box");

    // File, Exit, Yes: the program ends.
    File(QStringLiteral("e"));
    ASSERT_NE(TakeModal(kMessageBox), 0u);
    x.Keys({QStringLiteral("Return")}); // Yes is the default button
    EXPECT_EQ(program.WaitExit(), 0) << program.Output().toStdString();
}

TEST_F(EndToEnd, TicksGoOnInsideModalLoops)
{
    StartProgram(true);
    FindMainWindow();

    // About box open, then the exit question: a flashing LED keeps flashing.
    x.Click(KeyCentre(5), 3);
    const auto keepsFlashing = [&] {
        bool bSawYellow = false;
        bool bSawGrey = false;
        return WaitUntil(
            [&] {
                const QRgb px = Rgb(x.Screenshot().pixel(KeyCentre(5)));
                bSawYellow |= px == Rgb(kYellow);
                bSawGrey |= px == Rgb(kGrey);
                return bSawYellow && bSawGrey;
            },
            6000, 20);
    };
    File(QStringLiteral("k"));
    ASSERT_NE(TakeModal(kAbout), 0u);
    EXPECT_TRUE(keepsFlashing()) << "about box";
    x.Keys({QStringLiteral("Escape")});
    ASSERT_TRUE(x.WaitWindowGone(kAbout));
    x.Focus(m_nMain);
    x.Keys({QStringLiteral("Escape")});
    ASSERT_NE(TakeModal(kMessageBox), 0u);
    EXPECT_TRUE(keepsFlashing()) << "exit question";
    x.Keys({QStringLiteral("Escape")});
    ASSERT_TRUE(x.WaitWindowGone(kMessageBox));

    // Text input dialog open: a key pressed on the panel moves the red marker.
    x.Click(At(170, 124), 1);
    const unsigned long nTextInput = TakeModal(kTextInput);
    ASSERT_NE(nTextInput, 0u);
    Panel("press 5");
    EXPECT_TRUE(WaitUntil([&] { return Rgb(x.Screenshot().pixel(KeyCentre(4))) == Rgb(kRed); }, 5000, 50));
    Panel("press 8");
    EXPECT_TRUE(WaitUntil(
        [&] {
            const QImage screen = x.Screenshot();
            return Rgb(screen.pixel(KeyCentre(7))) == Rgb(kRed) && Rgb(screen.pixel(KeyCentre(4))) != Rgb(kRed);
        },
        5000, 50));
    EXPECT_NE(x.FindWindow(kTextInput), 0u);
    Panel("release");
    x.Keys({QStringLiteral("Escape")});
    ASSERT_TRUE(x.WaitWindowGone(kTextInput));

    // A permanence test running, then the panel falls silent: the link is lost at the next
    // exchange and "KOVA could not be found !" opens. While it is open the ticks go on: the LED
    // cycle runs and the status line appears.
    Functions(QStringLiteral("s"));
    ASSERT_TRUE(LedPicturesChange(2));
    Panel("fault silent on");
    ASSERT_NE(TakeModal(kMessageBox), 0u) << "no notice of the lost link";
    EXPECT_TRUE(LedPicturesChange(4)) << "the LED cycle stopped while the notice was open";
    EXPECT_TRUE(WaitUntil([&] { return DarkPixels(x.Screenshot(), StatusBand()) > 20; }, 5000, 100));
    // Closed, it does not come back while the link stays closed.
    x.Keys({QStringLiteral("Return")});
    ASSERT_TRUE(x.WaitWindowGone(kMessageBox));
    EXPECT_TRUE(LedPicturesChange(2));
    EXPECT_EQ(x.FindWindow(kMessageBox), 0u);
    Functions(QStringLiteral("o"));
    ExpectEscapeAsksAndAnswerNo("the lost-link notice");
}

TEST_F(EndToEnd, DialogSizesDoubleClicksAndCharactersOutsideTheCodePage)
{
    StartProgram(true);
    FindMainWindow();

    // Each dialog within 10 % of its template: units of 1.5 x 1.625 pixels.
    const auto expectSize = [&](const QString& strPattern, QSize template_) {
        const unsigned long nDialog = TakeModal(strPattern);
        ASSERT_NE(nDialog, 0u) << strPattern.toStdString();
        const QSize size = x.Geometry(nDialog).size();
        EXPECT_LE(std::abs(size.width() - template_.width() * 1.5), template_.width() * 0.15) << size.width();
        EXPECT_LE(std::abs(size.height() - template_.height() * 1.625), template_.height() * 0.1625) << size.height();
        x.Keys({QStringLiteral("Escape")});
        EXPECT_TRUE(x.WaitWindowGone(strPattern));
    };
    x.Focus(m_nMain);
    x.Keys({QStringLiteral("alt+o"), QStringLiteral("s")});
    expectSize(kSettings, {188, 103});
    Functions(QStringLiteral("t"));
    expectSize(kTextInput, {186, 119});
    File(QStringLiteral("k"));
    expectSize(kAbout, {217, 89});

    // A double-click is one click: one toggle and one telegram per button, '2' (on) and then
    // 'R' (flashing) for key 2; on the LCD it opens the text input once.
    Panel("clear");
    const auto doubleClick = [&](QPoint pos, const char* pszButton) {
        x.Xdotool({QStringLiteral("mousemove"), QString::number(pos.x()), QString::number(pos.y()),
                   QStringLiteral("click"), QStringLiteral("--repeat"), QStringLiteral("2"), QStringLiteral("--delay"),
                   QStringLiteral("80"), QString::fromLatin1(pszButton)});
    };
    doubleClick(KeyCentre(1), "1");
    ASSERT_TRUE(WaitUntil([&] { return AllOf(x.Screenshot(), Face(1), kYellow); }, 5000, 50));
    doubleClick(KeyCentre(1), "3");
    EXPECT_TRUE(HistoryHas(QStringLiteral("52")));
    QThread::msleep(600); // room for a second telegram that must not come
    EXPECT_EQ(History(), QStringList({QStringLiteral("32"), QStringLiteral("52")}));
    doubleClick(At(170, 124), "1");
    ASSERT_NE(TakeModal(kTextInput), 0u);

    // Characters the LCD's code page lacks become '?' (panel code 0x9F); the mirror stays
    // inside the LCD: nothing right of it changes.
    const QImage before = x.Screenshot();
    x.Type(QStringLiteral(u"\u4E2D\u4E2D\u4E2D\u4E2D\u4E2D\u4E2D\u4E2D\u4E2D") + QString::fromUcs4(U"\U0001F600")
           + QStringLiteral("A"));
    x.Keys({QStringLiteral("Return")});
    ASSERT_TRUE(x.WaitWindowGone(kTextInput));
    EXPECT_FALSE(WaitUntil([&] { return x.FindWindow(kTextInput) != 0; }, 800, 100)) << "opened twice";
    // xdotool types characters outside the keymap through a keycode it remaps for each one, and
    // on a loaded machine it loses some; how many '?' arrive may vary, never what they are.
    const QRegularExpression row(QStringLiteral("^6C26(9F)+A12300(20)+$"));
    EXPECT_TRUE(WaitUntil([&] { return !History().filter(row).isEmpty(); }, 5000, 100))
        << History().join(u' ').toStdString();
    ASSERT_TRUE(
        WaitUntil([&] { return DarkPixels(x.Screenshot(), QRect(At(86, 70), QSize(100, 14))) > 30; }, 5000, 50));
    const QImage after = x.Screenshot();
    int nChanged = 0;
    for (int nY = g_rcLcd.top; nY < g_rcLcd.bottom; ++nY)
        for (int nX = g_rcLcd.right; nX < g_rcLcd.right + 60; ++nX)
            nChanged += Rgb(before.pixel(At(nX, nY))) != Rgb(after.pixel(At(nX, nY)));
    EXPECT_EQ(nChanged, 0);
}

TEST_F(EndToEnd, DemonstrationModeBoxesAndEscapeExit)
{
    StartProgram(false);

    // The start-up boxes come while the main window is hidden: centred on the screen.
    const QPoint screenCentre(x.ScreenSize().width() / 2, x.ScreenSize().height() / 2);
    for (const char* pszWhich : {"could not be opened", "could not be found"}) {
        SCOPED_TRACE(pszWhich);
        const unsigned long nBox = x.WaitWindow(kMessageBox);
        ASSERT_NE(nBox, 0u);
        const QPoint centre = x.Geometry(nBox).center();
        // Centred on the available screen; Qt allows for a frame that no window manager draws.
        EXPECT_LE(std::abs(centre.x() - screenCentre.x()), 30) << "box centred at " << centre.x() << "," << centre.y();
        EXPECT_LE(std::abs(centre.y() - screenCentre.y()), 60) << "box centred at " << centre.x() << "," << centre.y();
        x.Focus(nBox);
        x.Keys({QStringLiteral("Return")});
        ASSERT_TRUE(WaitUntil([&] { return x.FindWindow(kMessageBox) != nBox; }));
    }
    FindMainWindow();

    // The status line at (5, 480), drawn by every tick; no notice for a link that was never up.
    EXPECT_TRUE(WaitUntil([&] { return DarkPixels(x.Screenshot(), StatusBand()) > 20; }, 5000, 100));
    EXPECT_EQ(x.FindWindow(kMessageBox), 0u);

    // A flashing LED flashes in demonstration mode too.
    x.Click(KeyCentre(11), 3);
    EXPECT_TRUE(LedPicturesChange(3));

    ExpectEscapeAsksAndAnswerNo("the start-up message boxes");

    // Escape, Yes: the program ends.
    x.Keys({QStringLiteral("Escape")});
    ASSERT_NE(TakeModal(kMessageBox), 0u);
    x.Keys({QStringLiteral("Return")});
    EXPECT_EQ(program.WaitExit(), 0) << program.Output().toStdString();
}

TEST_F(EndToEnd, ADoubleSigtermDuringAPermanenceTestLeavesItsReportAndEndsTheProgram)
{
    StartProgram(true);
    FindMainWindow();
    Functions(QStringLiteral("s"));
    ASSERT_TRUE(HistoryHas(QStringLiteral("31")));
    // Twice, as timeout delivers it (to the program, then to its process group), while Qt's own
    // threads run beside the main one: one request, whichever thread takes each.
    ASSERT_EQ(::kill(static_cast<pid_t>(program.Pid()), SIGTERM), 0);
    ASSERT_EQ(::kill(static_cast<pid_t>(program.Pid()), SIGTERM), 0);
    // Ended by the signal itself, as before there were reports, not by a normal exit.
    EXPECT_EQ(program.WaitExit(), -1);
    EXPECT_FALSE(program.Running());
    const QDir folder(m_dir.path() + QStringLiteral("/kova_en"));
    const QStringList reports = folder.entryList({QStringLiteral("permanence-*.json")});
    ASSERT_EQ(reports.size(), 1);
    QFile file(folder.filePath(reports[0]));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(QJsonDocument::fromJson(file.readAll())[QStringLiteral("ended_by")].toString(),
              QStringLiteral("SIGTERM"));
}

} // namespace

// ---------------------------------------------------------------------------------------
// The same program on a Wayland desktop: weston inside the test's X server.

class OnWayland : public EndToEnd {
protected:
    void SetUp() override
    {
        if (!KOVA_HAVE_WESTON)
            GTEST_SKIP() << "weston is not installed";
        EndToEnd::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(wl.Start(x, m_dir.path())) << "weston did not come up";
        program.LogErrorsTo(wl.ProtocolLog());
    }

    // The settings dialog first and alone, Return in it, then the main window.
    void StartAndConnect()
    {
        StartProgramIn(wl.Environment(), true);
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_TRUE(wl.WaitToplevel(QStringLiteral("Serial Communication"), 20000)) << "no settings dialog";
        EXPECT_EQ(wl.Toplevels(), QStringList{QStringLiteral("Serial Communication")});
        Keep("serial-communication");
        ASSERT_TRUE(wl.WaitKeyboard(QStringLiteral("Serial Communication")));
        wl.Keys({QStringLiteral("Return")});
        ASSERT_TRUE(wl.WaitToplevel(kMainTitle, 20000)) << "no main window";
        const bool bFound = WaitUntil([&] { return FindClientOrigin(wl.Screenshot(), m_origin); }, 10000, 100);
        if (!bFound && qEnvironmentVariableIsSet("KOVA_E2E_SHOTS"))
            wl.Screenshot().save(qEnvironmentVariable("KOVA_E2E_SHOTS") + QStringLiteral("/wayland-no-leds.png"));
        ASSERT_TRUE(bFound) << "twelve grey LED squares not found";
    }

    // The screen once it has settled (two screenshots alike), kept under the build tree for
    // people to look at.
    void Keep(const char* pszName)
    {
        QImage last;
        QImage screen;
        WaitUntil(
            [&] {
                last = screen;
                screen = wl.Screenshot();
                return screen == last;
            },
            5000, 150);
        QDir().mkpath(QStringLiteral(KOVA_WAYLAND_SHOTS));
        screen.save(QStringLiteral(KOVA_WAYLAND_SHOTS "/%1.png").arg(QString::fromLatin1(pszName)));
    }

    const QString kMainTitle = QStringLiteral("TARVEST GMBH + CO.   KOVA_EN");
    const QString kBoxTitle = QStringLiteral("KOVA_EN");
    CWeston wl;
};

// What a sanitizer said in the program's standard error, which goes into the protocol log here.
std::string SanitizerLines(const QString& strLog)
{
    QFile log(strLog);
    if (!log.open(QIODevice::ReadOnly))
        return {};
    std::string lines;
    bool bReport = false;
    for (const QByteArray& line : log.readAll().split('\n')) {
        bReport = bReport || line.contains("Sanitizer") || line.contains("runtime error");
        if (bReport && !line.startsWith('['))
            lines += line.toStdString() + '\n';
    }
    return lines;
}

TEST_F(OnWayland, SettingsFirstHandshakeAboutAndTheExitQuestion)
{
    StartAndConnect();
    // The compositor finds the desktop entry, and with it the icon, by this id.
    EXPECT_EQ(wl.AppId(), QStringLiteral("org.example.kova_en"));
    const QStringList expected = QStringLiteral("02 23 10 03 30 10 10 02 40 10 03 53 02 6C 2B 10 03 54").split(u' ');
    EXPECT_TRUE(WaitUntil([&] { return BytesFromProgram(PanelLog()).mid(0, expected.size()) == expected; }, 5000))
        << BytesFromProgram(PanelLog()).join(u' ').toStdString();
    Keep("main-window");

    // File, About KOVA_EN by keyboard; the compositor gives the new window the keys.
    ASSERT_TRUE(wl.WaitKeyboard(kMainTitle));
    wl.Keys({QStringLiteral("alt+o"), QStringLiteral("Left"), QStringLiteral("Left"), QStringLiteral("k")});
    ASSERT_TRUE(wl.WaitKeyboard(QStringLiteral("About KOVA_EN")));
    Keep("about-kova_en");
    wl.Keys({QStringLiteral("Return")});
    ASSERT_TRUE(wl.WaitToplevelGone(QStringLiteral("About KOVA_EN")));

    // Enter does nothing, Escape asks, No keeps everything running, Yes ends the program.
    ASSERT_TRUE(wl.WaitKeyboard(kMainTitle));
    wl.Keys({QStringLiteral("Return"), QStringLiteral("Escape")});
    ASSERT_TRUE(wl.WaitKeyboard(kBoxTitle)) << "Escape did not ask the exit question";
    wl.Keys({QStringLiteral("Escape")});
    ASSERT_TRUE(wl.WaitToplevelGone(kBoxTitle));
    EXPECT_TRUE(program.Running());
    EXPECT_EQ(wl.Toplevels(), QStringList{kMainTitle});
    ASSERT_TRUE(wl.WaitKeyboard(kMainTitle));
    wl.Keys({QStringLiteral("Escape")});
    ASSERT_TRUE(wl.WaitKeyboard(kBoxTitle));
    wl.Keys({QStringLiteral("Return")});
    EXPECT_EQ(program.WaitExit(), 0) << (program.Running() ? "still running" : "crashed") << ", windows "
                                     << wl.Toplevels().join(u',').toStdString() << "\n"
                                     << SanitizerLines(wl.ProtocolLog());
}

TEST_F(OnWayland, LeftAndRightClicksOnKeys)
{
    StartAndConnect();
    Panel("clear");
    // Left on key 1: on, '1' on the line, yellow over exactly its square.
    wl.Click(KeyCentre(0), 1);
    EXPECT_TRUE(HistoryHas(QStringLiteral("31")));
    ASSERT_TRUE(WaitUntil([&] { return AllOf(wl.Screenshot(), Face(0), kYellow); }, 5000, 50));
    const QImage screen = wl.Screenshot();
    EXPECT_NE(Rgb(screen.pixel(Face(0).topLeft() - QPoint(1, 0))), Rgb(kYellow));
    EXPECT_NE(Rgb(screen.pixel(Face(0).bottomRight() + QPoint(1, 0))), Rgb(kYellow));
    // Right on key 2: flashing, 'R' on the line, yellow and grey in turn; key 1 stays on.
    wl.Click(KeyCentre(1), 3);
    EXPECT_TRUE(HistoryHas(QStringLiteral("52")));
    EXPECT_TRUE(LedPicturesChange(3));
    EXPECT_TRUE(LedPicture(wl.Screenshot()).startsWith(u'Y'));
    EXPECT_EQ(History(), QStringList({QStringLiteral("31"), QStringLiteral("52")}));
}
