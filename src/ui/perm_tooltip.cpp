#include "perm_tooltip.h"

#include "panel_model.h"

#include <QHelpEvent>
#include <QToolTip>
#include <QWidget>

CPermToolTip::CPermToolTip(const CPanelModel& model, QWidget* pCanvas) : QObject(pCanvas), m_model(model)
{
    pCanvas->installEventFilter(this);
}

bool CPermToolTip::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    if (pEvent->type() != QEvent::ToolTip || m_model.PermRun() == nullptr)
        return false;
    const auto* pHelp = static_cast<QHelpEvent*>(pEvent);
    if (!g_rcLcd.HitsStrictly(pHelp->pos().x(), pHelp->pos().y())) {
        QToolTip::hideText();
        return false;
    }
    QToolTip::showText(pHelp->globalPos(), m_model.PermRunFigures(), static_cast<QWidget*>(pWatched));
    return true;
}
