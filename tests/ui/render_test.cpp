// What the window draws, read back pixel by pixel: LED fills, markers, LCD rows, selector
// numbers and the status line, in the font and colours the panel engineer expects.

#include "panel_canvas.h"
#include "panel_renderer.h"
#include "window_rig.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

namespace {

QRect RowBand(int nRow)
{
    // A row's cells: 15 cells of 10 pixels from x = 86, 15 pixels high.
    return QRect(kLcdTextOrigin.x - 1, kLcdTextOrigin.y + kLcdRowPitch * nRow, 152, 15);
}

QRect SelectorBand(const CPoint& anchor)
{
    return QRect(anchor.x - 25, anchor.y, 50, 15);
}

const QRect kStatusBand(5, 480, 196, 16);

QRgb PictureAt(int x, int y)
{
    return PanelPicture().pixel(x - kPictureLeft, y - kPictureTop);
}

class RenderTest : public ::testing::Test {
protected:
    void SetUp() override { rig.Init(); }

    QImage Grab() { return GrabCanvas(rig.dlg); }

    CWindowRig rig;
};

// A window connected to the in-process panel: the link is open.
class ConnectedRenderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        rig.Init();
        ASSERT_TRUE(rig.Model().m_link.m_bOpen);
    }

    QImage Grab() { return GrabCanvas(rig.dlg); }

    CWindowRig rig;
    CEnginePanel panel{rig.device, rig.clock};
};

// The part of the window the platform really shows, so that anything left over from an
// earlier paint would be seen.
QImage GrabShown(CPanelDlg& dlg)
{
    const QPoint origin = dlg.Canvas()->mapTo(&dlg, QPoint(0, 0));
    const QPixmap window = dlg.screen()->grabWindow(dlg.winId());
    const qreal dpr = window.devicePixelRatio();
    QImage image =
        window.toImage().copy(QRect(origin * dpr, dlg.Canvas()->size() * dpr)).convertToFormat(QImage::Format_RGB32);
    image.setDevicePixelRatio(dpr);
    return image;
}

} // namespace

TEST_F(RenderTest, LedFillsFollowStateAndFlashingPhase)
{
    for (int i = 0; i < kKeyCount; ++i)
        rig.Model().m_led[i] = static_cast<uint8_t>(i % 3);

    for (uint8_t blink : {0, 1}) {
        rig.Model().m_bBlink = blink;
        const QImage img = Grab();
        for (int i = 0; i < kKeyCount; ++i) {
            const CRect& rc = g_rcKeys[i];
            const QRgb expected = (i % 3 == 1 || (i % 3 == 2 && blink)) ? kLedOnColor : kLedOffColor;
            SCOPED_TRACE(testing::Message() << "key " << i << " blink " << int(blink));
            const QPoint c = KeyCentre(i);
            EXPECT_EQ(PixelAt(img, c.x(), c.y()), expected);
            // Exactly the 36 x 36 pixels: both inner corners filled, the picture just outside.
            EXPECT_EQ(PixelAt(img, rc.left, rc.top), expected);
            EXPECT_EQ(PixelAt(img, rc.right - 1, rc.bottom - 1), expected);
            EXPECT_EQ(PixelAt(img, rc.right, c.y()), PictureAt(rc.right, c.y()));
            EXPECT_EQ(PixelAt(img, c.x(), rc.bottom), PictureAt(c.x(), rc.bottom));
            EXPECT_EQ(PixelAt(img, rc.left - 1, c.y()), PictureAt(rc.left - 1, c.y()));
        }
    }
}

TEST_F(RenderTest, PressedKeyShowsRedMarkerWithBlackOutlineAndLedInCorners)
{
    rig.Model().m_led[5] = kLedOn;
    rig.Model().m_led[6] = kLedOff;
    rig.Model().ApplyReport('6'); // key index 5
    QImage img = Grab();
    const CRect& rc = g_rcKeys[5];
    const QPoint c = KeyCentre(5);
    EXPECT_EQ(PixelAt(img, c.x(), c.y()), kMarkerColor);
    EXPECT_EQ(PixelAt(img, c.x(), rc.top + 1), kMarkerColor);
    EXPECT_EQ(PixelAt(img, rc.left, rc.top), kLedOnColor);
    EXPECT_EQ(PixelAt(img, rc.right - 1, rc.bottom - 1), kLedOnColor);
    EXPECT_EQ(PixelAt(img, c.x(), rc.top), qRgb(0, 0, 0));
    EXPECT_EQ(PixelAt(img, rc.left, c.y()), qRgb(0, 0, 0));
    EXPECT_EQ(PixelAt(img, c.x(), rc.bottom - 1), qRgb(0, 0, 0));
    EXPECT_EQ(PixelAt(img, rc.right - 1, c.y()), qRgb(0, 0, 0));
    // Only the reported key is marked.
    EXPECT_EQ(PixelAt(img, KeyCentre(6).x(), KeyCentre(6).y()), kLedOffColor);

    // The next report moves the marker; the LED colour of an unlit key shows in the corners.
    rig.Model().ApplyReport('7');
    img = Grab();
    EXPECT_EQ(PixelAt(img, c.x(), c.y()), kLedOnColor);
    EXPECT_EQ(PixelAt(img, KeyCentre(6).x(), KeyCentre(6).y()), kMarkerColor);
    EXPECT_EQ(PixelAt(img, g_rcKeys[6].left, g_rcKeys[6].top), kLedOffColor);
}

