#include "panel_canvas.h"

#include "panel_model.h"
#include "panel_renderer.h"

#include <QMouseEvent>
#include <QPainter>

CPanelCanvas::CPanelCanvas(const CPanelModel& model, QWidget* pParent) : QWidget(pParent), m_model(model)
{
    setFixedSize(kClientWidth, kClientHeight);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CPanelCanvas::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    const bool bClosed = !m_model.m_link.m_bOpen;
    DrawPanel(painter, m_model, font(), bClosed);
    if (bClosed && m_model.g_bWasConnected && onLinkLostSeen)
        onLinkLostSeen();
}

void CPanelCanvas::mousePressEvent(QMouseEvent* pEvent)
{
    if (onMousePress)
        onMousePress(pEvent->button(), pEvent->position().toPoint());
}
