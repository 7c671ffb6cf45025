#include "art.h"

#include <QColor>
#include <QLinearGradient>
#include <QList>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <array>
#include <cmath>

namespace art {

// Icons: a tiny stylised panel. The two small sizes are drawn pixel by pixel in a fixed
// 16-colour palette, because a scaled-down drawing turns to mush at 16 x 16.

// clang-format off
enum IconInk : uchar {
    kClear, kOutline, kBody, kBodyLight, kBodyDark, kGlass, kGlassInk, kYellow,
    kYellowDark, kKeyGrey, kKeyGreyDark, kWhite, kBezel, kKnob, kAccent, kLightGrey,
};
// clang-format on

// clang-format off
const std::array<QRgb, 16> kIconPalette{{
    qRgba(0, 0, 0, 0),      // clear
    qRgb(18, 19, 21),       // outline
    qRgb(64, 67, 72),       // body
    qRgb(118, 122, 128),    // body highlight
    qRgb(40, 42, 46),       // body shade
    qRgb(196, 208, 158),    // LCD glass
    qRgb(60, 72, 50),       // LCD text
    qRgb(241, 241, 0),      // lit key
    qRgb(170, 160, 0),      // lit key, lower edge
    qRgb(150, 150, 150),    // dark key
    qRgb(96, 96, 96),       // dark key, lower edge
    qRgb(250, 250, 250),    // pointer
    qRgb(28, 29, 32),       // bezel
    qRgb(10, 10, 11),       // knob
    qRgb(226, 196, 24),     // accent
    qRgb(200, 203, 208),    // light grey
}};
// clang-format on

class PixelIcon {
public:
    explicit PixelIcon(int size) : m_img(size, size, QImage::Format_Indexed8)
    {
        m_img.setColorTable(QList<QRgb>(kIconPalette.begin(), kIconPalette.end()));
        m_img.fill(kClear);
    }
    void set(int x, int y, IconInk c) { m_img.setPixel(x, y, c); }
    void rect(int x0, int y0, int x1, int y1, IconInk c) // inclusive
    {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                set(x, y, c);
    }
    // Rounded body: outline, fill, highlight on the top and left, shade on the bottom and right.
    void body(int x0, int y0, int x1, int y1)
    {
        rect(x0 + 1, y0, x1 - 1, y1, kOutline);
        rect(x0, y0 + 1, x1, y1 - 1, kOutline);
        rect(x0 + 1, y0 + 1, x1 - 1, y1 - 1, kBody);
        rect(x0 + 1, y0 + 1, x1 - 1, y0 + 1, kBodyLight);
        rect(x0 + 1, y0 + 1, x0 + 1, y1 - 1, kBodyLight);
        rect(x0 + 1, y1 - 1, x1 - 1, y1 - 1, kBodyDark);
        rect(x1 - 1, y0 + 2, x1 - 1, y1 - 1, kBodyDark);
    }
    const QImage& image() const { return m_img; }

private:
    QImage m_img;
};

QImage icon32()
{
    PixelIcon ic(32);
    ic.body(5, 0, 26, 31);
    // LCD with three lines of text
    ic.rect(8, 3, 23, 12, kBezel);
    ic.rect(9, 4, 22, 11, kGlass);
    const int text[3][2] = {{10, 18}, {10, 21}, {10, 15}};
    for (int r = 0; r < 3; ++r)
        for (int x = text[r][0]; x <= text[r][1]; ++x)
            if (x % 4 != 1) // gaps between "characters"
                ic.set(x, 5 + 2 * r, kGlassInk);
    // 4 x 3 keys, 3 x 3 pixels each, some lit
    const bool lit[12] = {true, false, false, true, false, true, false, false, false, false, true, false};
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 4; ++col) {
            const int x = 9 + col * 4, y = 14 + row * 4;
            const bool on = lit[row * 4 + col];
            ic.rect(x, y, x + 2, y + 2, on ? kYellow : kKeyGrey);
            ic.rect(x, y + 2, x + 2, y + 2, on ? kYellowDark : kKeyGreyDark);
            ic.rect(x + 3, y, x + 3, y + 2, kBodyDark);
        }
    // two round selector knobs with white pointers
    for (int k = 0; k < 2; ++k) {
        const int x = 9 + k * 10, y = 26;
        ic.rect(x + 1, y, x + 2, y + 3, kKnob);
        ic.rect(x, y + 1, x + 3, y + 2, kKnob);
        ic.set(x + 1, y + 2, kWhite);
    }
    return ic.image();
}

