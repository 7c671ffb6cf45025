// make_art: draws the panel picture (res/panel.bmp) and the application icons.
//
//   make_art <outdir>              panel.bmp, icon_32.png, icon_16.png, kova_en.ico, kova_en.png
//   make_art --debug <file.png>    picture with the overlay rectangles outlined in magenta
//   make_art --preview <file.png>  the window as the program shows it, with a sample overlay
//   make_art --png <file.png>      the quantised picture as the program loads it
//
// The main window draws key LEDs, LCD rows, selector numbers and a status line straight over
// the picture at fixed client coordinates, and the picture sits at client (3, 0). Everything
// here is therefore laid out from those client coordinates, shifted by the picture origin, so
// that the overlay lands on the pictured key faces, LCD glass and readout windows.

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QRadialGradient>
#include <QString>
#include <QStringList>
#include <QTransform>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <unordered_map>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// Overlay geometry, in client pixels of the main window (left, top, right, bottom; right and
// bottom exclusive). These are the numbers the program draws at; the picture must follow them.

struct ClientRect {
    int l, t, r, b;
};

constexpr int kPicW = 340;
constexpr int kPicH = 499;
constexpr int kPicX = 3;  // client x of picture column 0

constexpr std::array<ClientRect, 12> kKeys{{
    {89, 241, 125, 277}, {134, 241, 170, 277}, {179, 241, 215, 277}, {224, 241, 260, 277},
    {89, 292, 125, 328}, {134, 292, 170, 328}, {179, 292, 215, 328}, {224, 292, 260, 328},
    {89, 336, 125, 372}, {134, 336, 170, 372}, {179, 336, 215, 372}, {224, 336, 260, 372},
}};
constexpr ClientRect kLcd{76, 60, 264, 188};
constexpr ClientRect kSwitchRect[2]{{100, 382, 140, 412}, {220, 382, 260, 412}};
constexpr int kSwitchTextX[2]{122, 233};  // horizontal centre of the number, client
constexpr int kSwitchTextTop = 382;
constexpr int kLcdTextX = 86, kLcdTextY = 70, kLcdRowPitch = 14, kLcdCols = 15, kLcdCellW = 10;
constexpr int kStatusX = 5, kStatusY = 480;
// The status line must stay readable: keep this client band clear of the dark housing.
constexpr ClientRect kStatusBand{5, 478, 231, 497};

QRectF pic(const ClientRect& c)
{
    return QRectF(c.l - kPicX, c.t, c.r - c.l, c.b - c.t);
}

double picX(int clientX)
{
    return clientX - kPicX;
}

// ---------------------------------------------------------------------------------------------
// Layout of the pictured device, in picture pixels. Derived from the overlay where it matters.

const QRectF kHousing(26, 8, 288, 468);  // bottom edge at y 476, above the status band
constexpr double kHousingRadius = 22;
const QRectF kFrontPlate(36, 44, 268, 424);
const QRectF kLcdGlass = pic(kLcd);
const QRectF kLcdBezel = kLcdGlass.adjusted(-9, -8, 9, 9);
constexpr double kKeyRim = 3;  // the cap is this much larger than the lit face on every side
constexpr double kKnobY = 440;
constexpr double kKnobR = 13;
constexpr double kTickInner = 16.5, kTickOuter = 20.5, kNumeralR = 26.5;
constexpr double kScaleSpanDeg = 300;  // twelve positions over 300 degrees, gap at the bottom

QRectF readoutWindow(int i)
{
    // Centred on the number's anchor rather than on the invalidated rectangle: the program
    // centres selector 2's number at 233, seven pixels left of its rectangle's centre.
    const double cx = picX(kSwitchTextX[i]);
    return QRectF(cx - 21, kSwitchTextTop - 2, 42, 22);
}

QPointF knobCentre(int i)
{
    return QPointF(picX(kSwitchTextX[i]), kKnobY);
}

