#include "serial_dlg.h"

#include "port_discovery.h"

#include <QButtonGroup>
#include <QGroupBox>
#include <QRadioButton>

namespace {

void ExchangeRadio(QButtonGroup* pGroup, int& nValue, bool bSave)
{
    if (bSave) {
        nValue = pGroup->checkedId();
        return;
    }
    // An exclusive group refuses to uncheck its last button, so it is let go for a moment.
    pGroup->setExclusive(false);
    for (QAbstractButton* pButton : pGroup->buttons())
        pButton->setChecked(pGroup->id(pButton) == nValue);
    pGroup->setExclusive(true);
}

} // namespace

CSerialDlg::CSerialDlg(QWidget* pParent, const CPortSetup& ports)
    : CDialog(188, 103, pParent), m_pPortGroup(new QButtonGroup(this)), m_pBaudGroup(new QButtonGroup(this))
{
    setWindowTitle(QStringLiteral("Serial Communication"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);

    // The group boxes frame the buttons from behind: made first, they lie under them and
    // never take their clicks.
    Place(new QGroupBox(QStringLiteral("Serial Port "), this), 14, 6, 106, 44);
    Place(new QGroupBox(QStringLiteral("Baudrate "), this), 14, 54, 106, 44);

    struct Radio {
        const char* pszText;
        int y, cx;
    };
    const auto addGroup = [this](QButtonGroup* pGroup, std::initializer_list<Radio> radios) {
        int id = 0;
        for (const Radio& radio : radios)
            pGroup->addButton(
                Place(new QRadioButton(QString::fromLatin1(radio.pszText), this), 24, radio.y, radio.cx, 10), id++);
        // The third member exists for the exchange only: hidden, it takes no click and no focus.
        pGroup->button(2)->setVisible(false);
    };
    addGroup(m_pPortGroup, {{"COM &1", 18, 38}, {"COM &2", 28, 38}, {"&Autodetect", 38, 88}});
    addGroup(m_pBaudGroup, {{"9600", 66, 32}, {"19200", 76, 36}, {"Autodetect", 86, 88}});

    // Which device each port name stands for on this machine, what it is and who chose it.
    for (int port = 0; port < 2; ++port)
        m_pPortGroup->button(port)->setToolTip(PortToolTip(port + 1, ports));

    AddOkButton(128, 60, 50, 14);
    AddCancelButton(128, 77, 50, 14);
}

void CSerialDlg::DoDataExchange(bool bSave)
{
    ExchangeRadio(m_pBaudGroup, m_nBaudChoice, bSave);
    ExchangeRadio(m_pPortGroup, m_nPortChoice, bSave);
}
