#include "art.h"

#include <QColor>
#include <QFont>
#include <QPainter>

namespace art {

// Inspection views

QImage quantisedPanel()
{
    const QImage rgb = renderPanel();
    // The window background colour is reserved so the picture's margin matches it exactly.
    return toIndexed(rgb, medianCutPalette(rgb, 256, {qRgb(212, 208, 200), qRgb(0, 0, 0)}));
}

QImage debugView()
{
    QImage img = renderPanel().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter p(&img);
    const QColor magenta(255, 0, 255);
    p.setPen(QPen(magenta, 1));
    p.setBrush(Qt::NoBrush);
    // Outline the pixels each rectangle covers: left/top inclusive, right/bottom exclusive.
    auto outline = [&](const CRect& c) {
        p.drawRect(QRect(c.left - kPictureLeft, c.top, c.Width() - 1, c.Height() - 1));
    };
    for (const CRect& k : g_rcKeys)
        outline(k);
    outline(g_rcLcd);
    outline(g_rcSwitch1);
    outline(g_rcSwitch2);
    p.setPen(QPen(QColor(0, 200, 255), 1));
    outline(kStatusBand);
    // LCD character cells
    p.setPen(QPen(QColor(255, 0, 255, 110), 1));
    p.drawRect(QRect(kLcdTextOrigin.x - kPictureLeft, kLcdTextOrigin.y, kLcdColumns * kLcdCellW - 1,
                     7 * kLcdRowPitch + 15 - 1));
    p.setPen(QPen(magenta, 1));
    for (int i = 0; i < 2; ++i) {
        const int x = kSwitchText[i].x - kPictureLeft;
        p.drawLine(x, kSwitchText[i].y - 3, x, kSwitchText[i].y + 3);
        p.drawLine(x - 3, kSwitchText[i].y, x + 3, kSwitchText[i].y);
    }
    p.end();
    return img;
}

// What the user sees: the picture placed at client (3, 0) with a typical overlay drawn the way
// the main window draws it.
QImage previewView()
{
    const QImage picImg = quantisedPanel().convertToFormat(QImage::Format_RGB32);
    QImage img(kPictureWidth + 2 * kPictureLeft, kPictureHeight, QImage::Format_RGB32);
    img.fill(QColor(212, 208, 200));
    QPainter p(&img);
    p.drawImage(kPictureLeft, 0, picImg);
    const int led[12] = {1, 0, 0, 1, 0, 1, 0, 0, 0, 0, 1, 0};
    for (int i = 0; i < 12; ++i) {
        const CRect& k = g_rcKeys[size_t(i)];
        p.fillRect(QRect(k.left, k.top, k.Width(), k.Height()), led[i] ? QColor(241, 241, 0) : QColor(128, 128, 128));
    }
    {
        const CRect& k = g_rcKeys[6];
        p.setPen(QPen(Qt::black, 1));
        p.setBrush(QColor(255, 0, 0));
        p.drawRoundedRect(QRect(k.left, k.top, k.Width() - 1, k.Height() - 1), 15, 15);
    }
    QFont lcd(QStringLiteral("DejaVu Sans Mono"));
    lcd.setPixelSize(15);
    lcd.setBold(true);
    lcd.setStyleHint(QFont::TypeWriter);
    p.setFont(lcd);
    p.setPen(Qt::black);
    const char* rows[8] = {"KOVA panel test", "Row 2", "0123456789ABCDE", "",
                           "Selector check",  "",      "abcdefghijklmno", "Row 8 last line"};
    for (int r = 0; r < 8; ++r) {
        const QString s = QString::fromLatin1(rows[r]);
        for (int c = 0; c < s.size(); ++c)
            p.drawText(QRect(kLcdTextOrigin.x + c * kLcdCellW, kLcdTextOrigin.y + kLcdRowPitch * r, kLcdCellW, 15),
                       Qt::AlignLeft | Qt::AlignTop, s.mid(c, 1));
    }
    QFont ui(QStringLiteral("DejaVu Sans"));
    ui.setPixelSize(13);
    p.setFont(ui);
    const QString nums[2] = {QStringLiteral("7"), QStringLiteral("12")};
    for (int i = 0; i < 2; ++i)
        p.drawText(QRect(kSwitchText[i].x - 30, kSwitchText[i].y, 60, 20), Qt::AlignHCenter | Qt::AlignTop, nums[i]);
    p.drawText(QRect(kStatusTextOrigin.x, kStatusTextOrigin.y, 300, 20), Qt::AlignLeft | Qt::AlignTop,
               QStringLiteral("DEMO-MODE,  KOVA not connected"));
    p.end();
    return img;
}

} // namespace art