// Angle of switch position n (1..12), clockwise from straight up, in degrees.
double positionAngle(int n)
{
    return -kScaleSpanDeg / 2 + (n - 1) * kScaleSpanDeg / 11.0;
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

// ---------------------------------------------------------------------------------------------
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

void drawLcd(QPainter& p)
{
    // Black bezel sloping down to the glass.
    QLinearGradient bz(0, kLcdBezel.top(), 0, kLcdBezel.bottom());
    bz.setColorAt(0.0, QColor(62, 64, 68));
    bz.setColorAt(0.12, QColor(34, 35, 38));
    bz.setColorAt(1.0, QColor(20, 21, 23));
    p.setPen(QPen(QColor(14, 14, 16), 1));
    p.setBrush(bz);
    p.drawPath(rounded(kLcdBezel.adjusted(0.5, 0.5, -0.5, -0.5), 6));
    // Highlight on the bezel's lower lip.
    p.setPen(QPen(QColor(120, 124, 130, 140), 1));
    p.drawLine(QPointF(kLcdBezel.left() + 6, kLcdBezel.bottom() - 1.5),
               QPointF(kLcdBezel.right() - 6, kLcdBezel.bottom() - 1.5));

    // Gasket line around the glass.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(10, 10, 12));
    p.drawRect(kLcdGlass.adjusted(-2, -2, 2, 2));

    // The glass: a yellow-green liquid-crystal background, light enough for black text.
    QLinearGradient gl(0, kLcdGlass.top(), 0, kLcdGlass.bottom());
    gl.setColorAt(0.0, QColor(198, 208, 164));
    gl.setColorAt(1.0, QColor(186, 198, 152));
    p.setBrush(gl);
    p.drawRect(kLcdGlass);

    // Inner shadow along the top and left edges, kept outside the text area (x >= 86, y >= 70).
    QLinearGradient top(0, kLcdGlass.top(), 0, kLcdGlass.top() + 6);
    top.setColorAt(0.0, QColor(0, 0, 0, 90));
    top.setColorAt(1.0, QColor(0, 0, 0, 0));
    p.setBrush(top);
    p.drawRect(QRectF(kLcdGlass.left(), kLcdGlass.top(), kLcdGlass.width(), 6));
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
    const double y = (kLcdBezel.bottom() + pic(kKeys[0]).top() - kKeyRim) / 2;
    const QFont f = uiFont(8, true);
    const QString text = QStringLiteral("O P E R A T O R   P A N E L");
    drawCentred(p, text, QPointF(170, y), f, QColor(150, 154, 160));
    const double half = QFontMetricsF(f).horizontalAdvance(text) / 2 + 8;
    p.setPen(QPen(QColor(110, 114, 120), 1));
    p.drawLine(QPointF(pic(kKeys[0]).left() - kKeyRim, y + 0.5), QPointF(170 - half, y + 0.5));
    p.drawLine(QPointF(170 + half, y + 0.5), QPointF(pic(kKeys[3]).right() + kKeyRim, y + 0.5));
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
    p.setPen(QPen(QColor(18, 19, 21), 1));
    p.setBrush(rim);
    p.drawPath(rounded(cap.adjusted(0.5, 0.5, -0.5, -0.5), 4));

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
    QLinearGradient g(0, w.top(), 0, w.bottom());
    g.setColorAt(0.0, QColor(222, 228, 200));
    g.setColorAt(1.0, QColor(208, 216, 186));
    p.setBrush(g);
    p.drawRect(w);
    QLinearGradient top(0, w.top(), 0, w.top() + 3);
    top.setColorAt(0.0, QColor(0, 0, 0, 80));
    top.setColorAt(1.0, QColor(0, 0, 0, 0));
    p.setBrush(top);
    p.drawRect(QRectF(w.left(), w.top(), w.width(), 3));

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
    QImage img(kPicW, kPicH, QImage::Format_ARGB32_Premultiplied);
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
    for (const ClientRect& k : kKeys)
        drawKey(p, pic(k));
    for (int i = 0; i < 2; ++i) {
        drawReadout(p, i);
        drawSelector(p, i);
    }
    p.end();
    return img.convertToFormat(QImage::Format_RGB32);
}

// ---------------------------------------------------------------------------------------------
// Quantisation: median cut over the rendered picture. The picture is mostly dark greys and one
// LCD green, so an adaptive palette keeps its gradients smooth without any dither noise.

struct ColourCount {
    QRgb rgb;
    int count;
};

std::vector<QRgb> medianCutPalette(const QImage& img, int size, const std::vector<QRgb>& fixed)
{
    std::unordered_map<QRgb, int> hist;
    for (int y = 0; y < img.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        for (int x = 0; x < img.width(); ++x)
            ++hist[line[x] | 0xff000000u];
    }
    std::vector<ColourCount> cols;
    cols.reserve(hist.size());
    for (const auto& [rgb, n] : hist)
        cols.push_back({rgb, n});
    std::sort(cols.begin(), cols.end(), [](const ColourCount& a, const ColourCount& b) { return a.rgb < b.rgb; });

    std::vector<QRgb> palette = fixed;
    const int want = size - static_cast<int>(fixed.size());
    if (static_cast<int>(cols.size()) <= want) {
        for (const ColourCount& c : cols)
            palette.push_back(c.rgb);
    } else {
        struct Box {
            size_t begin, end;
        };
        auto channel = [](QRgb c, int ch) { return ch == 0 ? qRed(c) : ch == 1 ? qGreen(c) : qBlue(c); };
        auto widest = [&](const Box& b, int& range) {
            int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
            for (size_t i = b.begin; i < b.end; ++i)
                for (int ch = 0; ch < 3; ++ch) {
                    lo[ch] = std::min(lo[ch], channel(cols[i].rgb, ch));
                    hi[ch] = std::max(hi[ch], channel(cols[i].rgb, ch));
                }
            int best = 0;
            for (int ch = 1; ch < 3; ++ch)
                if (hi[ch] - lo[ch] > hi[best] - lo[best])
                    best = ch;
            range = hi[best] - lo[best];
            return best;
        };
        auto weight = [&](const Box& b) {
            long long n = 0;
            for (size_t i = b.begin; i < b.end; ++i)
                n += cols[i].count;
            return n;
        };
        std::vector<Box> boxes{{0, cols.size()}};
        while (static_cast<int>(boxes.size()) < want) {
            // Split where it helps most: population times colour spread.
            int pick = -1;
            double score = 0;
            for (size_t bi = 0; bi < boxes.size(); ++bi) {
                if (boxes[bi].end - boxes[bi].begin < 2)
                    continue;
                int range = 0;
                widest(boxes[bi], range);
                const double s = std::sqrt(static_cast<double>(weight(boxes[bi]))) * range;
                if (s > score) {
                    score = s;
                    pick = static_cast<int>(bi);
                }
            }
            if (pick < 0)
                break;
            Box b = boxes[static_cast<size_t>(pick)];
            int range = 0;
            const int ch = widest(b, range);
            std::sort(cols.begin() + static_cast<long>(b.begin), cols.begin() + static_cast<long>(b.end),
                      [&](const ColourCount& x, const ColourCount& y) { return channel(x.rgb, ch) < channel(y.rgb, ch); });
            const long long half = weight(b) / 2;
            long long acc = 0;
            size_t mid = b.begin;
            while (mid < b.end - 1 && acc + cols[mid].count <= half)
                acc += cols[mid++].count;
            if (mid == b.begin)
                mid = b.begin + 1;
            boxes[static_cast<size_t>(pick)] = {b.begin, mid};
            boxes.push_back({mid, b.end});
        }
        for (const Box& b : boxes) {
            double r = 0, g = 0, bl = 0, n = 0;
            for (size_t i = b.begin; i < b.end; ++i) {
                r += qRed(cols[i].rgb) * double(cols[i].count);
                g += qGreen(cols[i].rgb) * double(cols[i].count);
                bl += qBlue(cols[i].rgb) * double(cols[i].count);
                n += cols[i].count;
            }
            palette.push_back(qRgb(int(std::lround(r / n)), int(std::lround(g / n)), int(std::lround(bl / n))));
        }
    }
    // Unused entries are black, so the table always has exactly `size` entries.
    while (static_cast<int>(palette.size()) < size)
        palette.push_back(qRgb(0, 0, 0));
    return palette;
}

QImage toIndexed(const QImage& rgb, const std::vector<QRgb>& palette)
{
    QImage out(rgb.size(), QImage::Format_Indexed8);
    out.setColorTable(QList<QRgb>(palette.begin(), palette.end()));
    std::unordered_map<QRgb, uchar> cache;
    for (int y = 0; y < rgb.height(); ++y) {
        const QRgb* in = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        uchar* o = out.scanLine(y);
        for (int x = 0; x < rgb.width(); ++x) {
            const QRgb c = in[x] | 0xff000000u;
            auto it = cache.find(c);
            if (it == cache.end()) {
                int best = 0;
                long bestD = -1;
                for (size_t i = 0; i < palette.size(); ++i) {
                    if (qAlpha(palette[i]) == 0)
                        continue;
                    const long dr = qRed(c) - qRed(palette[i]), dg = qGreen(c) - qGreen(palette[i]),
                               db = qBlue(c) - qBlue(palette[i]);
                    // Weighted towards green, as the eye is, so greys do not pick up a tint.
                    const long d = 3 * dr * dr + 4 * dg * dg + 2 * db * db;
                    if (bestD < 0 || d < bestD) {
                        bestD = d;
                        best = static_cast<int>(i);
                    }
                }
                it = cache.emplace(c, static_cast<uchar>(best)).first;
            }
            o[x] = it->second;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// File writers. Written by hand so the layout is fixed: Qt's BMP writer sizes the colour table
// to the image's colour count, and the icon file holds classic 4-bit images with a 1-bit mask
// next to a PNG entry, a mix that no Qt image plugin writes.

void put16(QByteArray& b, unsigned v)
{
    b.append(char(v & 0xff));
    b.append(char((v >> 8) & 0xff));
}

void put32(QByteArray& b, uint32_t v)
{
    put16(b, v & 0xffff);
    put16(b, v >> 16);
}

uint32_t get16(const QByteArray& b, int at)
{
    return uint32_t(uchar(b[at])) | uint32_t(uchar(b[at + 1])) << 8;
}

uint32_t get32(const QByteArray& b, int at)
{
    return get16(b, at) | get16(b, at + 2) << 16;
}

constexpr uint32_t kPelsPerMetre96Dpi = 3780;

// Standard 8-bit BMP: BITMAPFILEHEADER, BITMAPINFOHEADER, 256 RGBQUADs, rows bottom-up, each
// row padded to a multiple of four bytes.
QByteArray encodeBmp8(const QImage& img)
{
    const int stride = (img.width() + 3) & ~3;
    const uint32_t offBits = 14 + 40 + 256 * 4;
    const uint32_t imageSize = uint32_t(stride) * uint32_t(img.height());
    QByteArray b;
    b.append("BM");
    put32(b, offBits + imageSize);
    put32(b, 0);
    put32(b, offBits);
    put32(b, 40);
    put32(b, uint32_t(img.width()));
    put32(b, uint32_t(img.height()));  // positive height: bottom-up rows
    put16(b, 1);
    put16(b, 8);
    put32(b, 0);  // BI_RGB
    put32(b, imageSize);
    put32(b, kPelsPerMetre96Dpi);
    put32(b, kPelsPerMetre96Dpi);
    put32(b, 256);
    put32(b, 0);
    const QList<QRgb> table = img.colorTable();
    for (int i = 0; i < 256; ++i) {
        const QRgb c = i < table.size() ? table[i] : qRgb(0, 0, 0);
        b.append(char(qBlue(c)));
        b.append(char(qGreen(c)));
        b.append(char(qRed(c)));
        b.append(char(0));
    }
    for (int y = img.height() - 1; y >= 0; --y) {
        b.append(reinterpret_cast<const char*>(img.constScanLine(y)), img.width());
        b.append(QByteArray(stride - img.width(), '\0'));
    }
    return b;
}

[[noreturn]] void fail(const QString& what)
{
    std::fprintf(stderr, "make_art: %s\n", qPrintable(what));
    std::exit(1);
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(data) == data.size() && f.flush();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read back %1").arg(path));
    return f.readAll();
}

// Reads the written picture back and checks every header field the program relies on, then
// that a decoder sees the same pixels as the image that was encoded.
void verifyPanelBmp(const QString& path, const QImage& expected)
{
    const QByteArray b = readFile(path);
    auto check = [&](bool ok, const char* what) {
        if (!ok)
            fail(QStringLiteral("%1: %2").arg(path, QString::fromLatin1(what)));
    };
    check(b.size() >= 54 && b.startsWith("BM"), "not a BMP file");
    check(get32(b, 2) == uint32_t(b.size()), "bfSize does not match the file size");
    check(get32(b, 14) == 40, "info header is not BITMAPINFOHEADER");
    check(int32_t(get32(b, 18)) == kPicW, "width is not 340");
    check(int32_t(get32(b, 22)) == kPicH, "height is not +499 (bottom-up)");
    check(get16(b, 26) == 1, "biPlanes is not 1");
    check(get16(b, 28) == 8, "biBitCount is not 8");
    check(get32(b, 30) == 0, "biCompression is not BI_RGB");
    check(get32(b, 46) == 256, "colour table does not have 256 entries");
    check(get32(b, 10) == 14 + 40 + 1024, "pixel data does not follow a 256-entry table");
    check(get32(b, 10) + uint32_t(((kPicW + 3) & ~3) * kPicH) == uint32_t(b.size()), "pixel data size wrong");

    QImage decoded;
    check(decoded.loadFromData(b, "BMP"), "Qt cannot decode it");
    check(decoded.size() == QSize(kPicW, kPicH), "decoded size differs");
    const QImage a = decoded.convertToFormat(QImage::Format_RGB32);
    const QImage e = expected.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < kPicH; ++y)
        for (int x = 0; x < kPicW; ++x)
            check(a.pixel(x, y) == e.pixel(x, y), "decoded pixels differ from the encoded image");
    std::printf("%s: BMP %dx%d, biBitCount %u, biCompression %u, biClrUsed %u, bottom-up, %lld bytes\n",
                qPrintable(path), int32_t(get32(b, 18)), int32_t(get32(b, 22)), get16(b, 28), get32(b, 30),
                get32(b, 46), static_cast<long long>(b.size()));
}

// ---------------------------------------------------------------------------------------------
// Icons: a tiny stylised panel. The two small sizes are drawn pixel by pixel in a fixed
// 16-colour palette, because a scaled-down drawing turns to mush at 16 x 16.

enum IconInk : uchar {
    kClear, kOutline, kBody, kBodyLight, kBodyDark, kGlass, kGlassInk, kYellow,
    kYellowDark, kKeyGrey, kKeyGreyDark, kWhite, kBezel, kKnob, kAccent, kLightGrey,
};

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

class PixelIcon {
public:
    explicit PixelIcon(int size) : m_img(size, size, QImage::Format_Indexed8)
    {
        m_img.setColorTable(QList<QRgb>(kIconPalette.begin(), kIconPalette.end()));
        m_img.fill(kClear);
    }
    void set(int x, int y, IconInk c) { m_img.setPixel(x, y, c); }
    void rect(int x0, int y0, int x1, int y1, IconInk c)  // inclusive
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
            if (x % 4 != 1)  // gaps between "characters"
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

QByteArray encodePng(const QImage& img)
{
    QByteArray data;
    QBuffer buf(&data);
    buf.open(QIODevice::WriteOnly);
    if (!img.save(&buf, "PNG"))
        fail(QStringLiteral("PNG encoding failed"));
    return data;
}

// Classic icon image: BITMAPINFOHEADER with doubled height, 16-entry table, 4-bit colour rows
// and a 1-bit transparency mask, both bottom-up and padded to four bytes.
QByteArray encodeIcoDib4(const QImage& img)
{
    const int w = img.width(), h = img.height();
    const int xorStride = ((w * 4 + 31) / 32) * 4;
    const int andStride = ((w + 31) / 32) * 4;
    QByteArray b;
    put32(b, 40);
    put32(b, uint32_t(w));
    put32(b, uint32_t(2 * h));
    put16(b, 1);
    put16(b, 4);
    put32(b, 0);
    put32(b, uint32_t((xorStride + andStride) * h));
    put32(b, 0);
    put32(b, 0);
    put32(b, 16);
    put32(b, 0);
    for (int i = 0; i < 16; ++i) {
        const QRgb c = kIconPalette[size_t(i)];
        // Transparent pixels are masked out; their colour entry is black by convention.
        b.append(char(qAlpha(c) ? qBlue(c) : 0));
        b.append(char(qAlpha(c) ? qGreen(c) : 0));
        b.append(char(qAlpha(c) ? qRed(c) : 0));
        b.append(char(0));
    }
    for (int y = h - 1; y >= 0; --y) {
        QByteArray row(xorStride, '\0');
        for (int x = 0; x < w; ++x) {
            const int idx = img.pixelIndex(x, y);
            row[x / 2] = char(uchar(row[x / 2]) | (x % 2 ? idx : idx << 4));
        }
        b.append(row);
    }
    for (int y = h - 1; y >= 0; --y) {
        QByteArray row(andStride, '\0');
        for (int x = 0; x < w; ++x)
            if (qAlpha(kIconPalette[size_t(img.pixelIndex(x, y))]) == 0)
                row[x / 8] = char(uchar(row[x / 8]) | (0x80 >> (x % 8)));
        b.append(row);
    }
    return b;
}

struct IcoEntry {
    int size;
    int colours;  // 0 for more than 256
    int bitCount;
    QByteArray data;
};

QByteArray encodeIco(const std::vector<IcoEntry>& entries)
{
    QByteArray b;
    put16(b, 0);
    put16(b, 1);
    put16(b, unsigned(entries.size()));
    uint32_t offset = 6 + 16 * uint32_t(entries.size());
    for (const IcoEntry& e : entries) {
        b.append(char(e.size >= 256 ? 0 : e.size));
        b.append(char(e.size >= 256 ? 0 : e.size));
        b.append(char(e.colours));
        b.append(char(0));
        put16(b, 1);
        put16(b, unsigned(e.bitCount));
        put32(b, uint32_t(e.data.size()));
        put32(b, offset);
        offset += uint32_t(e.data.size());
    }
    for (const IcoEntry& e : entries)
        b.append(e.data);
    return b;
}

void verifyIcon(const QString& path, int size)
{
    QImage img;
    if (!img.load(path))
        fail(QStringLiteral("%1: cannot decode").arg(path));
    if (img.size() != QSize(size, size) || img.format() != QImage::Format_Indexed8 || img.colorCount() > 16)
        fail(QStringLiteral("%1: expected %2x%2 indexed with at most 16 colours, got %3x%4 format %5, %6 colours")
                 .arg(path)
                 .arg(size)
                 .arg(img.width())
                 .arg(img.height())
                 .arg(int(img.format()))
                 .arg(img.colorCount()));
    std::printf("%s: PNG %dx%d indexed, %d colours\n", qPrintable(path), size, size, int(img.colorCount()));
}

// ---------------------------------------------------------------------------------------------
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
    auto outline = [&](const ClientRect& c) { p.drawRect(QRect(c.l - kPicX, c.t, c.r - c.l - 1, c.b - c.t - 1)); };
    for (const ClientRect& k : kKeys)
        outline(k);
    outline(kLcd);
    outline(kSwitchRect[0]);
    outline(kSwitchRect[1]);
    p.setPen(QPen(QColor(0, 200, 255), 1));
    outline(kStatusBand);
    // LCD character cells
    p.setPen(QPen(QColor(255, 0, 255, 110), 1));
    p.drawRect(QRect(kLcdTextX - kPicX, kLcdTextY, kLcdCols * kLcdCellW - 1, 7 * kLcdRowPitch + 15 - 1));
    p.setPen(QPen(magenta, 1));
    for (int i = 0; i < 2; ++i) {
        const int x = kSwitchTextX[i] - kPicX;
        p.drawLine(x, kSwitchTextTop - 3, x, kSwitchTextTop + 3);
        p.drawLine(x - 3, kSwitchTextTop, x + 3, kSwitchTextTop);
    }
    p.end();
    return img;
}

// What the user sees: the picture placed at client (3, 0) with a typical overlay drawn the way
// the main window draws it.
QImage previewView()
{
    const QImage picImg = quantisedPanel().convertToFormat(QImage::Format_RGB32);
    QImage img(kPicW + 2 * kPicX, kPicH, QImage::Format_RGB32);
    img.fill(QColor(212, 208, 200));
    QPainter p(&img);
    p.drawImage(kPicX, 0, picImg);
    const int led[12] = {1, 0, 0, 1, 0, 1, 0, 0, 0, 0, 1, 0};
    for (int i = 0; i < 12; ++i) {
        const ClientRect& k = kKeys[size_t(i)];
        p.fillRect(QRect(k.l, k.t, k.r - k.l, k.b - k.t), led[i] ? QColor(241, 241, 0) : QColor(128, 128, 128));
    }
    {
        const ClientRect& k = kKeys[6];
        p.setPen(QPen(Qt::black, 1));
        p.setBrush(QColor(255, 0, 0));
        p.drawRoundedRect(QRect(k.l, k.t, k.r - k.l - 1, k.b - k.t - 1), 15, 15);
    }
    QFont lcd(QStringLiteral("DejaVu Sans Mono"));
    lcd.setPixelSize(15);
    lcd.setBold(true);
    lcd.setStyleHint(QFont::TypeWriter);
    p.setFont(lcd);
    p.setPen(Qt::black);
    const char* rows[8] = {"KOVA panel test", "Row 2", "0123456789ABCDE", "", "Selector check", "", "abcdefghijklmno", "Row 8 last line"};
    for (int r = 0; r < 8; ++r) {
        const QString s = QString::fromLatin1(rows[r]);
        for (int c = 0; c < s.size(); ++c)
            p.drawText(QRect(kLcdTextX + c * kLcdCellW, kLcdTextY + kLcdRowPitch * r, kLcdCellW, 15), Qt::AlignLeft | Qt::AlignTop, s.mid(c, 1));
    }
    QFont ui(QStringLiteral("DejaVu Sans"));
    ui.setPixelSize(13);
    p.setFont(ui);
    const QString nums[2] = {QStringLiteral("7"), QStringLiteral("12")};
    for (int i = 0; i < 2; ++i)
        p.drawText(QRect(kSwitchTextX[i] - 30, kSwitchTextTop, 60, 20), Qt::AlignHCenter | Qt::AlignTop, nums[i]);
    p.drawText(QRect(kStatusX, kStatusY, 300, 20), Qt::AlignLeft | Qt::AlignTop, QStringLiteral("DEMO-MODE,  KOVA not connected"));
    p.end();
    return img;
}

void saveOrFail(const QImage& img, const QString& path)
{
    if (!img.save(path))
        fail(QStringLiteral("cannot write %1").arg(path));
    std::printf("%s: %dx%d\n", qPrintable(path), img.width(), img.height());
}

int usage()
{
    std::fprintf(stderr,
                 "usage: make_art <outdir>\n"
                 "       make_art --debug <file.png> | --preview <file.png> | --png <file.png>\n");
    return 2;
}

int writeAll(const QString& dirPath)
{
    QDir dir(dirPath);
    if (!dir.exists() && !QDir().mkpath(dirPath))
        fail(QStringLiteral("cannot create %1").arg(dirPath));

    const QImage panel = quantisedPanel();
    const QString bmpPath = dir.filePath(QStringLiteral("panel.bmp"));
    if (!writeFile(bmpPath, encodeBmp8(panel)))
        fail(QStringLiteral("cannot write %1").arg(bmpPath));
    verifyPanelBmp(bmpPath, panel);

    const QImage i32 = icon32(), i16 = icon16();
    const QByteArray png32 = encodePng(i32), png16 = encodePng(i16);
    const QString p32 = dir.filePath(QStringLiteral("icon_32.png")), p16 = dir.filePath(QStringLiteral("icon_16.png"));
    if (!writeFile(p32, png32) || !writeFile(p16, png16))
        fail(QStringLiteral("cannot write the small icons"));
    verifyIcon(p32, 32);
    verifyIcon(p16, 16);

    const QImage large = iconLarge(256);
    const QByteArray pngLarge = encodePng(large);
    const QString pLarge = dir.filePath(QStringLiteral("kova_en.png"));
    if (!writeFile(pLarge, pngLarge))
        fail(QStringLiteral("cannot write %1").arg(pLarge));
    std::printf("%s: PNG 256x256 ARGB\n", qPrintable(pLarge));

    const QString pIco = dir.filePath(QStringLiteral("kova_en.ico"));
    const QByteArray ico = encodeIco({{16, 16, 4, encodeIcoDib4(i16)}, {32, 16, 4, encodeIcoDib4(i32)}, {256, 0, 32, pngLarge}});
    if (!writeFile(pIco, ico))
        fail(QStringLiteral("cannot write %1").arg(pIco));
    std::printf("%s: ICO 16x16 4bpp, 32x32 4bpp, 256x256 PNG\n", qPrintable(pIco));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    // Drawing text needs a font database, which needs a platform; none of it needs a display.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = QGuiApplication::arguments().mid(1);

    if (args.size() == 1 && !args[0].startsWith(QLatin1String("--")))
        return writeAll(args[0]);
    if (args.size() == 2 && args[0] == QLatin1String("--debug"))
        saveOrFail(debugView(), args[1]);
    else if (args.size() == 2 && args[0] == QLatin1String("--preview"))
        saveOrFail(previewView(), args[1]);
    else if (args.size() == 2 && args[0] == QLatin1String("--png"))
        saveOrFail(quantisedPanel(), args[1]);
    else
        return usage();
    return 0;
}
