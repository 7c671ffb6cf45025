// The caption the windows draw themselves on Wayland, put on here offscreen: the whole title,
// only the buttons each window asks for, its close box as the platform's, and the client area
// moved down under it unchanged.

#include "about_dlg.h"
#include "caption_bar.h"
#include "panel_canvas.h"
#include "serial_dlg.h"
#include "text_input_dlg.h"
#include "window_rig.h"

#include <QMenuBar>
#include <QTest>

#include <gtest/gtest.h>

namespace {

CCaptionBar* Bar(QWidget* pWindow)
{
    return pWindow->findChild<CCaptionBar*>(QString(), Qt::FindDirectChildrenOnly);
}

void ExpectBar(QWidget* pWindow, bool bMinimize, bool bClose)
{
    SCOPED_TRACE(pWindow->windowTitle().toStdString());
    CCaptionBar* pBar = Bar(pWindow);
    ASSERT_NE(pBar, nullptr);
    // The platform's decoration, the one with a maximise button, is off.
    EXPECT_TRUE(pWindow->windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_EQ(pBar->geometry(), QRect(0, 0, pWindow->width(), CCaptionBar::kHeight));
    EXPECT_LE(pBar->TitleWidth(), pBar->TitleSpace().width()) << "the title is cut";
    EXPECT_EQ(pBar->HasMinimize(), bMinimize);
    EXPECT_EQ(pBar->HasClose(), bClose);
}

// The dialogs place their controls by hand: each moves down by the bar, the window grows by
// it and stays fixed-size.
template <class TDialog>
void ExpectDialogMovedDown(bool bClose)
{
    TDialog dlg;
    const QSize size = dlg.size();
    std::vector<std::pair<QWidget*, QRect>> controls;
    for (QWidget* pChild : dlg.template findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        controls.emplace_back(pChild, pChild->geometry());
    AddOwnCaption(&dlg);
    AddOwnCaption(&dlg); // once only
    ExpectBar(&dlg, false, bClose);
    EXPECT_EQ(dlg.minimumSize(), size + QSize(0, CCaptionBar::kHeight));
    EXPECT_EQ(dlg.maximumSize(), dlg.minimumSize());
    for (const auto& [pControl, rc] : controls)
        EXPECT_EQ(pControl->geometry(), rc.translated(0, CCaptionBar::kHeight));
}

TEST(OwnCaption, DialogsKeepTheirControlsUnderTheBar)
{
    ExpectDialogMovedDown<CSerialDlg>(false); // no system menu: no close box
    ExpectDialogMovedDown<CTextInputDlg>(true);
    ExpectDialogMovedDown<CAboutDlg>(true);
}

TEST(OwnCaption, MainWindowClientAreaUnderTheBarAndItsCloseBoxAsksTheExitQuestion)
{
    CWindowRig rig;
    CPanelCanvas* pCanvas = rig.dlg.Canvas();
    AddOwnCaption(&rig.dlg);
    rig.Init(false);
    rig.Show();
    ExpectBar(&rig.dlg, true, true);
    EXPECT_EQ(pCanvas->size(), QSize(348, 505));
    EXPECT_EQ(rig.dlg.MenuBar()->y(), CCaptionBar::kHeight);
    EXPECT_EQ(pCanvas->y(), CCaptionBar::kHeight + rig.dlg.MenuBar()->height());

    rig.dlg.boxes.clear();
    QTest::mouseClick(Bar(&rig.dlg), Qt::LeftButton, {}, Bar(&rig.dlg)->CloseRect().center());
    ASSERT_EQ(rig.dlg.BoxIds(), std::vector<int>{IDS_EXIT_QUESTION});
    EXPECT_TRUE(rig.dlg.isVisible()); // answered No
    // A press that leaves the box before it is released does nothing.
    QTest::mousePress(Bar(&rig.dlg), Qt::LeftButton, {}, Bar(&rig.dlg)->CloseRect().center());
    QTest::mouseRelease(Bar(&rig.dlg), Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_EQ(rig.dlg.boxes.size(), 1u);
}

} // namespace
