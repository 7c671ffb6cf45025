#pragma once

// Shared by the parts of make_art: where things lie in the picture, and the steps from drawing
// to files.

#include "geometry.h"

#include <QByteArray>
#include <QImage>
#include <QRectF>
#include <QString>

#include <array>
#include <vector>

namespace art {

// The selector numbers' anchors, by selector index.
inline constexpr std::array<CPoint, 2> kSwitchText{{g_ptSwitch1Text, g_ptSwitch2Text}};
// Width of one LCD character cell in the mirror: 9 pixels of glyph and 1 of extra spacing.
inline constexpr int kLcdCellW = 10;
// The status line must stay readable: keep this client band clear of the dark housing.
inline constexpr CRect kStatusBand{5, 478, 231, 497};

// A client rectangle in picture pixels.
inline QRectF pic(const CRect& c)
{
    return QRectF(c.left - kPictureLeft, c.top, c.Width(), c.Height());
}

inline double picX(int clientX)
{
    return clientX - kPictureLeft;
}

// panel_picture.cpp: the panel in full colour, kPictureWidth x kPictureHeight.
QImage renderPanel();

// quantise.cpp: an adaptive palette for an 8-bit picture, and the picture mapped onto it.
std::vector<QRgb> medianCutPalette(const QImage& img, int size, const std::vector<QRgb>& fixed);
QImage toIndexed(const QImage& rgb, const std::vector<QRgb>& palette);

// files.cpp
[[noreturn]] void fail(const QString& what);
bool writeFile(const QString& path, const QByteArray& data);
QByteArray encodeBmp8(const QImage& img);
QByteArray encodePng(const QImage& img);
void verifyPanelBmp(const QString& path, const QImage& expected);
void verifyIcon(const QString& path, int size);

// icons.cpp
QImage icon32();
QImage icon16();
QImage iconLarge(int size);

// views.cpp: the 8-bit picture as the program loads it, and two views for checking it by eye.
QImage quantisedPanel();
QImage debugView();
QImage previewView();

} // namespace art
