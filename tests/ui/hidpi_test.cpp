// At a scale factor of 2 the picture and the overlay scale together, and a click in logical
// coordinates still lands on the key the user sees under the pointer.

#include "panel_canvas.h"
#include "panel_renderer.h"
#include "window_rig.h"

#include <QTest>

#include <gtest/gtest.h>

namespace {

// Before the application object exists, so that a run outside ctest scales as well.
const bool g_bScaled = [] {
    if (qEnvironmentVariableIsEmpty("QT_SCALE_FACTOR"))
        qputenv("QT_SCALE_FACTOR", "2");
    return true;
}();

class HiDpiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        rig.Init();
        rig.Show();
        ASSERT_DOUBLE_EQ(rig.dlg.Canvas()->devicePixelRatioF(), 2.0);
    }

    CWindowRig rig;
};

bool Near(QRgb a, QRgb b, int tolerance)
{
    return std::abs(qRed(a) - qRed(b)) <= tolerance && std::abs(qGreen(a) - qGreen(b)) <= tolerance
           && std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

} // namespace

TEST_F(HiDpiTest, ClickAtEachKeyCentreHitsThatKey)
{
    for (int i = 0; i < kKeyCount; ++i) {
        SCOPED_TRACE(testing::Message() << "key " << i);
        QTest::mouseClick(rig.dlg.Canvas(), Qt::LeftButton, {}, KeyCentre(i));
        for (int k = 0; k < kKeyCount; ++k)
            EXPECT_EQ(rig.Model().m_led[k], k <= i ? kLedOn : kLedOff) << "led " << k;
    }
    // Just inside the corners of a key, and on its border lines.
    const CRect& rc = g_rcKeys[9];
    QTest::mouseClick(rig.dlg.Canvas(), Qt::RightButton, {}, QPoint(rc.left + 1, rc.top + 1));
    EXPECT_EQ(rig.Model().m_led[9], kLedFlashing);
    QTest::mouseClick(rig.dlg.Canvas(), Qt::RightButton, {}, QPoint(rc.right - 1, rc.bottom - 1));
    EXPECT_EQ(rig.Model().m_led[9], kLedOff);
    QTest::mouseClick(rig.dlg.Canvas(), Qt::RightButton, {}, QPoint(rc.right, rc.bottom - 1));
    QTest::mouseClick(rig.dlg.Canvas(), Qt::RightButton, {}, QPoint(rc.left + 5, rc.top));
    EXPECT_EQ(rig.Model().m_led[9], kLedOff);
}

TEST_F(HiDpiTest, OverlayLiesOnTheScaledPicture)
{
    rig.Model().m_led[0] = kLedOn;
    rig.Model().m_led[11] = kLedOn;
    rig.Model().ApplyReport('<');
    rig.Model().m_strRow[0] = QStringLiteral("SCALED");
    const QImage img = GrabCanvas(rig.dlg);
    ASSERT_DOUBLE_EQ(img.devicePixelRatio(), 2.0);
    ASSERT_EQ(img.width(), 2 * kClientWidth);

    // Fills cover exactly the doubled key squares.
    const CRect& rc = g_rcKeys[0];
    EXPECT_EQ(img.pixel(2 * KeyCentre(0).x(), 2 * KeyCentre(0).y()), kLedOnColor);
    EXPECT_EQ(img.pixel(2 * rc.left, 2 * rc.top), kLedOnColor);
    EXPECT_EQ(img.pixel(2 * rc.right - 1, 2 * rc.bottom - 1), kLedOnColor);
    EXPECT_NE(img.pixel(2 * rc.right, 2 * KeyCentre(0).y()), kLedOnColor);
    EXPECT_EQ(img.pixel(2 * KeyCentre(1).x(), 2 * KeyCentre(1).y()), kLedOffColor);
    // The marker in the middle, the LED in the corner.
    EXPECT_EQ(img.pixel(2 * KeyCentre(11).x(), 2 * KeyCentre(11).y()), kMarkerColor);
    EXPECT_EQ(img.pixel(2 * g_rcKeys[11].left, 2 * g_rcKeys[11].top), kLedOnColor);

    // The picture under the overlay is the same picture, twice the size.
    for (QPoint p : {QPoint(40, 30), QPoint(300, 450), QPoint(180, 215), QPoint(120, 420)}) {
        const QRgb picture = PanelPicture().pixel(p.x() - kPictureLeft, p.y() - kPictureTop);
        EXPECT_TRUE(Near(img.pixel(2 * p.x() + 1, 2 * p.y() + 1), picture, 40)) << p.x() << "," << p.y();
    }

    // Text in its scaled place.
    EXPECT_GT(InkPixels(img, QRect(kLcdTextOrigin.x, kLcdTextOrigin.y, 150, 15)), 100);
    EXPECT_GT(InkPixels(img, QRect(5, 480, 196, 16)), 100);
}
