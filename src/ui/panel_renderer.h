#pragma once

#include "geometry.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QRegion>
#include <QString>

#include <array>

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

// What DrawPanel puts over the picture, reduced to the values it is drawn from: two paints of
// equal frames give equal pixels.
struct CPanelFrame {
    std::array<bool, kKeyCount> bLit{};    // LED fill, with the flashing phase applied
    std::array<bool, kKeyCount> bMarked{}; // key-pressed marker
    std::array<QString, kLcdRows> strRow;
    int nSwitch1 = 0;
    int nSwitch2 = 0;
    QString strStatus; // empty while no status line is drawn
    bool operator==(const CPanelFrame&) const = default;
};

CPanelFrame PanelFrame(const CPanelModel& model, bool bShowStatus);

// The client area whose pixels may differ between a paint of one frame and a paint of the
// other: each changed element's rectangle, around both its old and its new form.
QRegion ChangedRegion(const CPanelFrame& before, const CPanelFrame& after, const QFont& uiFont);
