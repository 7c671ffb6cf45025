// The Windows program as installed by its installer, under Wine on the test's own X server,
// with Wine's COM1 on the virtual panel: driven only as a user and a panel would, as the Linux
// program is. tests/windows/run-wine-app-tests.sh installs the program, runs this and
// uninstalls it again; it hands over, in the environment:
//   WINEPREFIX           the Wine prefix the program is installed in
//   KOVA_WINE_PROGRAM    the installed kova_en.exe, as a Windows path
//   KOVA_WINE_COM1       the link that the prefix's COM1 is mapped to
//   KOVA_WINE_SHOTS      where the screenshots of the windows go
// Without them every scenario is skipped.

#include "geometry.h"
#include "sim_process.h"
#include "x_session.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// Wine starts its services with the first program: windows come late.
constexpr int kWineStartMs = 60000;
constexpr int kPanelMs = 10000;

class OnWine : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_strProgram = qEnvironmentVariable("KOVA_WINE_PROGRAM");
        m_strCom1 = qEnvironmentVariable("KOVA_WINE_COM1");
        if (m_strProgram.isEmpty() || m_strCom1.isEmpty() || !qEnvironmentVariableIsSet("WINEPREFIX"))
            GTEST_SKIP() << "not started by run-wine-app-tests.sh";
        ASSERT_TRUE(m_dir.isValid());
        ASSERT_TRUE(x.Start(m_dir.path())) << "Xvfb did not come up";
    }

    // The virtual panel behind Wine's COM1, and the installed program started through wine:
    // its settings dialog comes first, and alone.
    void StartProgram()
    {
        std::string strError;
        ASSERT_TRUE(panel.Start(KOVA_SIM_BINARY, {"--log", PanelLog().toStdString()}, &strError))
            << "kova_sim did not come up: " << strError;
        // The prefix maps COM1 to a fixed link; it is pointed at this panel's own link.
        const QByteArray com1 = m_strCom1.toLocal8Bit();
        ::unlink(com1.constData());
        ASSERT_EQ(::symlink(panel.LinkPath().c_str(), com1.constData()), 0);
        QProcessEnvironment env = x.Environment();
        env.insert(QStringLiteral("XDG_STATE_HOME"), m_dir.path());
        // The program's own COM1 and COM2, as a Windows user would have them.
        ASSERT_TRUE(program.Start(env, QStringLiteral("COM1"), QStringLiteral("wine"), {m_strProgram}));
        const unsigned long nSettings = x.WaitWindow(kSettings, kWineStartMs);
        ASSERT_NE(nSettings, 0u) << "no settings dialog";
        EXPECT_EQ(x.FindWindow(kMainWindow), 0u);
        Keep("serial-communication", nSettings);
        x.Focus(nSettings);
        x.Keys({QStringLiteral("Return")});
        m_nMain = x.WaitWindow(kMainWindow, 20000);
        ASSERT_NE(m_nMain, 0u) << "no main window";
        ASSERT_TRUE(WaitUntil([&] { return FindClientOrigin(x.Screenshot(), m_origin); }, 10000, 100))
            << "twelve grey LED squares not found";
    }

    // A window as it looks once it has settled (two screenshots alike), for people to look at.
    void Keep(const char* pszName, unsigned long nWindow)
    {
        QImage last;
        QImage screen;
        WaitUntil(
            [&] {
                last = screen;
                screen = x.Screenshot();
                return screen == last;
            },
            5000, 150);
        const QString strShots = qEnvironmentVariable("KOVA_WINE_SHOTS");
        if (strShots.isEmpty())
            return;
        QDir().mkpath(strShots);
        const QRect rc = x.Geometry(nWindow).intersected(screen.rect());
        screen.copy(rc.isEmpty() ? screen.rect() : rc)
            .save(strShots + u'/' + QString::fromLatin1(pszName) + QStringLiteral(".png"));
    }

    QRect Face(int nKey) const
    {
        const CRect& rc = g_rcKeys[nKey];
        return {m_origin + QPoint(rc.left, rc.top), QSize(rc.Width(), rc.Height())};
    }
    QString PanelLog() const { return m_dir.path() + QStringLiteral("/panel.log"); }
    QStringList History()
    {
        const std::string strHistory = panel.Reply("history", "HISTORY", kPanelMs);
        return QString::fromStdString(strHistory).mid(7).split(u' ', Qt::SkipEmptyParts);
    }
    bool HistoryHas(const QString& strHex)
    {
        return WaitUntil([&] { return History().contains(strHex, Qt::CaseInsensitive); }, 5000, 100);
    }
    QJsonArray Lcd()
    {
        const std::string strState = panel.State(kPanelMs);
        const QJsonObject state = QJsonDocument::fromJson(QByteArray::fromStdString(strState).mid(6)).object();
        return state.value(QStringLiteral("lcd")).toArray();
    }
    // The program's windows on the screen (Wine gives every one, a menu's too, the class of the
    // program's file name).
    int ProgramWindows() const
    {
        const QByteArray ids = x.Xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                          QStringLiteral("--classname"), QStringLiteral("kova_en")})
                                   .trimmed();
        return ids.isEmpty() ? 0 : static_cast<int>(ids.split('\n').size());
    }
    // A box opened from the main window: found, moved clear of the panel picture, focused.
    unsigned long TakeModal(const QString& strPattern)
    {
        const unsigned long nBox = x.WaitWindow(strPattern, 20000);
        if (nBox != 0) {
            x.Move(nBox, QPoint(720, 10));
            x.Focus(nBox);
        }
        return nBox;
    }

    // Escape in the main window asks the exit question, and Return, its Yes, ends the program.
    void EscapeAndYes()
    {
        x.Focus(m_nMain);
        x.Keys({QStringLiteral("Escape")});
        ASSERT_NE(TakeModal(kMessageBox), 0u) << "Escape did not ask the exit question";
        x.Keys({QStringLiteral("Return")});
        EXPECT_EQ(program.WaitExit(20000), 0) << program.Output().toStdString();
    }

    QTemporaryDir m_dir;
    QString m_strProgram;
    QString m_strCom1;
    CXServer x;
    CSimProcess panel;
    CProgram program;
    unsigned long m_nMain = 0;
    QPoint m_origin;
};

