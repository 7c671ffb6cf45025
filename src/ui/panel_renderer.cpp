#include "panel_renderer.h"

#include "panel_model.h"

#include <QFontMetrics>
#include <QPainter>

const QImage& PanelPicture()
{
    static const QImage picture = [] {
        QImage image(QStringLiteral(":/kova/panel.bmp"));
        if (image.isNull()) {
            image = QImage(kPictureWidth, kPictureHeight, QImage::Format_RGB32);
            image.fill(qRgb(212, 208, 200));
        }
        return image;
    }();
    return picture;
}

QColor PictureBackground()
{
    return QColor(PanelPicture().pixel(0, 0));
}

QFont LcdFont()
{
    QFont font(QStringLiteral("DejaVu Sans Mono"));
    font.setStyleHint(QFont::TypeWriter, QFont::PreferMatch);
    font.setFixedPitch(true);
    // The cell is 15 pixels high including the descent, and 9 pixels wide. At 13 pixels the
    // face's ascent and descent add up to 15; widened to 115 % its advance becomes 9. A 15 pixel
    // em would give 18 pixel lines, and descenders would run into the row below.
    font.setPixelSize(13);
    font.setStretch(115);
    font.setBold(true);
    font.setHintingPreference(QFont::PreferFullHinting);
    // One pixel between characters, as on the panel's own LCD mirror.
    font.setLetterSpacing(QFont::AbsoluteSpacing, 1);
    return font;
}

namespace {

void DrawTextTopLeft(QPainter& painter, int x, int y, const QString& text)
{
    painter.drawText(QPoint(x, y + painter.fontMetrics().ascent()), text);
}

QFont NumberFont(const QFont& uiFont)
{
    QFont font = uiFont;
    font.setLetterSpacing(QFont::AbsoluteSpacing, 1);
    return font;
}

int TopCentreLeft(const QFontMetrics& metrics, const QFont& font, const CPoint& anchor, const QString& text)
{
    // The trailing letter spacing is not part of the visible text, so it is left out of the
    // width that centres it.
    const int width = metrics.horizontalAdvance(text) - static_cast<int>(font.letterSpacing());
    return anchor.x - width / 2;
}

void DrawTextTopCentre(QPainter& painter, const CPoint& anchor, const QString& text)
{
    DrawTextTopLeft(painter, TopCentreLeft(painter.fontMetrics(), painter.font(), anchor, text), anchor.y, text);
}

// Where text drawn with its top-left corner at (x, y) may leave ink: its advance box and the
// glyphs' own bounds (bold faces and overhangs reach past the advance), with a pixel to spare
// for rounding.
QRect TextRect(const QFontMetrics& metrics, int x, int y, const QString& text)
{
    if (text.isEmpty())
        return {};
    const QRect box(x, y, metrics.horizontalAdvance(text), metrics.height());
    const QRect ink = metrics.boundingRect(text).translated(x, y + metrics.ascent());
    return box.united(ink).adjusted(-1, -1, 1, 1);
}

// The LCD's character cells: 9 x 15 pixels, one pixel apart.
constexpr int kLcdCellWidth = 9;
constexpr int kLcdCellHeight = 15;
constexpr int kLcdCellPitch = kLcdCellWidth + 1;

// Every character in its own cell and clipped to it, so that none is drawn wider: a glyph
// that the face lacks comes from a fallback face of another width, and would otherwise push
// the rest of the row along, out of the LCD and over the housing.
void DrawLcdRow(QPainter& painter, int x, int y, const QString& row)
{
    const int baseline = y + painter.fontMetrics().ascent();
    int nColumn = 0;
    for (char32_t ch : row.toUcs4()) {
        const int left = x + kLcdCellPitch * nColumn++;
        painter.save();
        painter.setClipRect(left, y, kLcdCellWidth, kLcdCellHeight, Qt::IntersectClip);
        painter.drawText(QPoint(left, baseline), QString::fromUcs4(&ch, 1));
        painter.restore();
    }
}

} // namespace

