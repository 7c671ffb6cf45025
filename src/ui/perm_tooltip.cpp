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
    if (pEvent->type() != QEvent::ToolTip)
        return false;
    // While a test runs its figures, and once one has ended where its report went: a tester
    // who stopped the test still wants to find the file.
    const QString figures = m_model.PermRunFigures();
    if (figures.isEmpty())
        return false;
    const auto* pHelp = static_cast<QHelpEvent*>(pEvent);
    if (!g_rcLcd.HitsStrictly(pHelp->pos().x(), pHelp->pos().y())) {
        QToolTip::hideText();
        return false;
    }
    QToolTip::showText(pHelp->globalPos(), figures, static_cast<QWidget*>(pWatched));
    return true;
}