TEST_F(OnWine, SettingsHandshakeKeysTextAboutAndTheExitQuestion)
{
    StartProgram();
    ASSERT_FALSE(HasFatalFailure());

    // The handshake, byte for byte as on Linux: Wine's COM1 takes even parity from a
    // pseudo-terminal that cannot keep it, and nothing else differs on the line.
    const QStringList expected = QStringLiteral("02 23 10 03 30 10 10 02 40 10 03 53 02 6C 2B 10 03 54").split(u' ');
    EXPECT_TRUE(WaitUntil([&] { return BytesFromProgram(PanelLog()).mid(0, expected.size()) == expected; }, 10000))
        << BytesFromProgram(PanelLog()).join(u' ').toStdString();
    Keep("main-window", m_nMain);

    // Left on key 1: "1" on the line and yellow over its square; right on key 2: "R", flashing.
    ASSERT_TRUE(panel.Command("clear", nullptr, kPanelMs));
    x.Click(Face(0).center(), 1);
    EXPECT_TRUE(HistoryHas(QStringLiteral("31")));
    EXPECT_TRUE(WaitUntil([&] { return AllOf(x.Screenshot(), Face(0), kYellow); }, 5000, 50));
    x.Click(Face(1).center(), 3);
    EXPECT_TRUE(HistoryHas(QStringLiteral("52")));
    bool bSawOn = false;
    bool bSawOff = false;
    EXPECT_TRUE(WaitUntil(
        [&] {
            const QImage screen = x.Screenshot();
            bSawOn = bSawOn || AllOf(screen, Face(1), kYellow);
            bSawOff = bSawOff || AllOf(screen, Face(1), kGrey);
            return bSawOn && bSawOff;
        },
        6000, 50))
        << "key 2 does not flash";

    // Functions, Text Input...: a row the panel receives.
    x.Focus(m_nMain);
    x.Keys({QStringLiteral("alt+o"), QStringLiteral("Left"), QStringLiteral("t")});
    ASSERT_NE(TakeModal(kTextInput), 0u);
    x.Keys({QStringLiteral("ctrl+a")});
    x.Type(QStringLiteral("WINE"));
    x.Keys({QStringLiteral("Return")});
    ASSERT_TRUE(x.WaitWindowGone(kTextInput));
    EXPECT_TRUE(WaitUntil([&] {
        const QJsonArray lcd = Lcd();
        return !lcd.isEmpty() && lcd[0].toString().startsWith(QStringLiteral("WINE"));
    }));

    // File, About KOVA_EN...
    x.Focus(m_nMain);
    x.Keys({QStringLiteral("alt+o"), QStringLiteral("Left"), QStringLiteral("Left"), QStringLiteral("k")});
    unsigned long nAbout = TakeModal(kAbout);
    ASSERT_NE(nAbout, 0u) << "the File menu opened no about box";
    Keep("about-kova_en", nAbout);
    x.Keys({QStringLiteral("Return")});
    ASSERT_TRUE(x.WaitWindowGone(kAbout));

    // ... and the system menu's own item, the last one (Alt+Space opens the menu, End goes to
    // its last item).
    x.Focus(m_nMain);
    const int nWindows = ProgramWindows();
    x.Keys({QStringLiteral("alt+space")});
    // The menu is a window of its own: keys sent before it is up would go to the main window.
    ASSERT_TRUE(WaitUntil([&] { return ProgramWindows() > nWindows; }, 10000, 50)) << "the system menu did not open";
    x.Keys({QStringLiteral("End"), QStringLiteral("Return")});
    nAbout = TakeModal(kAbout);
    ASSERT_NE(nAbout, 0u) << "the system menu opened no about box";
    x.Keys({QStringLiteral("Escape")});
    ASSERT_TRUE(x.WaitWindowGone(kAbout));

    // Escape asks the exit question; No keeps the window, Yes ends the program.
    x.Focus(m_nMain);
    x.Keys({QStringLiteral("Escape")});
    ASSERT_NE(TakeModal(kMessageBox), 0u) << "Escape did not ask the exit question";
    x.Keys({QStringLiteral("Escape")});
    ASSERT_TRUE(x.WaitWindowGone(kMessageBox));
    EXPECT_TRUE(program.Running());
    EscapeAndYes();
}

TEST_F(OnWine, APanelUnpluggedDuringAPermanenceTestIsALostLinkAndNoHang)
{
    StartProgram();
    ASSERT_FALSE(HasFatalFailure());
    // Functions, Permanence Test Start; then the panel's side of COM1 goes away for good.
    x.Focus(m_nMain);
    x.Keys({QStringLiteral("alt+o"), QStringLiteral("Left"), QStringLiteral("s")});
    EXPECT_TRUE(WaitUntil([&] { return History().size() >= 3; }, 5000, 100)) << "the test sends nothing";
    ASSERT_TRUE(panel.Command("unplug", nullptr, kPanelMs));
    ASSERT_NE(TakeModal(kMessageBox), 0u) << "no notice of the lost link";
    // The notice closes, the window keeps answering and ends when asked.
    x.Keys({QStringLiteral("Return")});
    ASSERT_TRUE(x.WaitWindowGone(kMessageBox));
    EscapeAndYes();
}

} // namespace