void DrawPanel(QPainter& painter, const CPanelModel& model, const QFont& uiFont, bool bShowStatus)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.drawImage(kPictureLeft, kPictureTop, PanelPicture());

    for (int i = 0; i < kKeyCount; ++i) {
        const CRect& rc = g_rcKeys[i];
        const QRect face(rc.left, rc.top, rc.Width(), rc.Height());
        painter.fillRect(face, QColor(model.LedLit(i) ? kLedOnColor : kLedOffColor));
        if (model.m_keyDown[i] == 1) {
            painter.setPen(QPen(Qt::black, 0));
            painter.setBrush(QColor(kMarkerColor));
            // Corner ellipses of 30 x 30 pixels; the outline stays inside the key's square.
            painter.drawRoundedRect(QRectF(face).adjusted(0, 0, -1, -1), 15, 15);
        }
    }

    painter.setPen(Qt::black);
    painter.setBrush(Qt::NoBrush);
    painter.setFont(LcdFont());
    for (int r = 0; r < kLcdRows; ++r) {
        if (!model.m_strRow[r].isEmpty())
            DrawLcdRow(painter, kLcdTextOrigin.x, kLcdTextOrigin.y + kLcdRowPitch * r, model.m_strRow[r]);
    }

    painter.setFont(NumberFont(uiFont));
    DrawTextTopCentre(painter, g_ptSwitch1Text, QString::number(model.Switch1Number()));
    DrawTextTopCentre(painter, g_ptSwitch2Text, QString::number(model.Switch2Number()));

    if (bShowStatus && !model.m_strStatus.isEmpty())
        DrawTextTopLeft(painter, kStatusTextOrigin.x, kStatusTextOrigin.y, model.m_strStatus);
    painter.restore();
}

CPanelFrame PanelFrame(const CPanelModel& model, bool bShowStatus)
{
    CPanelFrame frame;
    for (int i = 0; i < kKeyCount; ++i) {
        frame.bLit[i] = model.LedLit(i);
        frame.bMarked[i] = model.m_keyDown[i] == 1;
    }
    frame.strRow = model.m_strRow;
    frame.nSwitch1 = model.Switch1Number();
    frame.nSwitch2 = model.Switch2Number();
    if (bShowStatus)
        frame.strStatus = model.m_strStatus;
    return frame;
}

QRegion ChangedRegion(const CPanelFrame& before, const CPanelFrame& after, const QFont& uiFont)
{
    // The common case of an idle tick, without building a font's metrics.
    if (before == after)
        return {};
    QRegion region;
    for (int i = 0; i < kKeyCount; ++i) {
        if (before.bLit[i] != after.bLit[i] || before.bMarked[i] != after.bMarked[i]) {
            const CRect& rc = g_rcKeys[i];
            region += QRect(rc.left, rc.top, rc.Width(), rc.Height());
        }
    }

    // A row takes the LCD's whole width, however its characters are laid out in their cells,
    // and the bounds of its old and new text beyond that.
    const QFontMetrics lcd(LcdFont());
    for (int r = 0; r < kLcdRows; ++r) {
        if (before.strRow[r] == after.strRow[r])
            continue;
        const int y = kLcdTextOrigin.y + kLcdRowPitch * r;
        region += QRect(g_rcLcd.left, y - 1, g_rcLcd.Width(), lcd.height() + 2);
        region += TextRect(lcd, kLcdTextOrigin.x, y, before.strRow[r]);
        region += TextRect(lcd, kLcdTextOrigin.x, y, after.strRow[r]);
    }

    const QFont numberFont = NumberFont(uiFont);
    const QFontMetrics numbers(numberFont);
    auto addNumber = [&](const CPoint& anchor, int nBefore, int nAfter) {
        if (nBefore == nAfter)
            return;
        for (const QString& text : {QString::number(nBefore), QString::number(nAfter)})
            region += TextRect(numbers, TopCentreLeft(numbers, numberFont, anchor, text), anchor.y, text);
    };
    addNumber(g_ptSwitch1Text, before.nSwitch1, after.nSwitch1);
    addNumber(g_ptSwitch2Text, before.nSwitch2, after.nSwitch2);

    if (before.strStatus != after.strStatus) {
        region += TextRect(numbers, kStatusTextOrigin.x, kStatusTextOrigin.y, before.strStatus);
        region += TextRect(numbers, kStatusTextOrigin.x, kStatusTextOrigin.y, after.strStatus);
    }
    return region;
}
