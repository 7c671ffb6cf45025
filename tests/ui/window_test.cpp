// The main window as the user drives it: the ways out, the menus, the system commands, and
// mouse clicks through the widget down to the panel.

#include "about_dlg.h"
#include "panel_canvas.h"
#include "window_rig.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

// Counts every about box that is shown, whoever opens it.
class CAboutShowSpy : public QObject {
public:
    CAboutShowSpy() { qApp->installEventFilter(this); }
    ~CAboutShowSpy() override { qApp->removeEventFilter(this); }
    int nShown = 0;

protected:
    bool eventFilter(QObject* pObject, QEvent* pEvent) override
    {
        if (pEvent->type() == QEvent::Show && qobject_cast<CAboutDlg*>(pObject) != nullptr)
            ++nShown;
        return false;
    }
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        rig.Init(false);
        ASSERT_TRUE(rig.Model().m_link.m_bOpen);
        rig.dlg.boxes.clear();
        rig.Show();
    }

    QAction* MenuAction(unsigned nId)
    {
        for (QAction* pMenu : rig.dlg.MenuBar()->actions())
            for (QAction* pItem : pMenu->menu()->actions())
                if (!pItem->isSeparator() && pItem->data().toUInt() == nId)
                    return pItem;
        return nullptr;
    }

    bool StillRunning() { return rig.dlg.isVisible() && rig.dlg.PollTimer().isActive() && rig.Model().m_link.m_bOpen; }

    CWindowRig rig;
    CEnginePanel panel{rig.device, rig.clock};
};

const CTestPanelDlg::Box kExitQuestion{IDS_EXIT_QUESTION, MB_YESNO, true};

} // namespace

// ---------------------------------------------------------------------------------------
// The ways out

TEST_F(WindowTest, EnterDoesNothing)
{
    QTest::keyClick(&rig.dlg, Qt::Key_Return);
    QTest::keyClick(&rig.dlg, Qt::Key_Enter);
    EXPECT_TRUE(rig.dlg.OnCommand(IDOK, 0));
    EXPECT_TRUE(rig.dlg.boxes.empty());
    EXPECT_TRUE(StillRunning());
}

TEST_F(WindowTest, CloseEventAnsweredYesEndsWithCancelAndLeavesLinkToDestructor)
{
    rig.dlg.nYesNoAnswer = IDYES;
    EXPECT_TRUE(rig.dlg.close());
    EXPECT_EQ(rig.dlg.boxes.size(), 1u);
    EXPECT_FALSE(rig.dlg.isVisible());
    EXPECT_EQ(rig.dlg.result(), IDCANCEL);
    EXPECT_TRUE(rig.Model().m_link.m_bOpen);
}

TEST_F(WindowTest, EscapeAnsweredYesEndsTheModalRun)
{
    rig.dlg.hide();
    rig.dlg.nYesNoAnswer = IDYES;
    QTimer::singleShot(0, &rig.dlg, [this] { QTest::keyClick(&rig.dlg, Qt::Key_Escape); });
    // A run that does not end would hang the test; end it the hard way after a long while.
    QTimer::singleShot(30000, &rig.dlg, [this] { rig.dlg.done(-99); });
    EXPECT_EQ(rig.dlg.exec(), IDCANCEL);
    ASSERT_EQ(rig.dlg.boxes.size(), 1u);
    EXPECT_EQ(rig.dlg.boxes[0], kExitQuestion);
}

TEST_F(WindowTest, FileExitAnsweredYesClosesLinkBeforeEnding)
{
    rig.dlg.nYesNoAnswer = IDYES;
    int nLinkOpenAtEnd = -1;
    QObject::connect(&rig.dlg, &QDialog::finished, &rig.dlg, [&] { nLinkOpenAtEnd = rig.Model().m_link.m_bOpen; });
    QAction* pExit = MenuAction(ID_EXIT);
    ASSERT_NE(pExit, nullptr);
    pExit->trigger();
    ASSERT_EQ(rig.dlg.boxes.size(), 1u);
    EXPECT_EQ(rig.dlg.boxes[0], kExitQuestion);
    EXPECT_EQ(nLinkOpenAtEnd, 0);
    EXPECT_FALSE(rig.device.IsOpen());
    EXPECT_FALSE(rig.dlg.isVisible());
    EXPECT_EQ(rig.dlg.result(), 0);
}

