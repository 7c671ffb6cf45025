#include "panel_canvas.h"

#include "panel_model.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

CPanelCanvas::CPanelCanvas(const CPanelModel& model, QWidget* pParent) : QWidget(pParent), m_model(model)
{
    setFixedSize(kClientWidth, kClientHeight);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

CPanelFrame CPanelCanvas::CurrentFrame() const
{
    return PanelFrame(m_model, !m_model.m_link.m_bOpen);
}

QRegion CPanelCanvas::DirtyRegion() const
{
    return ChangedRegion(m_drawn, CurrentFrame(), font()) + m_invalid;
}

void CPanelCanvas::Invalidate(const QRect& rc)
{
    m_invalid += rc.intersected(rect());
}

void CPanelCanvas::PaintInvalid()
{
    if (!m_invalid.isEmpty() && isVisible())
        repaint(m_invalid);
}

void CPanelCanvas::Refresh()
{
    const QRegion dirty = DirtyRegion();
    if (dirty.isEmpty() || !isVisible())
        return;
    m_bRefreshing = true;
    repaint(dirty);
    m_bRefreshing = false;
}

void CPanelCanvas::paintEvent(QPaintEvent* pEvent)
{
    const CPanelFrame frame = CurrentFrame();
    {
        QPainter painter(this);
        // The margin beside the picture takes the picture's own housing colour, so no seam shows.
        painter.fillRect(rect(), PictureBackground());
        DrawPanel(painter, m_model, font(), !m_model.m_link.m_bOpen);
    }
    // Outside this paint the pixels still show the frame drawn before; where that differs from
    // the frame just drawn, they are painted next.
    const QRegion stale = ChangedRegion(m_drawn, frame, font()) - pEvent->region();
    m_drawn = frame;
    m_invalid -= pEvent->region();
    if (!stale.isEmpty()) {
        m_invalid += stale;
        update(stale);
    }
    if (!m_bRefreshing && onPaintLink)
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
