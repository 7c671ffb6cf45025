#pragma once

#include "geometry.h"

#include <QColor>
#include <QFont>
#include <QImage>

class CPanelModel;
class QPainter;

// Colours of the overlay.
inline constexpr QRgb kLedOffColor = qRgb(128, 128, 128);
inline constexpr QRgb kLedOnColor = qRgb(241, 241, 0);
inline constexpr QRgb kMarkerColor = qRgb(255, 0, 0);

// The client area of the main window: its template's 232 x 311 dialog units, 348 x 505 pixels.
inline constexpr int kClientWidth = DluToPixelsX(232);
inline constexpr int kClientHeight = DluToPixelsY(311);

// The panel picture from the program's resources (a blank housing-grey image if it is missing).
const QImage& PanelPicture();

// The colour of the picture's edge, for the client area around it.
QColor PictureBackground();

// A fixed-pitch bold font with 9 x 15 pixel cells for the LCD mirror.
QFont LcdFont();

// Draws the picture and the mirrored state over it: LED fills, key markers, LCD rows, selector
// numbers, and the status line when bShowStatus is set. Every call draws everything, so the
// result never depends on what was drawn before.
void DrawPanel(QPainter& painter, const CPanelModel& model, const QFont& uiFont, bool bShowStatus);
