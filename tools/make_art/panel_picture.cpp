#include "art.h"

#include <QColor>
#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QRadialGradient>
#include <QTransform>

#include <cmath>
#include <numbers>

namespace art {

// Layout of the pictured device, in picture pixels. Derived from the overlay where it matters.

const QRectF kHousing(26, 8, 288, 468); // bottom edge at y 476, above the status band
constexpr double kHousingRadius = 22;
const QRectF kFrontPlate(36, 44, 268, 424);
const QRectF kLcdGlass = pic(g_rcLcd);
const QRectF kLcdBezel = kLcdGlass.adjusted(-9, -8, 9, 9);
constexpr double kKeyRim = 3; // the cap is this much larger than the lit face on every side
constexpr double kKnobY = kSelectorKnobY;
constexpr double kKnobR = 13;
constexpr double kTickInner = 16.5, kTickOuter = 20.5, kNumeralR = kSelectorNumeralRadius;
constexpr double kScaleSpanDeg = kSelectorSpanDeg; // twelve positions, gap at the bottom

QRectF readoutWindow(int i)
{
    // Centred on the number's anchor rather than on the invalidated rectangle: the program
    // centres selector 2's number at 233, seven pixels left of its rectangle's centre.
    const double cx = picX(kSwitchText[i].x);
    return QRectF(cx - 21, kSwitchText[i].y - 2, 42, 22);
}

QPointF knobCentre(int i)
{
    return QPointF(picX(kSwitchText[i].x), kKnobY);
}

// Angle of switch position n (1..12), clockwise from straight up, in degrees.
double positionAngle(int n)
{
    return SelectorPositionAngle(n);
}

QPointF polar(QPointF c, double r, double deg)
{
    const double a = deg * std::numbers::pi / 180.0;
    return QPointF(c.x() + r * std::sin(a), c.y() - r * std::cos(a));
}

QPainterPath rounded(const QRectF& r, double radius)
{
    QPainterPath p;
    p.addRoundedRect(r, radius, radius);
    return p;
}

// A rounded face filled with `fill`, outlined one pixel wide on the pixel grid.
void outlinedFace(QPainter& p, const QRectF& r, double radius, const QBrush& fill, const QColor& outline)
{
    p.setPen(QPen(outline, 1));
    p.setBrush(fill);
    p.drawPath(rounded(r.adjusted(0.5, 0.5, -0.5, -0.5), radius));
}

QFont uiFont(double pixelSize, bool bold, bool condensed = false)
{
    QFont f(condensed ? QStringLiteral("DejaVu Sans Condensed") : QStringLiteral("DejaVu Sans"));
    f.setPixelSize(static_cast<int>(pixelSize));
    f.setBold(bold);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

// Draws text centred on a point (both axes) using the ink bounds, so small numerals sit
// visually centred on their scale position regardless of the font's ascent and descent.
void drawCentred(QPainter& p, const QString& text, QPointF c, const QFont& font, const QColor& col)
{
    QPainterPath path;
    path.addText(0, 0, font, text);
    const QRectF ink = path.boundingRect();
    p.save();
    p.translate(std::round(c.x() - ink.center().x()), std::round(c.y() - ink.center().y()));
    p.setPen(col);
    p.setFont(font);
    p.drawText(QPointF(0, 0), text);
    p.restore();
}

// Panel picture

void drawSoftShadow(QPainter& p, const QRectF& r, double radius, QPointF offset, int steps, int alpha)
{
    p.save();
    p.setPen(Qt::NoPen);
    for (int i = steps; i >= 1; --i) {
        p.setBrush(QColor(0, 0, 0, alpha));
        p.drawPath(rounded(r.translated(offset).adjusted(-i * 0.7, -i * 0.7, i * 0.7, i * 0.7), radius + i * 0.7));
    }
    p.restore();
}

void drawCable(QPainter& p)
{
    // Strain-relief boot of the connecting cable, leaving the housing at the top.
    const QRectF boot(150, -2, 40, 14);
    QLinearGradient g(boot.left(), 0, boot.right(), 0);
    g.setColorAt(0.0, QColor(28, 29, 31));
    g.setColorAt(0.35, QColor(88, 90, 95));
    g.setColorAt(0.6, QColor(58, 60, 64));
    g.setColorAt(1.0, QColor(24, 25, 27));
    p.setPen(QPen(QColor(18, 18, 20), 1));
    p.setBrush(g);
    p.drawRoundedRect(boot, 3, 3);
    p.setPen(QPen(QColor(16, 16, 18, 200), 1.2));
    for (double y = 2.5; y < 10; y += 3.5)
        p.drawLine(QPointF(boot.left() + 1, y), QPointF(boot.right() - 1, y));
}

void drawHousing(QPainter& p)
{
    drawSoftShadow(p, kHousing, kHousingRadius, QPointF(2, 3), 5, 14);

    // Outer bevel: the moulded edge catches light at the top left.
    QLinearGradient edge(kHousing.topLeft(), kHousing.bottomRight());
    edge.setColorAt(0.0, QColor(132, 136, 142));
    edge.setColorAt(0.45, QColor(72, 75, 80));
    edge.setColorAt(1.0, QColor(26, 27, 30));
    p.setPen(Qt::NoPen);
    p.setBrush(edge);
    p.drawPath(rounded(kHousing, kHousingRadius));

    const QRectF inner = kHousing.adjusted(2.5, 2.5, -2.5, -2.5);
    QLinearGradient body(0, inner.top(), 0, inner.bottom());
    body.setColorAt(0.0, QColor(80, 83, 89));
    body.setColorAt(0.5, QColor(66, 69, 74));
    body.setColorAt(1.0, QColor(56, 58, 63));
    p.setBrush(body);
    p.drawPath(rounded(inner, kHousingRadius - 2.5));

    // Broad sheen of the curved top surface.
    QRadialGradient sheen(QPointF(inner.left() + 70, inner.top() + 20), 220);
    sheen.setColorAt(0.0, QColor(255, 255, 255, 26));
    sheen.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.setBrush(sheen);
    p.drawPath(rounded(inner, kHousingRadius - 2.5));

    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(22, 23, 25), 1));
    p.drawPath(rounded(kHousing.adjusted(0.5, 0.5, -0.5, -0.5), kHousingRadius));
}