// Every way of asking to exit, answered No: the question once, and the window runs on with
// its link.
struct ExitCase {
    const char* name;
    void (*ask)(CTestPanelDlg& dlg);
};

class WindowExitAnsweredNo : public WindowTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(WindowExitAnsweredNo, KeepsEverythingRunning)
{
    rig.dlg.nYesNoAnswer = IDNO;
    GetParam().ask(rig.dlg);
    ASSERT_EQ(rig.dlg.boxes.size(), 1u);
    EXPECT_EQ(rig.dlg.boxes[0], kExitQuestion);
    EXPECT_TRUE(StillRunning());
    EXPECT_TRUE(rig.device.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(WindowTest, WindowExitAnsweredNo,
                         ::testing::Values(ExitCase{"EscapeAnsweredNoKeepsEverythingRunning",
                                                    [](CTestPanelDlg& dlg) { QTest::keyClick(&dlg, Qt::Key_Escape); }},
                                           ExitCase{"CloseEventAnsweredNoIsRefused",
                                                    [](CTestPanelDlg& dlg) { EXPECT_FALSE(dlg.close()); }},
                                           ExitCase{"FileExitAnsweredNoChangesNothing",
                                                    [](CTestPanelDlg& dlg) { dlg.OnCommand(ID_EXIT, 0); }}),
                         [](const ::testing::TestParamInfo<ExitCase>& info) { return std::string(info.param.name); });

TEST_F(WindowTest, PollTimerTicksWhileTheWindowRuns)
{
    // The flashing phase changes every third tick, so the running timer shows as phase
    // changes. A flashing LED keeps each phase for three ticks of 200 ms: a busy machine only
    // makes a phase longer, while a faster poll would make it visibly shorter. The margin
    // covers a coarse timer firing up to 5 % early and the 20 ms steps of the wait.
    const uint8_t before = rig.Model().m_bBlink;
    ASSERT_TRUE(WaitFor([&] { return rig.Model().m_bBlink != before; }, 20000));
    QElapsedTimer phase;
    phase.start();
    const uint8_t next = rig.Model().m_bBlink;
    ASSERT_TRUE(WaitFor([&] { return rig.Model().m_bBlink != next; }, 20000));
    EXPECT_GE(phase.elapsed(), 500);
}

// ---------------------------------------------------------------------------------------
// System commands and the about box

TEST_F(WindowTest, SystemCommandsSixteenToThirtyOneOpenTheAboutBox)
{
    CAboutShowSpy shows;
    for (unsigned id = 0x10; id <= 0x1F; ++id) {
        CModalSpy spy;
        OnNextModal(spy, [](QWidget* pModal) { static_cast<QDialog*>(pModal)->reject(); });
        rig.dlg.OnSysCommand(id, 0);
        EXPECT_EQ(spy.nSeen, 1) << "id " << id;
        EXPECT_EQ(spy.strClass, QStringLiteral("CAboutDlg"));
        EXPECT_EQ(spy.strTitle, QStringLiteral("About KOVA_EN"));
    }
    EXPECT_EQ(shows.nShown, 16);
    EXPECT_TRUE(StillRunning());
}

TEST_F(WindowTest, PlatformSystemCommandsAreNotTakenForTheAboutCommand)
{
    CAboutShowSpy shows;
    rig.dlg.nYesNoAnswer = IDNO;
    for (unsigned id : {0x0000u, 0x0020u, 0x0100u, 0xF010u, 0xF030u, 0xF120u})
        rig.dlg.OnSysCommand(id, 0);
    rig.dlg.OnSysCommand(SC_MINIMIZE, 0);
    rig.dlg.OnSysCommand(SC_RESTORE, 0);
    EXPECT_TRUE(rig.dlg.boxes.empty());
    // Close from the system menu asks the exit question.
    rig.dlg.OnSysCommand(SC_CLOSE, 0);
    ASSERT_EQ(rig.dlg.boxes.size(), 1u);
    EXPECT_EQ(rig.dlg.boxes[0], kExitQuestion);
    QCoreApplication::processEvents();
    EXPECT_EQ(shows.nShown, 0);
    EXPECT_TRUE(StillRunning());
}

TEST_F(WindowTest, AboutBoxTexts)
{
    CModalSpy spy;
    QStringList texts;
    OnNextModal(spy, [&](QWidget* pModal) {
        for (QLabel* pLabel : pModal->findChildren<QLabel*>())
            texts << pLabel->text();
        static_cast<QDialog*>(pModal)->reject();
    });
    rig.dlg.OnCommand(ID_ABOUT, 0);
    ASSERT_EQ(spy.nSeen, 1);
    EXPECT_TRUE(texts.contains(QStringLiteral("KOVA_EN, Version 3.0")));
    EXPECT_TRUE(texts.contains(QStringLiteral("16. September 1999")));
    // The four-line block: maker, street, town, web address; the maker is the one the main
    // window's caption names.
    QString strMaker;
    for (const QString& text : texts) {
        if (text.count(u'\n') == 3)
            strMaker = text.section(u'\n', 0, 0);
    }
    ASSERT_FALSE(strMaker.isEmpty());
    EXPECT_TRUE(rig.dlg.windowTitle().startsWith(strMaker + QStringLiteral("   ")));
}

// ---------------------------------------------------------------------------------------
// Menus

TEST_F(WindowTest, MenuTextsAndCommandIds)
{
    struct Item {
        QString text;
        unsigned nId; // 0: separator
    };
    const std::vector<std::pair<QString, std::vector<Item>>> expected = {
        {"&File", {{"About &KOVA_EN", ID_ABOUT}, {"&Exit", ID_EXIT}}},
        {"&Functions",
         {{"&Reset KOVA", ID_RESET_PANEL},
          {"", 0},
          {"Permanence Test &Start", ID_PERMTEST_START},
          {"Permanence Test St&op ", ID_PERMTEST_STOP},
          {"", 0},
          {"&Text Input...", ID_TEXT_INPUT}}},
        {"&Options", {{"&Serial Port...", ID_SERIAL_PORT}}},
    };
    const QList<QAction*> menus = rig.dlg.MenuBar()->actions();
    ASSERT_EQ(menus.size(), static_cast<qsizetype>(expected.size()));
    for (size_t m = 0; m < expected.size(); ++m) {
        EXPECT_EQ(menus[m]->text(), expected[m].first);
        const QList<QAction*> items = menus[m]->menu()->actions();
        ASSERT_EQ(items.size(), static_cast<qsizetype>(expected[m].second.size())) << expected[m].first.toStdString();
        for (size_t i = 0; i < expected[m].second.size(); ++i) {
            const Item& item = expected[m].second[i];
            SCOPED_TRACE(item.text.toStdString());
            if (item.nId == 0) {
                EXPECT_TRUE(items[i]->isSeparator());
                continue;
            }
            EXPECT_EQ(items[i]->text(), item.text);
            EXPECT_EQ(items[i]->data().toUInt(), item.nId);
            EXPECT_TRUE(items[i]->isEnabled());
            EXPECT_FALSE(items[i]->isCheckable());
        }
    }
}

TEST_F(WindowTest, MenuCommandsReachTheirHandlers)
{
    MenuAction(ID_TEXT_INPUT)->trigger();
    EXPECT_EQ(rig.dlg.nTextDialogs, 1);

    MenuAction(ID_PERMTEST_START)->trigger();
    EXPECT_TRUE(rig.Model().m_bPermTest);
    EXPECT_EQ(rig.Model().m_strRow[0], QStringLiteral("Permanence Test"));
    MenuAction(ID_PERMTEST_STOP)->trigger();
    EXPECT_FALSE(rig.Model().m_bPermTest);

    const size_t nAsks = rig.dlg.serialAsks.size();
    const int nOpens = rig.device.OpenCount();
    MenuAction(ID_RESET_PANEL)->trigger();
    EXPECT_EQ(rig.dlg.serialAsks.size(), nAsks);
    EXPECT_EQ(rig.device.OpenCount(), nOpens + 1);
    MenuAction(ID_SERIAL_PORT)->trigger();
    EXPECT_EQ(rig.dlg.serialAsks.size(), nAsks + 1);
    EXPECT_EQ(rig.device.OpenCount(), nOpens + 2);
    EXPECT_TRUE(rig.Model().m_link.m_bOpen);

    CModalSpy spy;
    OnNextModal(spy, [](QWidget* pModal) { static_cast<QDialog*>(pModal)->reject(); });
    MenuAction(ID_ABOUT)->trigger();
    EXPECT_EQ(spy.strClass, QStringLiteral("CAboutDlg"));
    EXPECT_TRUE(rig.dlg.boxes.empty());
    EXPECT_TRUE(StillRunning());
}

TEST_F(WindowTest, WindowCaption)
{
    EXPECT_EQ(rig.dlg.windowTitle(), QStringLiteral("TARVEST GMBH + CO.   KOVA_EN"));
}

// ---------------------------------------------------------------------------------------
// Clicks through the widget

TEST_F(WindowTest, ClicksOnKeysSwitchLedsAndTellThePanel)
{
    for (int i = 0; i < kKeyCount; ++i) {
        SCOPED_TRACE(testing::Message() << "key " << i);
        panel.ClearLog();
        QTest::mouseClick(rig.dlg.Canvas(), Qt::LeftButton, {}, KeyCentre(i));
        EXPECT_EQ(rig.Model().m_led[i], kLedOn);
        QTest::mouseClick(rig.dlg.Canvas(), Qt::RightButton, {}, KeyCentre(i));
        EXPECT_EQ(rig.Model().m_led[i], kLedFlashing);
        QTest::mouseClick(rig.dlg.Canvas(), Qt::LeftButton, {}, KeyCentre(i));
        EXPECT_EQ(rig.Model().m_led[i], kLedOff);
        const std::vector<std::string> expected = {Hex({static_cast<uint8_t>('1' + i)}),
                                                   Hex({static_cast<uint8_t>('Q' + i)}),
                                                   Hex({static_cast<uint8_t>('A' + i)})};
        EXPECT_EQ(panel.Telegrams(), expected);
    }
    // The lit state shows at once, without waiting for a tick.
    QTest::mouseClick(rig.dlg.Canvas(), Qt::LeftButton, {}, KeyCentre(11));
    EXPECT_EQ(PixelAt(GrabCanvas(rig.dlg), KeyCentre(11).x(), KeyCentre(11).y()), qRgb(241, 241, 0));
}

TEST_F(WindowTest, ClickOnKeyBorderOrOutsideHitsNothing)
{
    panel.ClearLog();
    const CRect& rc = g_rcKeys[4];
    for (QPoint p : {QPoint(rc.left, rc.top + 10), QPoint(rc.right, rc.top + 10), QPoint(rc.left + 10, rc.top),
                     QPoint(rc.left + 10, rc.bottom), QPoint(20, 20), QPoint(g_rcLcd.left, 100)}) {
        QTest::mouseClick(rig.dlg.Canvas(), Qt::LeftButton, {}, p);
        QTest::mouseClick(rig.dlg.Canvas(), Qt::RightButton, {}, p);
    }
    EXPECT_TRUE(panel.Telegrams().empty());
    for (int i = 0; i < kKeyCount; ++i)
        EXPECT_EQ(rig.Model().m_led[i], kLedOff);
    EXPECT_EQ(rig.dlg.nTextDialogs, 0);
}

TEST_F(WindowTest, LeftClickInLcdOpensTextEntryRightClickDoesNot)
{
    const QPoint inside(170, 120);
    QTest::mouseClick(rig.dlg.Canvas(), Qt::RightButton, {}, inside);
    EXPECT_EQ(rig.dlg.nTextDialogs, 0);

    panel.ClearLog();
    rig.dlg.textAnswer = [](std::array<QString, kLcdRows>& rows) {
        rows[0] = QStringLiteral("A1");
        return true;
    };
    QTest::mouseClick(rig.dlg.Canvas(), Qt::LeftButton, {}, inside);
    EXPECT_EQ(rig.dlg.nTextDialogs, 1);
    EXPECT_EQ(rig.Model().m_strRow[0], QStringLiteral("A1"));
    // "l+%" and the eight rows reach the panel; the first row carries the new text.
    ASSERT_EQ(panel.Telegrams().size(), 9u);
    EXPECT_EQ(panel.Telegrams()[0], "6C 2B 25");
    EXPECT_EQ(panel.Telegrams()[1], "6C 26 A1 91 23 00 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20");
}

// ---------------------------------------------------------------------------------------
// Ticks and paints

namespace {

// Counts the paint events of one widget.
class CPaintCounter : public QObject {
public:
    explicit CPaintCounter(QWidget* pWidget) { pWidget->installEventFilter(this); }
    int nPaints = 0;

protected:
    bool eventFilter(QObject*, QEvent* pEvent) override
    {
        if (pEvent->type() == QEvent::Paint)
            ++nPaints;
        return false;
    }
};

} // namespace

TEST(WindowPaintTest, IdleDemonstrationTickPaintsNothing)
{
    // No panel: the link stays closed and the status line stays as drawn. Ticks that change
    // nothing on the screen paint nothing; the link check finds nothing new.
    CWindowRig rig;
    rig.Init(false);
    ASSERT_FALSE(rig.Model().m_link.m_bOpen);
    rig.dlg.boxes.clear(); // the start-up messages
    rig.Show();
    QCoreApplication::processEvents();

    CPaintCounter paints(rig.dlg.Canvas());
    int nExpiries = 0;
    QObject::connect(&rig.dlg.PollTimer(), &QTimer::timeout, [&] { ++nExpiries; });
    ASSERT_TRUE(WaitFor([&] { return nExpiries >= 4; }, 20000));
    rig.dlg.PollTimer().stop();
    // The last expiry's tick may still be queued.
    QCoreApplication::processEvents();
    EXPECT_EQ(paints.nPaints, 0);
    EXPECT_TRUE(rig.dlg.boxes.empty());
}

TEST(WindowPaintTest, PaintOfTheWindowSystemRemembersAnOpenLinkForTheNotice)
{
    // Connected before the window was shown, so no direct paint has run yet; the first paint
    // is the window system's. A link lost at the next tick is still announced, once.
    CWindowRig rig;
    CEnginePanel panel{rig.device, rig.clock};
    rig.Init();
    ASSERT_TRUE(rig.Model().m_link.m_bOpen);
    ASSERT_EQ(rig.Model().g_bWasConnected, 0);
    rig.Show();
    EXPECT_EQ(rig.Model().g_bWasConnected, 1);

    rig.Model().m_link.Close();
    rig.dlg.OnTimer();
    QCoreApplication::processEvents();
    rig.dlg.OnTimer();
    QCoreApplication::processEvents();
    const std::vector<CTestPanelDlg::Box> expected{{IDS_PANEL_NOT_FOUND, MB_OK, false}};
    EXPECT_EQ(rig.dlg.boxes, expected);
}
