#include "panel_figure.h"

#include "geometry.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace {

constexpr int kNoteLine = 13;

QString Num(double v)
{
    return PageNumber(v, 2);
}

// A note's text cut to what fits the notes column; the whole text stays in the table.
QString Fit(const QString& text, int nChars)
{
    return text.size() <= nChars ? text : text.left(nChars - 1) + QChar(0x2026);
}

QString Icon(EPageMark mark, double x, double y, double size)
{
    return QStringLiteral("<use href=\"#i-%1\" class=\"%1\" x=\"%2\" y=\"%3\" width=\"%4\" height=\"%4\"/>")
        .arg(QLatin1String(MarkClass(mark)), Num(x), Num(y), Num(size));
}

const char* Word(EPageMark mark)
{
    switch (mark) {
    case EPageMark::Pass: return "pass";
    case EPageMark::Fail: return "fail";
    case EPageMark::NotRun: return "not run";
    case EPageMark::NotChecked: return "not checked";
    case EPageMark::Unexpected: return "reported";
    default: return "";
    }
}

// One note in the column right of the picture and the leader to what it is about: down from
// the thing into the gap below it, along the gap to the column, up or down to the note.
struct CNote {
    EPageMark mark;
    double fromX, fromY; // bottom centre of the thing
    double gapY;         // the free row the leader runs along
    QStringList lines;   // the first is the heading
    double top = 0;
};

// A key's marks: the square outlined, a failed one filled and crossed, the icon on its corner.
QString KeyMark(const CRect& r, EPageMark mark, int nKey)
{
    const QString cls = QLatin1String(MarkClass(mark));
    QString svg = QStringLiteral("<g class=\"%1\">").arg(cls);
    switch (mark) {
    case EPageMark::Fail:
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"currentColor\" "
                              "fill-opacity=\"0.5\" stroke=\"currentColor\" stroke-width=\"3\"/>"
                              "<path d=\"M%1 %2 L%5 %6 M%5 %2 L%1 %6\" stroke=\"currentColor\" stroke-width=\"4\"/>")
                   .arg(r.left)
                   .arg(r.top)
                   .arg(r.Width())
                   .arg(r.Height())
                   .arg(r.right)
                   .arg(r.bottom);
        break;
    default:
        // A pass is outlined whole, anything else with a dashed line.
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" rx=\"3\" fill=\"none\" "
                              "stroke=\"currentColor\" %5/>")
                   .arg(r.left - 3)
                   .arg(r.top - 3)
                   .arg(r.Width() + 6)
                   .arg(r.Height() + 6)
                   .arg(mark == EPageMark::Pass ? QStringLiteral("stroke-width=\"2.5\"")
                                                : QStringLiteral("stroke-width=\"2\" stroke-dasharray=\"4 3\""));
        break;
    }
    svg += Icon(mark, r.right - 8, r.top - 8, 14);
    // The key's number on every marked key, so a note names a square one can find.
    svg +=
        QStringLiteral("<text x=\"%1\" y=\"%2\" class=\"keyno\">%3</text>").arg(r.left + 3).arg(r.bottom - 3).arg(nKey);
    return svg + QStringLiteral("</g>");
}

} // namespace

CRect SelectorReadoutFrame(int nSelector)
{
    const CRect& r = nSelector == 0 ? g_rcSwitch1 : g_rcSwitch2;
    const CPoint centre = nSelector == 0 ? g_ptSwitch1Text : g_ptSwitch2Text;
    return CRect{centre.x - 21, r.top - 2, centre.x + 21, r.top + 20};
}

CMarkPoint SelectorPositionPoint(int nSelector, int nPosition)
{
    const CPoint centre = nSelector == 1 ? g_ptSwitch1Text : g_ptSwitch2Text;
    const double a = SelectorPositionAngle(nPosition) * std::numbers::pi / 180.0;
    return {centre.x + kSelectorNumeralRadius * std::sin(a), kSelectorKnobY - kSelectorNumeralRadius * std::cos(a)};
}