void drawScrew(QPainter& p, QPointF c)
{
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(30, 31, 34));
    p.drawEllipse(c, 5, 5);
    QRadialGradient g(c + QPointF(-1.5, -1.5), 5);
    g.setColorAt(0.0, QColor(150, 153, 158));
    g.setColorAt(1.0, QColor(70, 72, 76));
    p.setBrush(g);
    p.drawEllipse(c, 3.8, 3.8);
    p.setPen(QPen(QColor(34, 35, 38), 1.2, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(c + QPointF(-2.6, 0), c + QPointF(2.6, 0));
    p.drawLine(c + QPointF(0, -2.6), c + QPointF(0, 2.6));
}

// The product word as a drawn logotype: straight strokes, so it reads as printed on the
// housing and does not depend on which fonts the build machine has.
QPainterPath logoPath(QPointF origin, double h, double stroke)
{
    const double wK = h * 0.68, wO = h * 0.86, wV = h * 0.80, wA = h * 0.80, gap = h * 0.30;
    QPainterPath lines;
    double x = origin.x();
    const double y = origin.y();
    // K
    lines.moveTo(x + stroke / 2, y);
    lines.lineTo(x + stroke / 2, y + h);
    lines.moveTo(x + wK, y);
    lines.lineTo(x + stroke * 0.9, y + h * 0.58);
    lines.moveTo(x + wK * 0.42, y + h * 0.42);
    lines.lineTo(x + wK + 0.5, y + h);
    x += wK + gap;
    // O
    QPainterPath o;
    o.addRoundedRect(QRectF(x + stroke / 2, y + stroke / 2, wO - stroke, h - stroke), h * 0.32, h * 0.32);
    lines.addPath(o);
    x += wO + gap;
    // V
    lines.moveTo(x, y);
    lines.lineTo(x + wV / 2, y + h);
    lines.lineTo(x + wV, y);
    x += wV + gap;
    // A: open apex and a short bar, the way the word is set on the housing
    lines.moveTo(x, y + h);
    lines.lineTo(x + wA / 2, y);
    lines.lineTo(x + wA, y + h);
    lines.moveTo(x + wA * 0.28, y + h * 0.66);
    lines.lineTo(x + wA * 0.72, y + h * 0.66);

    QPainterPathStroker st;
    st.setWidth(stroke);
    st.setCapStyle(Qt::FlatCap);
    st.setJoinStyle(Qt::MiterJoin);
    st.setMiterLimit(3);
    QPainterPath out = st.createStroke(lines).simplified();
    // Clip the strokes to the cap height so the V and A tips end flush with the other letters.
    QPainterPath band;
    band.addRect(QRectF(origin.x() - 5, y, x + wA + 10 - origin.x(), h));
    return out.intersected(band);
}

void drawLogo(QPainter& p)
{
    const double h = 17, stroke = 3.6;
    QPainterPath path = logoPath(QPointF(0, 0), h, stroke);
    const QRectF b = path.boundingRect();
    path.translate(std::round(170 - b.center().x()), 17);
    p.setPen(Qt::NoPen);
    // Printed, with a faint dark offset so the ink reads as lying on the moulded surface.
    p.setBrush(QColor(20, 21, 23, 150));
    p.drawPath(path.translated(0.8, 1.0));
    QLinearGradient g(0, 17, 0, 17 + h);
    g.setColorAt(0.0, QColor(236, 238, 240));
    g.setColorAt(1.0, QColor(196, 199, 204));
    p.setBrush(g);
    p.drawPath(path);
    // Signal-yellow accent bar under the word, as on the key LEDs.
    const QRectF bar(path.boundingRect().left(), 17 + h + 3.5, path.boundingRect().width(), 2);
    p.setBrush(QColor(226, 196, 24));
    p.drawRect(bar);
}

void drawFrontPlate(QPainter& p)
{
    // A recessed membrane front: dark edge at the top left, light edge at the bottom right.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(112, 116, 122));
    p.drawPath(rounded(kFrontPlate.translated(0.8, 0.8), 10));
    p.setBrush(QColor(24, 25, 28));
    p.drawPath(rounded(kFrontPlate.translated(-0.8, -0.8), 10));
    QLinearGradient g(0, kFrontPlate.top(), 0, kFrontPlate.bottom());
    g.setColorAt(0.0, QColor(54, 57, 62));
    g.setColorAt(1.0, QColor(46, 48, 53));
    p.setBrush(g);
    p.drawPath(rounded(kFrontPlate, 10));
}

// A pane of display glass: a vertical gradient from topColour to bottomColour, and a shadow of
// shadowHeight pixels under its upper edge, where the bezel overhangs it.
void drawGlass(QPainter& p, const QRectF& glass, const QColor& topColour, const QColor& bottomColour,
               double shadowHeight, int shadowAlpha)
{
    QLinearGradient g(0, glass.top(), 0, glass.bottom());
    g.setColorAt(0.0, topColour);
    g.setColorAt(1.0, bottomColour);
    p.setBrush(g);
    p.drawRect(glass);
    QLinearGradient shadow(0, glass.top(), 0, glass.top() + shadowHeight);
    shadow.setColorAt(0.0, QColor(0, 0, 0, shadowAlpha));
    shadow.setColorAt(1.0, QColor(0, 0, 0, 0));
    p.setBrush(shadow);
    p.drawRect(QRectF(glass.left(), glass.top(), glass.width(), shadowHeight));
}

void drawLcd(QPainter& p)
{
    // Black bezel sloping down to the glass.
    QLinearGradient bz(0, kLcdBezel.top(), 0, kLcdBezel.bottom());
    bz.setColorAt(0.0, QColor(62, 64, 68));
    bz.setColorAt(0.12, QColor(34, 35, 38));
    bz.setColorAt(1.0, QColor(20, 21, 23));
    outlinedFace(p, kLcdBezel, 6, bz, QColor(14, 14, 16));
    // Highlight on the bezel's lower lip.
    p.setPen(QPen(QColor(120, 124, 130, 140), 1));
    p.drawLine(QPointF(kLcdBezel.left() + 6, kLcdBezel.bottom() - 1.5),
               QPointF(kLcdBezel.right() - 6, kLcdBezel.bottom() - 1.5));

    // Gasket line around the glass.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(10, 10, 12));
    p.drawRect(kLcdGlass.adjusted(-2, -2, 2, 2));

    // The glass: a yellow-green liquid-crystal background, light enough for black text, with an
    // inner shadow along the top and left edges kept outside the text area (x >= 86, y >= 70).
    drawGlass(p, kLcdGlass, QColor(198, 208, 164), QColor(186, 198, 152), 6, 90);
    QLinearGradient left(kLcdGlass.left(), 0, kLcdGlass.left() + 5, 0);
    left.setColorAt(0.0, QColor(0, 0, 0, 70));
    left.setColorAt(1.0, QColor(0, 0, 0, 0));
    p.setBrush(left);
    p.drawRect(QRectF(kLcdGlass.left(), kLcdGlass.top(), 5, kLcdGlass.height()));

    // A faint diagonal reflection on the cover glass.
    QPainterPath glare;
    glare.moveTo(kLcdGlass.right() - 70, kLcdGlass.top());
    glare.lineTo(kLcdGlass.right() - 30, kLcdGlass.top());
    glare.lineTo(kLcdGlass.right() - 100, kLcdGlass.bottom());
    glare.lineTo(kLcdGlass.right() - 140, kLcdGlass.bottom());
    glare.closeSubpath();
    QLinearGradient gg(kLcdGlass.topRight(), kLcdGlass.bottomLeft());
    gg.setColorAt(0.0, QColor(255, 255, 255, 34));
    gg.setColorAt(1.0, QColor(255, 255, 255, 6));
    p.setBrush(gg);
    p.drawPath(glare.intersected(rounded(kLcdGlass, 0)));
}

void drawTagline(QPainter& p)
{
    // Model line printed in the band between the display and the keys.
    const double y = (kLcdBezel.bottom() + pic(g_rcKeys[0]).top() - kKeyRim) / 2;
    const QFont f = uiFont(8, true);
    const QString text = QStringLiteral("O P E R A T O R   P A N E L");
    drawCentred(p, text, QPointF(170, y), f, QColor(150, 154, 160));
    const double half = QFontMetricsF(f).horizontalAdvance(text) / 2 + 8;
    p.setPen(QPen(QColor(110, 114, 120), 1));
    p.drawLine(QPointF(pic(g_rcKeys[0]).left() - kKeyRim, y + 0.5), QPointF(170 - half, y + 0.5));
    p.drawLine(QPointF(170 + half, y + 0.5), QPointF(pic(g_rcKeys[3]).right() + kKeyRim, y + 0.5));
}

void drawKey(QPainter& p, const QRectF& face)
{
    const QRectF cap = face.adjusted(-kKeyRim, -kKeyRim, kKeyRim, kKeyRim);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 70));
    p.drawPath(rounded(cap.translated(1.2, 2.0), 4.5));
    p.setBrush(QColor(0, 0, 0, 110));
    p.drawPath(rounded(cap.translated(0.6, 1.0), 4.5));

    // Raised cap rim: light top-left, dark bottom-right.
    QLinearGradient rim(cap.topLeft(), cap.bottomRight());
    rim.setColorAt(0.0, QColor(214, 217, 222));
    rim.setColorAt(0.5, QColor(150, 153, 158));
    rim.setColorAt(1.0, QColor(78, 80, 85));
    outlinedFace(p, cap, 4, rim, QColor(18, 19, 21));

    // The LED lens fills the face exactly; the program paints its LED colour over this square.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(70, 72, 76));
    p.drawRect(face);
    QLinearGradient lens(0, face.top(), 0, face.bottom());
    lens.setColorAt(0.0, QColor(146, 146, 144));
    lens.setColorAt(1.0, QColor(118, 118, 116));
    p.setBrush(lens);
    p.drawRect(face.adjusted(1, 1, -1, -1));
}

