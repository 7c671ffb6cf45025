// The check's picture as a PNG, for a CI's test report: the panel picture and the marks of
// panel_figure.h drawn as shapes on an image in memory. QImage and QPainter's raster engine need
// no display and no QGuiApplication; text would need a font database, which does, so the
// picture carries none (the page and the JUnit file carry the words).
#include "panel_figure.h"

#include "geometry.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

namespace {

QColor ColourOf(EPageMark mark)
{
    switch (mark) {
    case EPageMark::Pass: return QColor(0x1a, 0x7f, 0x37);
    case EPageMark::Fail: return QColor(0xc6, 0x28, 0x28);
    case EPageMark::NotChecked: return QColor(0x9a, 0x5b, 0x00);
    case EPageMark::Unexpected: return QColor(0xff, 0x9a, 0x1f);
    default: return QColor(0xd0, 0xd4, 0xd9);
    }
}

// The icons of the page, as shapes: a tick in a disc, a cross on a square, a dash in a ring, a
// triangle; 14 pixels, top left at (x, y).
void DrawIcon(QPainter& p, EPageMark mark, double x, double y)
{
    const QColor c = ColourOf(mark);
    p.save();
    p.translate(x, y);
    p.scale(14.0 / 16.0, 14.0 / 16.0);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    QPen white(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    switch (mark) {
    case EPageMark::Pass:
        p.drawEllipse(QPointF(8, 8), 7.5, 7.5);
        p.setPen(white);
        p.drawPolyline(QPolygonF{QPointF(4, 8.5), QPointF(7, 11.5), QPointF(12.5, 4.5)});
        break;
    case EPageMark::Fail:
        p.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 2, 2);
        p.setPen(white);
        p.drawLine(QPointF(4, 4), QPointF(12, 12));
        p.drawLine(QPointF(12, 4), QPointF(4, 12));
        break;
    case EPageMark::Unexpected:
    case EPageMark::NotChecked: {
        p.drawPolygon(QPolygonF{QPointF(8, 0.8), QPointF(15.4, 15), QPointF(0.6, 15)});
        p.setPen(QPen(Qt::black, 2));
        p.drawLine(QPointF(8, 5.5), QPointF(8, 10.5));
        p.drawPoint(QPointF(8, 12.8));
        break;
    }
    default:
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(c, 1.6, Qt::DashLine));
        p.drawEllipse(QPointF(8, 8), 6.8, 6.8);
        p.setPen(QPen(c, 2));
        p.drawLine(QPointF(4.5, 8), QPointF(11.5, 8));
        break;
    }
    p.restore();
}

} // namespace

QByteArray PanelFigurePng(const CPanelMarks& marks)
{
    QImage picture;
    {
        QFile file(QStringLiteral(":/kova_pages/panel.png"));
        if (!file.open(QIODevice::ReadOnly) || !picture.loadFromData(file.readAll(), "PNG"))
            return {};
    }
    // The window's client area: the picture at its place, so geometry.h's rectangles fit as they are.
    QImage image(kPictureLeft + kPictureWidth, kPictureHeight, QImage::Format_RGB32);
    image.fill(picture.pixel(0, 0));
    QPainter p(&image);
    p.drawImage(kPictureLeft, kPictureTop, picture);
    p.setRenderHint(QPainter::Antialiasing);

    for (int k = 0; k < kKeyCount; ++k) {
        const CPanelMarks::Place& key = marks.keys[static_cast<size_t>(k)];
        const CRect& r = g_rcKeys[static_cast<size_t>(k)];
        const QRectF square(r.left, r.top, r.Width(), r.Height());
        const QColor c = ColourOf(key.mark);
        if (key.mark == EPageMark::Fail) {
            QColor fill = c;
            fill.setAlphaF(0.5);
            p.setPen(QPen(c, 3));
            p.setBrush(fill);
            p.drawRect(square);
            p.setPen(QPen(c, 4));
            p.drawLine(square.topLeft(), square.bottomRight());
            p.drawLine(square.topRight(), square.bottomLeft());
        } else if (key.mark != EPageMark::None) {
            QPen pen(c, key.mark == EPageMark::Pass ? 2.5 : 2);
            if (key.mark != EPageMark::Pass)
                pen.setStyle(Qt::DashLine);
            p.setPen(pen);
            p.setBrush(Qt::NoBrush);
            p.drawRoundedRect(square.adjusted(-3, -3, 3, 3), 3, 3);
        }
        if (key.mark != EPageMark::None)
            DrawIcon(p, key.mark, r.right - 8, r.top - 8);
        if (marks.unexpected.test(static_cast<size_t>(k))) {
            QPen pen(ColourOf(EPageMark::Unexpected), 2, Qt::DotLine);
            p.setPen(pen);
            p.setBrush(Qt::NoBrush);
            p.drawRect(square.adjusted(-6, -6, 6, 6));
            DrawIcon(p, EPageMark::Unexpected, r.right - 6, r.bottom - 8);
        }
    }
    for (int s = 0; s < 2; ++s) {
        const CPanelMarks::Place& sel = marks.selectors[static_cast<size_t>(s)];
        if (sel.mark == EPageMark::None)
            continue;
        const CRect frame = SelectorReadoutFrame(s);
        const QRectF window(frame.left, frame.top, frame.Width(), frame.Height());
        const QColor c = ColourOf(sel.mark);
        p.setPen(
            QPen(c, 2.5, sel.mark == EPageMark::Pass || sel.mark == EPageMark::Fail ? Qt::SolidLine : Qt::DashLine));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(window, 2, 2);
        DrawIcon(p, sel.mark, window.right() - 7, window.top() - 8);
        QColor fill = c;
        fill.setAlphaF(0.35);
        for (const int pos : marks.missing[static_cast<size_t>(s)]) {
            const CMarkPoint at = SelectorPositionPoint(s + 1, pos);
            p.setPen(QPen(c, 2));
            p.setBrush(fill);
            p.drawEllipse(QPointF(at.x, at.y), 6, 6);
        }
    }
    // The LCD's and the lamps' answers as four icons in a column on the LCD, in the page's order.
    const CPanelMarks::Place* const answers[] = {&marks.lcd, &marks.lamps[0], &marks.lamps[1], &marks.lamps[2]};
    for (int i = 0; i < 4; ++i)
        if (answers[i]->mark != EPageMark::None)
            DrawIcon(p, answers[i]->mark, g_rcLcd.left + 8, g_rcLcd.top + 10 + (i == 0 ? 0 : i + 1) * 19);
    p.end();

    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG"))
        return {};
    return png;
}
