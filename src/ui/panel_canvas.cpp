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
    // The margin beside the picture takes the picture's own housing colour, so no seam shows.
    painter.fillRect(rect(), PictureBackground());
    DrawPanel(painter, m_model, font(), !m_model.m_link.m_bOpen);
    if (onPaintLink)
        onPaintLink();
}

void CPanelCanvas::mousePressEvent(QMouseEvent* pEvent)
{
    if (onMousePress)
        onMousePress(pEvent->button(), pEvent->position().toPoint());
}

void CPanelCanvas::mouseDoubleClickEvent(QMouseEvent* pEvent)
{
    pEvent->accept();
}