QString PanelFigureSvg(const CPanelMarks& marks)
{
    QString body;
    std::vector<CNote> notes;

    for (int k = 0; k < kKeyCount; ++k) {
        const CPanelMarks::Place& key = marks.keys[static_cast<size_t>(k)];
        const CRect& r = g_rcKeys[static_cast<size_t>(k)];
        const int nColumn = k % 4;
        const double gapY = r.bottom + (k < 8 ? 3.0 : 2.0) + nColumn * 1.5;
        if (key.mark != EPageMark::None)
            body += KeyMark(r, key.mark, k + 1);
        const bool bUnexpected = marks.unexpected.test(static_cast<size_t>(k));
        if (bUnexpected) {
            body +=
                QStringLiteral("<g class=\"unexpected\"><rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" "
                               "fill=\"none\" stroke=\"currentColor\" stroke-width=\"2\" stroke-dasharray=\"1.5 2\"/>")
                    .arg(r.left - 6)
                    .arg(r.top - 6)
                    .arg(r.Width() + 12)
                    .arg(r.Height() + 12)
                + Icon(EPageMark::Unexpected, r.right - 6, r.bottom - 8, 13) + QStringLiteral("</g>");
            if (key.mark == EPageMark::None)
                body += QStringLiteral("<text x=\"%1\" y=\"%2\" class=\"keyno\">%3</text>")
                            .arg(r.left + 3)
                            .arg(r.bottom - 3)
                            .arg(k + 1);
        }
        // Passed and not run keys need no words: the outline and the legend say it, and twelve
        // notes of "not run" would crowd out the ones that matter.
        const bool bNoted = key.mark == EPageMark::Fail || key.mark == EPageMark::NotChecked;
        if (!bNoted && !bUnexpected)
            continue;
        CNote note{bNoted ? key.mark : EPageMark::Unexpected,
                   (r.left + r.right) / 2.0,
                   static_cast<double>(r.bottom),
                   gapY,
                   {}};
        note.lines << QStringLiteral("%1: %2").arg(
            key.strName.isEmpty() ? QStringLiteral("key %1").arg(k + 1) : key.strName,
            QLatin1String(Word(key.mark == EPageMark::None ? EPageMark::Unexpected : key.mark)));
        if (bNoted)
            for (const QString& part : key.strNote.split(QStringLiteral("; "), Qt::SkipEmptyParts))
                note.lines << part;
        if (bUnexpected)
            note.lines << QStringLiteral("reported during %1")
                              .arg(marks.unexpectedDuring[static_cast<size_t>(k)].join(QStringLiteral(", ")));
        notes.push_back(note);
    }

    for (int s = 0; s < 2; ++s) {
        const CPanelMarks::Place& sel = marks.selectors[static_cast<size_t>(s)];
        if (sel.mark == EPageMark::None)
            continue;
        const CPoint centre = s == 0 ? g_ptSwitch1Text : g_ptSwitch2Text;
        const CRect window = SelectorReadoutFrame(s);
        body += QStringLiteral("<g class=\"%1\"><rect x=\"%2\" y=\"%3\" width=\"42\" height=\"22\" rx=\"2\" "
                               "fill=\"none\" stroke=\"currentColor\" stroke-width=\"2.5\"%4/>")
                    .arg(QLatin1String(MarkClass(sel.mark)))
                    .arg(window.left)
                    .arg(window.top)
                    .arg(sel.mark == EPageMark::Pass || sel.mark == EPageMark::Fail
                             ? QString()
                             : QStringLiteral(" stroke-dasharray=\"4 3\""))
                + Icon(sel.mark, window.right - 7, window.top - 8, 13);
        for (const int p : marks.missing[static_cast<size_t>(s)]) {
            const CMarkPoint at = SelectorPositionPoint(s + 1, p);
            body += QStringLiteral("<circle cx=\"%1\" cy=\"%2\" r=\"6\" fill=\"currentColor\" fill-opacity=\"0.35\" "
                                   "stroke=\"currentColor\" stroke-width=\"2\"/>")
                        .arg(Num(at.x), Num(at.y));
        }
        body += QStringLiteral("</g>");
        if (sel.mark == EPageMark::Pass || sel.mark == EPageMark::NotRun)
            continue;
        CNote note{sel.mark, static_cast<double>(centre.x), static_cast<double>(window.top), 378.5 + s * 1.5, {}};
        note.lines << QStringLiteral("%1: %2").arg(sel.strName, QLatin1String(Word(sel.mark)));
        for (const QString& part : sel.strNote.split(QStringLiteral("; "), Qt::SkipEmptyParts))
            note.lines << part;
        notes.push_back(note);
    }

    // The LCD carries its own answer and the lamps' three, as a display would.
    const auto lcdLine = [&body](int nRow, const CPanelMarks::Place& place, const QString& label) {
        const double y = g_rcLcd.top + 10 + nRow * 19;
        if (place.mark == EPageMark::None) {
            body += QStringLiteral("<text x=\"%1\" y=\"%2\" class=\"lcd\">%3: not in the report</text>")
                        .arg(g_rcLcd.left + 8)
                        .arg(Num(y + 11), HtmlText(label));
            return;
        }
        body += Icon(place.mark, g_rcLcd.left + 8, y, 14);
        body +=
            QStringLiteral("<text x=\"%1\" y=\"%2\" class=\"lcd\"><tspan font-weight=\"bold\">%3: %4</tspan>"
                           "<tspan x=\"%1\" dy=\"9\" class=\"lcdnote\">%5</tspan></text>")
                .arg(g_rcLcd.left + 26)
                .arg(Num(y + 7), HtmlText(label), QLatin1String(Word(place.mark)), HtmlText(Fit(place.strNote, 36)));
    };
    lcdLine(0, marks.lcd, QStringLiteral("LCD"));
    lcdLine(2, marks.lamps[0], QStringLiteral("lamps on"));
    lcdLine(3, marks.lamps[1], QStringLiteral("lamps flashing"));
    lcdLine(4, marks.lamps[2], QStringLiteral("lamps off"));
    body += QStringLiteral("<text x=\"%1\" y=\"%2\" class=\"lcdhead\">all twelve LEDs:</text>")
                .arg(g_rcLcd.left + 8)
                .arg(g_rcLcd.top + 10 + 19 + 12);

    // The notes, in the order of what they are about from top to bottom, none over another.
    std::stable_sort(notes.begin(), notes.end(), [](const CNote& a, const CNote& b) { return a.gapY < b.gapY; });
    double nextTop = 8;
    double height = kPictureHeight;
    for (CNote& note : notes) {
        const double h = note.lines.size() * kNoteLine;
        note.top = std::max(nextTop, note.gapY - h / 2);
        nextTop = note.top + h + 5;
        height = std::max(height, nextTop);
        const QString cls = QLatin1String(MarkClass(note.mark));
        const double textY = note.top + 10;
        body += QStringLiteral("<g class=\"%1\"><polyline points=\"%2,%3 %2,%4 %5,%4 %6,%7\" fill=\"none\" "
                               "stroke=\"currentColor\" stroke-width=\"1.3\"/>")
                    .arg(cls, Num(note.fromX), Num(note.fromY), Num(note.gapY), Num(kFigureNotesLeft - 8),
                         Num(kFigureNotesLeft - 1), Num(textY - 4));
        body += Icon(note.mark, kFigureNotesLeft, note.top, 12);
        body += QStringLiteral("<text x=\"%1\" y=\"%2\" class=\"note\"><tspan font-weight=\"bold\">%3</tspan>")
                    .arg(kFigureNotesLeft + 16)
                    .arg(Num(textY), HtmlText(Fit(note.lines.first(), 38)));
        for (qsizetype i = 1; i < note.lines.size(); ++i)
            body += QStringLiteral("<tspan x=\"%1\" dy=\"%2\">%3</tspan>")
                        .arg(kFigureNotesLeft + 16)
                        .arg(kNoteLine)
                        .arg(HtmlText(Fit(note.lines[i], 40)));
        body += QStringLiteral("</text></g>");
    }

    const int nHeight = static_cast<int>(std::ceil(height));
    return QStringLiteral("<svg class=\"panel\" width=\"%1\" height=\"%2\" "
                          "viewBox=\"0 0 %1 %2\" role=\"img\" aria-label=\"The panel with each item's result\">"
                          "<style>.keyno{font:bold 10px sans-serif;fill:#fff;paint-order:stroke;stroke:#000;"
                          "stroke-width:2.5px}.note{font:10.5px sans-serif;fill:#111}"
                          ".lcd{font:10px sans-serif;fill:#111}.lcdnote{font-size:8.5px}"
                          ".lcdhead{font:italic 9px sans-serif;fill:#333}</style>"
                          "<image href=\"%3\" x=\"%4\" y=\"%5\" width=\"%6\" height=\"%7\"/>")
               .arg(kFigureWidth)
               .arg(nHeight)
               .arg(PanelPictureUri())
               .arg(kPictureLeft)
               .arg(kPictureTop)
               .arg(kPictureWidth)
               .arg(kPictureHeight)
           + body + QStringLiteral("</svg>");
}
