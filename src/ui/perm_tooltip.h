#pragma once

#include <QObject>

class CPanelModel;
class QWidget;

// The running figures of a permanence test as the LCD mirror's tooltip: the mirror shows the
// fixed notice while a test runs, so the figures go where they change no pixel of the panel.
// After a run it names where the report went. Outside the LCD, and before the first run, the
// canvas gets its tooltip events as before.
class CPermToolTip final : public QObject {
public:
    CPermToolTip(const CPanelModel& model, QWidget* pCanvas);

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    const CPanelModel& m_model;
};
