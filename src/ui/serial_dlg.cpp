#include "serial_dlg.h"

#include "dialog_buttons.h"
#include "port_discovery.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QRadioButton>
#include <QVBoxLayout>

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

QGroupBox* MakeGroup(QWidget* pParent, const QString& title, QButtonGroup* pGroup, const QStringList& texts)
{
    auto* pBox = new QGroupBox(title, pParent);
    auto* pLayout = new QVBoxLayout(pBox);
    for (int i = 0; i < texts.size(); ++i) {
        auto* pButton = new QRadioButton(texts[i], pBox);
        pGroup->addButton(pButton, i);
        pLayout->addWidget(pButton);
    }
    // The third member exists for the exchange only: hidden, it takes no click and no focus.
    pGroup->button(2)->setVisible(false);
    return pBox;
}

} // namespace

CSerialDlg::CSerialDlg(QWidget* pParent)
    : QDialog(pParent), m_pPortGroup(new QButtonGroup(this)), m_pBaudGroup(new QButtonGroup(this))
{
    setWindowTitle(QStringLiteral("Serial Communication"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);

    auto* pPortBox = MakeGroup(this, QStringLiteral("Serial Port "), m_pPortGroup,
                               {QStringLiteral("COM &1"), QStringLiteral("COM &2"), QStringLiteral("&Autodetect")});
    auto* pBaudBox = MakeGroup(this, QStringLiteral("Baudrate "), m_pBaudGroup,
                               {QStringLiteral("9600"), QStringLiteral("19200"), QStringLiteral("Autodetect")});

    // Which device each port name stands for on this machine, what it is and who chose it.
    for (int port = 0; port < 2; ++port)
        m_pPortGroup->button(port)->setToolTip(PortToolTip(port + 1));

    // OK and Cancel one above the other beside the baud rates, OK the default for Enter.
    QDialogButtonBox* pButtons = MakeOkCancelButtons(this);

    auto* pLayout = new QGridLayout(this);
    pLayout->addWidget(pPortBox, 0, 0);
    pLayout->addWidget(pBaudBox, 1, 0);
    pLayout->addWidget(pButtons, 1, 1, Qt::AlignTop);
    pLayout->setSizeConstraint(QLayout::SetFixedSize);
}

void CSerialDlg::DoDataExchange(bool bSave)
{
    ExchangeRadio(m_pBaudGroup, m_nBaudChoice, bSave);
    ExchangeRadio(m_pPortGroup, m_nPortChoice, bSave);
}

int CSerialDlg::DoModal()
{
    DoDataExchange(false);
    const int result = exec();
    if (result == QDialog::Accepted)
        DoDataExchange(true);
    return result;
}