void drawReadout(QPainter& p, int i)
{
    const QRectF w = readoutWindow(i);
    p.setPen(QPen(QColor(14, 14, 16), 1));
    p.setBrush(QColor(26, 27, 30));
    p.drawPath(rounded(w.adjusted(-2.5, -2.5, 2.5, 2.5), 3));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(120, 124, 130, 140));
    p.drawRect(QRectF(w.left() - 1, w.bottom() + 1.2, w.width() + 2, 0.8));
    drawGlass(p, w, QColor(222, 228, 200), QColor(208, 216, 186), 3, 80);

    // Legend beside the window, on the outer side of each selector.
    const QFont f = uiFont(9, true);
    const QString label = i == 0 ? QStringLiteral("SEL 1") : QStringLiteral("SEL 2");
    QFontMetricsF fm(f);
    const double tw = fm.horizontalAdvance(label);
    const double x = i == 0 ? w.left() - 8 - tw / 2 : w.right() + 8 + tw / 2;
    drawCentred(p, label, QPointF(x, w.center().y()), f, QColor(200, 204, 210));
}

void drawSelector(QPainter& p, int i)
{
    const QPointF c = knobCentre(i);

    // Scale: an arc with twelve ticks and the numerals 1 to 12.
    const QColor ink(214, 217, 222);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(ink, 1.0, Qt::SolidLine, Qt::FlatCap));
    const QRectF arcBox(c.x() - kTickInner, c.y() - kTickInner, 2 * kTickInner, 2 * kTickInner);
    // Qt angles: counter-clockwise from 3 o'clock, in 1/16 degree.
    const double startQt = 90 - positionAngle(1);
    p.drawArc(arcBox, static_cast<int>(startQt * 16), static_cast<int>(-kScaleSpanDeg * 16));
    const QFont nf = uiFont(8, false, true);
    for (int n = 1; n <= 12; ++n) {
        const double a = positionAngle(n);
        const bool major = n == 1 || n == 12;
        p.setPen(QPen(ink, major ? 1.8 : 1.2, Qt::SolidLine, Qt::FlatCap));
        p.drawLine(polar(c, kTickInner, a), polar(c, major ? kTickOuter + 1 : kTickOuter, a));
        drawCentred(p, QString::number(n), polar(c, kNumeralR, a), nf, ink);
    }

    // Knob: round, knurled, with a grip bar and a white index pointing at position 1.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 90));
    p.drawEllipse(c + QPointF(1.2, 2.2), kKnobR + 0.5, kKnobR + 0.5);
    QRadialGradient body(c + QPointF(-5, -6), kKnobR * 1.6);
    body.setColorAt(0.0, QColor(104, 107, 112));
    body.setColorAt(0.6, QColor(36, 37, 40));
    body.setColorAt(1.0, QColor(16, 16, 18));
    p.setPen(QPen(QColor(8, 8, 9), 1));
    p.setBrush(body);
    p.drawEllipse(c, kKnobR, kKnobR);
    p.setPen(QPen(QColor(10, 10, 12, 160), 0.8));
    for (int k = 0; k < 36; ++k) {
        const double a = k * 10.0;
        p.drawLine(polar(c, kKnobR - 2.2, a), polar(c, kKnobR - 0.6, a));
    }

    const double pointer = positionAngle(1);
    p.save();
    p.translate(c);
    p.rotate(pointer);
    QLinearGradient bar(-4, 0, 4, 0);
    bar.setColorAt(0.0, QColor(96, 99, 104));
    bar.setColorAt(0.5, QColor(56, 58, 62));
    bar.setColorAt(1.0, QColor(22, 23, 25));
    p.setPen(QPen(QColor(6, 6, 7), 0.9));
    p.setBrush(bar);
    p.drawRoundedRect(QRectF(-4, -kKnobR + 1.5, 8, 2 * kKnobR - 3), 3, 3);
    p.setPen(QPen(QColor(245, 245, 242), 1.8, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(0, -kKnobR + 3.5), QPointF(0, -4));
    p.restore();
}

QImage renderPanel()
{
    QImage img(kPictureWidth, kPictureHeight, QImage::Format_ARGB32_Premultiplied);
    img.fill(QColor(212, 208, 200));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    drawCable(p);
    drawHousing(p);
    drawScrew(p, QPointF(50, 26));
    drawScrew(p, QPointF(290, 26));
    drawLogo(p);
    drawFrontPlate(p);
    drawLcd(p);
    drawTagline(p);
    for (const CRect& k : g_rcKeys)
        drawKey(p, pic(k));
    for (int i = 0; i < 2; ++i) {
        drawReadout(p, i);
        drawSelector(p, i);
    }
    p.end();
    return img.convertToFormat(QImage::Format_RGB32);
}

} // namespace art
