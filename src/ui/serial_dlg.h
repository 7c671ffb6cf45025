#pragma once

#include "dialog.h"
#include "port_config.h"

class QButtonGroup;
class QRadioButton;

// "Serial Communication": port and baud rate. Each radio group has a hidden third member
// ("Autodetect") that nothing can check; a choice of -1 leaves a group unchecked.
class CSerialDlg : public CDialog {
    Q_OBJECT
public:
    // ports: the program's port setup, which the tooltips of "COM 1" and "COM 2" explain.
    explicit CSerialDlg(QWidget* pParent = nullptr, const CPortSetup& ports = CPortSetup());

    int m_nBaudChoice = -1;
    int m_nPortChoice = -1;

    // Moves the choices into the buttons (bSave false) or the buttons into the choices.
    void DoDataExchange(bool bSave) override;

    QButtonGroup* PortGroup() const { return m_pPortGroup; }
    QButtonGroup* BaudGroup() const { return m_pBaudGroup; }

private:
    QButtonGroup* m_pPortGroup;
    QButtonGroup* m_pBaudGroup;
};