TEST_F(RenderTest, LcdRowsDrawTextAndEmptyRowsNothing)
{
    const QRect lcdInside(g_rcLcd.left + 1, g_rcLcd.top + 1, g_rcLcd.Width() - 1, g_rcLcd.Height() - 1);
    EXPECT_EQ(InkPixels(Grab(), lcdInside), 0);

    rig.Model().m_strRow[0] = QStringLiteral("HELLO PANEL");
    rig.Model().m_strRow[7] = QStringLiteral("ROW 8");
    const QImage img = Grab();
    EXPECT_GT(InkPixels(img, RowBand(0)), 40);
    EXPECT_GT(InkPixels(img, RowBand(7)), 20);
    for (int r = 2; r <= 5; ++r)
        EXPECT_EQ(InkPixels(img, RowBand(r)), 0) << "row " << r;
    // The text starts at the row origin.
    const QRect ink = InkBounds(img, RowBand(0));
    EXPECT_GE(ink.left(), kLcdTextOrigin.x);
    EXPECT_LE(ink.left(), kLcdTextOrigin.x + 2);
    EXPECT_GE(ink.top(), kLcdTextOrigin.y);
}

TEST_F(RenderTest, LcdFontIsInstalledFixedPitchBoldWithNinePixelCells)
{
    const QFont font = LcdFont();
    const QFontInfo info(font);
    EXPECT_EQ(info.family(), QStringLiteral("DejaVu Sans Mono"));
    EXPECT_TRUE(info.bold());
    EXPECT_TRUE(info.fixedPitch());

    // The cell is ascent plus descent: 15 pixels, so rows 14 pixels apart overlap by one
    // pixel only and an underscore stays above the next row's letters.
    const QFontMetrics metrics(font);
    EXPECT_EQ(metrics.ascent() + metrics.descent(), 15);
    QFont plain = font;
    plain.setLetterSpacing(QFont::AbsoluteSpacing, 0);
    const QFontMetrics plainMetrics(plain);
    for (QChar ch : QStringLiteral("Mi W.#"))
        EXPECT_EQ(plainMetrics.horizontalAdvance(ch), 9) << "character " << int(ch.unicode());
    EXPECT_EQ(metrics.horizontalAdvance(QString(15, u'M')), 150);

    // Drawn: fifteen cells of ten pixels, whatever the glyphs.
    rig.Model().m_strRow[0] = QStringLiteral("M");
    rig.Model().m_strRow[2] = QString(15, u'M');
    rig.Model().m_strRow[4] = QStringLiteral("iiiiiiiiiiiiiiM");
    const QImage img = Grab();
    const QRect one = InkBounds(img, RowBand(0));
    const QRect full = InkBounds(img, RowBand(2));
    const QRect narrow = InkBounds(img, RowBand(4));
    EXPECT_EQ(full.right() - one.right(), 140);
    EXPECT_EQ(narrow.right(), full.right());
    EXPECT_LT(full.right(), kLcdTextOrigin.x + 150);
    EXPECT_LE(full.height(), 15);

    // An underscore stays inside its own cell, clear of the row below.
    rig.Model().m_strRow[6] = QStringLiteral("___");
    const int nRow6Top = kLcdTextOrigin.y + kLcdRowPitch * 6;
    const QRect underscore = InkBounds(Grab(), QRect(kLcdTextOrigin.x - 1, nRow6Top, 40, 20));
    ASSERT_FALSE(underscore.isEmpty());
    EXPECT_LE(underscore.bottom(), nRow6Top + 14);
}

TEST_F(RenderTest, CharactersTheFaceLacksStayInTheirCells)
{
    // Drawn by wider fallback faces, a CJK character or an emoji is cut to its own 9 x 15 cell:
    // a full row of them ends inside the LCD, and nothing right of the LCD changes.
    rig.Model().m_strRow[1] = QString(15, QChar(0x4E2D));
    rig.Model().m_strRow[3] = QString::fromUcs4(U"\U0001F600").repeated(15);
    const QImage img = Grab();
    for (int r : {1, 3}) {
        const QRect band(g_rcLcd.left + 1, kLcdTextOrigin.y + kLcdRowPitch * r, g_rcLcd.Width() - 1, 15);
        EXPECT_LT(InkBounds(img, band).right(), kLcdTextOrigin.x + 150) << "row " << r;
    }
    int nChanged = 0;
    for (int y = g_rcLcd.top; y < g_rcLcd.bottom; ++y)
        for (int x = g_rcLcd.right; x < kPictureLeft + kPictureWidth; ++x)
            nChanged += PixelAt(img, x, y) != PictureAt(x, y);
    EXPECT_EQ(nChanged, 0);
}

