#pragma once

#include "panel_renderer.h"

#include <QRegion>
#include <QWidget>

#include <functional>

class CPanelModel;

// The main window's client area: the panel picture with the mirrored state drawn over it.
// Clicks are handed on in client coordinates.
//
// It remembers the state its pixels were last drawn from, so that a refresh after the model
// changed repaints only the elements that look different (an idle tick repaints nothing).
// Every paint still draws the complete picture and overlay, clipped to the area being
// painted, so the pixels never depend on which parts were painted when.
class CPanelCanvas : public QWidget {
    Q_OBJECT
public:
    CPanelCanvas(const CPanelModel& model, QWidget* pParent = nullptr);

    // Marks part of the client area for painting; it is painted at the next PaintInvalid or
    // Refresh at the latest.
    void Invalidate(const QRect& rc);
    // Paints the marked area now, as a paint request would.
    void PaintInvalid();
    // Paints now what looks different from the last paint, and the marked area; nothing when
    // both are empty. The link hook is left to the caller, which runs the link part itself.
    void Refresh();
    // The area Refresh would paint.
    QRegion DirtyRegion() const;

    std::function<void(Qt::MouseButton, QPoint)> onMousePress;
    // Called after every paint that the window system or PaintInvalid asked for, for the
    // link part (remembering an open link, announcing a lost one), which the window runs
    // outside the paint.
    std::function<void()> onPaintLink;

protected:
    void paintEvent(QPaintEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;
    // The second press of a double-click is no click: it toggles nothing, sends nothing and
    // opens nothing (Qt's default would hand it to mousePressEvent).
    void mouseDoubleClickEvent(QMouseEvent* pEvent) override;

private:
    CPanelFrame CurrentFrame() const;

    const CPanelModel& m_model;
    CPanelFrame m_drawn; // the state the pixels on the screen show
    QRegion m_invalid;
    bool m_bRefreshing = false;
};
