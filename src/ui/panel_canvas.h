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
    // Called when a paint finds the link lost since the last check, so that the window can
    // announce it outside the paint.
    std::function<void()> onLinkLostSeen;

protected:
    void paintEvent(QPaintEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;

private:
    const CPanelModel& m_model;
};
