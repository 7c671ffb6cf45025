#pragma once

#include <QWidget>

#include <functional>

class CPanelModel;

// The main window's client area: the panel picture with the mirrored state drawn over it.
// Clicks are handed on in client coordinates.
class CPanelCanvas : public QWidget {
    Q_OBJECT
public:
    CPanelCanvas(const CPanelModel& model, QWidget* pParent = nullptr);

    std::function<void(Qt::MouseButton, QPoint)> onMousePress;
    // Called at the end of every paint for the link part (remembering an open link, announcing
    // a lost one), which the window runs outside the paint.
    std::function<void()> onPaintLink;

protected:
    void paintEvent(QPaintEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;
    // The second press of a double-click is no click: it toggles nothing, sends nothing and
    // opens nothing (Qt's default would hand it to mousePressEvent).
    void mouseDoubleClickEvent(QMouseEvent* pEvent) override;

private:
    const CPanelModel& m_model;
};
