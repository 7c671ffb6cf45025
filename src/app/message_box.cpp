#include "message_box.h"

#include "caption_bar.h"
#include "string_table.h"

#include <QAbstractButton>
#include <QMessageBox>

int AfxMessageBox(QWidget* pOwner, int nStringId, int nStyle, const QString& strDetail)
{
    // A box is placed over its owner. The start-up boxes come while the main window is still
    // hidden at its unplaced position, so they go without an owner and centre on the screen.
    QWidget* pParent = pOwner != nullptr && pOwner->isVisible() ? pOwner : nullptr;
    QMessageBox box(QMessageBox::Warning, QStringLiteral("KOVA_EN"), LoadString(nStringId),
                    nStyle == MB_YESNO ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok, pParent);
    box.setTextFormat(Qt::PlainText);
    if (!strDetail.isEmpty())
        box.setDetailedText(strDetail);
    // Plain buttons, as in the program's dialogs, whatever icons the platform theme gives them.
    for (QAbstractButton* pButton : box.buttons())
        pButton->setIcon(QIcon());
    AddCaptionWherePlatformNeedsIt(&box);
    switch (box.exec()) {
    case QMessageBox::Yes: return IDYES;
    case QMessageBox::No: return IDNO;
    case QMessageBox::Ok: return IDOK;
    default: return nStyle == MB_YESNO ? IDNO : IDOK;
    }
}
