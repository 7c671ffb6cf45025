#include "dialog_buttons.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QPushButton>

QDialogButtonBox* MakeOkCancelButtons(QDialog* pDialog)
{
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, Qt::Vertical, pDialog);
    // Texts are the program's own and the buttons plain, whatever the platform theme would
    // call or decorate them.
    for (auto which : {QDialogButtonBox::Ok, QDialogButtonBox::Cancel}) {
        QPushButton* pButton = pButtons->button(which);
        pButton->setText(which == QDialogButtonBox::Ok ? QStringLiteral("OK") : QStringLiteral("Cancel"));
        pButton->setIcon(QIcon());
    }
    pButtons->button(QDialogButtonBox::Ok)->setDefault(true);
    QObject::connect(pButtons, &QDialogButtonBox::accepted, pDialog, &QDialog::accept);
    QObject::connect(pButtons, &QDialogButtonBox::rejected, pDialog, &QDialog::reject);
    return pButtons;
}
