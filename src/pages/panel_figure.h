#pragma once

#include "check_view.h"
#include "geometry.h"

#include <QByteArray>
#include <QString>

// The panel's own picture with a check's results drawn where they belong: each key's square
// marked pass, fail, not run or not checked, keys reported when they should not have been,
// the selectors' positions never reported on their scales, the LCD's and the lamps' answers.
// Coordinates are the window's client pixels of geometry.h, so the marks lie exactly over the
// keys the window shows.

// Width of the figure: the picture and, right of it, the column of notes beside the marks.
inline constexpr int kFigureWidth = 600;
inline constexpr int kFigureNotesLeft = 352;

// As inline SVG for the page: the picture as a data URI, the marks as shapes, the notes as
// text (drawn by the browser, so the program needs no fonts).
QString PanelFigureSvg(const CPanelMarks& marks);

// As a PNG of the picture alone with the marks as shapes and no text (a CI's attachment);
// drawn on an image in memory, without a display, a window system or fonts.
QByteArray PanelFigurePng(const CPanelMarks& marks);

// Where mark shapes go: a key's square, a selector's position on its scale (centre).
struct CMarkPoint {
    double x;
    double y;
};
CMarkPoint SelectorPositionPoint(int nSelector, int nPosition);
// The frame drawn round selector nSelector's readout (0 or 1), where its mark goes.
CRect SelectorReadoutFrame(int nSelector);