QImage icon16()
{
    PixelIcon ic(16);
    ic.body(2, 0, 13, 15);
    ic.rect(4, 2, 11, 6, kGlass);
    for (int x = 5; x <= 9; ++x)
        if (x != 7)
            ic.set(x, 3, kGlassInk);
    for (int x = 5; x <= 10; ++x)
        if (x != 8)
            ic.set(x, 5, kGlassInk);
    const bool lit[6] = {true, false, true, false, true, false};
    for (int row = 0; row < 2; ++row)
        for (int col = 0; col < 3; ++col) {
            const int x = 4 + col * 3, y = 8 + row * 3;
            const bool on = lit[row * 3 + col];
            ic.rect(x, y, x + 1, y + 1, on ? kYellow : kKeyGrey);
            ic.set(x + 1, y + 1, on ? kYellowDark : kKeyGreyDark);
        }
    return ic.image();
}

// Large full-colour icon for desktop files, drawn as vectors in the 32-pixel design grid.
QImage iconLarge(int size)
{
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);

    const QRectF body(5.2, 0.6, 21.6, 30.8);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 60));
    p.drawRoundedRect(body.translated(0.4, 0.5), 3, 3);
    QLinearGradient edge(body.topLeft(), body.bottomRight());
    edge.setColorAt(0.0, QColor(140, 144, 150));
    edge.setColorAt(0.5, QColor(70, 73, 78));
    edge.setColorAt(1.0, QColor(24, 25, 28));
    p.setBrush(edge);
    p.drawRoundedRect(body, 3, 3);
    QLinearGradient fill(0, body.top(), 0, body.bottom());
    fill.setColorAt(0.0, QColor(82, 85, 91));
    fill.setColorAt(1.0, QColor(54, 56, 61));
    p.setBrush(fill);
    p.drawRoundedRect(body.adjusted(0.35, 0.35, -0.35, -0.35), 2.7, 2.7);

    p.setBrush(QColor(22, 23, 25));
    p.drawRoundedRect(QRectF(8, 3, 16, 10), 0.8, 0.8);
    QLinearGradient glass(0, 4, 0, 12);
    glass.setColorAt(0.0, QColor(204, 214, 168));
    glass.setColorAt(1.0, QColor(184, 196, 148));
    p.setBrush(glass);
    p.drawRect(QRectF(9, 4, 14, 8));
    p.setBrush(QColor(56, 68, 46));
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < (r == 1 ? 6 : 4); ++c)
            p.drawRect(QRectF(10 + c * 2, 5.2 + r * 2.1, 1.5, 1.3));

    const bool lit[12] = {true, false, false, true, false, true, false, false, false, false, true, false};
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 4; ++col) {
            const QRectF k(9 + col * 4, 14 + row * 4, 3, 3);
            p.setBrush(QColor(20, 21, 23));
            p.drawRoundedRect(k.adjusted(-0.3, -0.3, 0.3, 0.5), 0.6, 0.6);
            const bool on = lit[row * 4 + col];
            QLinearGradient kg(0, k.top(), 0, k.bottom());
            kg.setColorAt(0.0, on ? QColor(255, 255, 90) : QColor(176, 176, 176));
            kg.setColorAt(1.0, on ? QColor(222, 210, 0) : QColor(118, 118, 118));
            p.setBrush(kg);
            p.drawRoundedRect(k, 0.5, 0.5);
        }
    for (int k = 0; k < 2; ++k) {
        const QPointF c(11.5 + k * 9, 28);
        QRadialGradient kg(c + QPointF(-0.6, -0.6), 2.2);
        kg.setColorAt(0.0, QColor(110, 112, 118));
        kg.setColorAt(1.0, QColor(12, 12, 14));
        p.setBrush(kg);
        p.drawEllipse(c, 1.8, 1.8);
        p.setPen(QPen(QColor(250, 250, 250), 0.4, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(c, c + QPointF(-1.0, 1.0));
        p.setPen(Qt::NoPen);
    }
    p.end();
    return img;
}

} // namespace art