TEST_F(RenderTest, SelectorNumbersCentredOnTheirScales)
{
    QImage img = Grab();
    const QRect zero1 = InkBounds(img, SelectorBand(g_ptSwitch1Text));
    const QRect zero2 = InkBounds(img, SelectorBand(g_ptSwitch2Text));
    ASSERT_FALSE(zero1.isEmpty());
    ASSERT_FALSE(zero2.isEmpty());
    EXPECT_NEAR(zero1.center().x(), 122, 2);
    EXPECT_NEAR(zero2.center().x(), 233, 2);
    EXPECT_GE(zero1.top(), 382);
    EXPECT_LE(zero1.bottom(), 396);

    rig.Model().ApplyReport('L');
    rig.Model().ApplyReport('\\');
    img = Grab();
    const QRect twelve1 = InkBounds(img, SelectorBand(g_ptSwitch1Text));
    const QRect twelve2 = InkBounds(img, SelectorBand(g_ptSwitch2Text));
    EXPECT_NEAR(twelve1.center().x(), 122, 2);
    EXPECT_NEAR(twelve2.center().x(), 233, 2);
    EXPECT_GT(twelve1.width(), zero1.width() + 3);
    EXPECT_GT(twelve2.width(), zero2.width() + 3);

    // A character taken unchecked from an identify reply shows its difference.
    rig.Model().m_chSwitch1 = 0x00;
    img = Grab();
    const QRect minus = InkBounds(img, SelectorBand(g_ptSwitch1Text));
    EXPECT_NEAR(minus.center().x(), 122, 2);
    EXPECT_GT(minus.width(), twelve1.width() + 3);
}

TEST_F(RenderTest, StatusLineDrawnWhileLinkClosed)
{
    ASSERT_FALSE(rig.Model().m_link.m_bOpen);
    EXPECT_EQ(rig.Model().m_strStatus, QStringLiteral("DEMO-MODE,  KOVA not connected"));
    const QRect ink = InkBounds(Grab(), kStatusBand);
    ASSERT_FALSE(ink.isEmpty());
    EXPECT_LE(ink.left(), 7);
    EXPECT_GT(ink.width(), 120);
}

TEST_F(ConnectedRenderTest, NoStatusLineWhileConnected)
{
    EXPECT_EQ(InkPixels(Grab(), kStatusBand), 0);
}

TEST_F(ConnectedRenderTest, ShownWindowKeepsNoStaleText)
{
    rig.Show();
    // LCD rows replaced through text entry: tall glyphs first, then dots only.
    rig.dlg.textAnswer = [](std::array<QString, kLcdRows>& rows) {
        rows.fill(QString(15, u'W'));
        return true;
    };
    rig.dlg.OnTextInput();
    QImage img = GrabShown(rig.dlg);
    const QRect upperHalf(kLcdTextOrigin.x, kLcdTextOrigin.y + 2, 150, 7);
    ASSERT_GT(InkPixels(img, upperHalf), 100);

    rig.dlg.textAnswer = [](std::array<QString, kLcdRows>& rows) {
        rows.fill(QString(15, u'.'));
        return true;
    };
    rig.dlg.OnTextInput();
    img = GrabShown(rig.dlg);
    EXPECT_EQ(InkPixels(img, upperHalf), 0);
    EXPECT_GT(InkPixels(img, RowBand(0)), 0);

    // A selector report through the poll tick: "12" becomes "1", with no trace of the "2".
    panel.SendReport({'L'});
    rig.dlg.OnTimer();
    ASSERT_EQ(rig.Model().Switch1Number(), 12);
    const QRect twelve = InkBounds(GrabShown(rig.dlg), SelectorBand(g_ptSwitch1Text));
    panel.SendReport({'A'});
    rig.dlg.OnTimer();
    ASSERT_EQ(rig.Model().Switch1Number(), 1);
    const QRect one = InkBounds(GrabShown(rig.dlg), SelectorBand(g_ptSwitch1Text));
    EXPECT_LT(one.width() + 3, twelve.width());
    EXPECT_NEAR(one.center().x(), 122, 2);
}

TEST(RenderConnectTest, StatusLineLeavesTheShownWindowAfterConnect)
{
    CWindowRig rig;
    rig.Init();
    rig.Show();
    ASSERT_FALSE(rig.Model().m_link.m_bOpen);
    rig.dlg.OnPaint();
    ASSERT_GT(InkPixels(GrabShown(rig.dlg), kStatusBand), 50);

    CEnginePanel panel(rig.device, rig.clock);
    rig.dlg.OnResetPanel();
    ASSERT_TRUE(rig.Model().m_link.m_bOpen);
    EXPECT_EQ(InkPixels(GrabShown(rig.dlg), kStatusBand), 0);
    rig.dlg.OnTimer();
    EXPECT_EQ(InkPixels(GrabShown(rig.dlg), kStatusBand), 0);
}
