#include "text_input_dlg.h"

#include "dialog_buttons.h"
#include "telegrams.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

QValidator::State CRowValidator::validate(QString& input, int& pos) const
{
    int excess = RowLength(input) - kRowMaxChars;
    if (excess <= 0)
        return Acceptable;
    // What was just typed or pasted ends at the cursor. The overflow is dropped from there,
    // so a full field takes nothing more and the text already in it stays whole; cutting at
    // the end instead would silently delete the user's last characters.
    const int end = qBound(0, pos, static_cast<int>(input.size()));
    int start = end;
    while (excess > 0 && start > 0) {
        --start;
        if (start > 0 && input[start].isLowSurrogate() && input[start - 1].isHighSurrogate())
            --start; // never split a surrogate pair
        --excess;
    }
    input.remove(start, end - start);
    pos = start;
    if (excess > 0) {
        input = ClampRow(input);
        pos = qMin(pos, static_cast<int>(input.size()));
    }
    return Acceptable;
}

void CRowValidator::fixup(QString& input) const
{
    input = ClampRow(input);
}

CTextInputDlg::CTextInputDlg(QWidget* pParent) : QDialog(pParent)
{
    setWindowTitle(QStringLiteral("Text Input"));
    auto* pLayout = new QGridLayout(this);
    auto* pValidator = new CRowValidator(this);
    for (int i = 0; i < 8; ++i) {
        auto* pLabel = new QLabel(QStringLiteral("Row %1:").arg(i + 1), this);
        m_pEdits[i] = new QLineEdit(this);
        m_pEdits[i]->setObjectName(QStringLiteral("row%1").arg(i + 1));
        m_pEdits[i]->setValidator(pValidator);
        // Wide enough for 15 characters; the field's own limit is the validator.
        m_pEdits[i]->setMinimumWidth(m_pEdits[i]->fontMetrics().horizontalAdvance(QLatin1Char('W')) * 16);
        pLayout->addWidget(pLabel, i, 0);
        pLayout->addWidget(m_pEdits[i], i, 1);
    }
    QDialogButtonBox* pButtons = MakeOkCancelButtons(this);
    pLayout->addWidget(pButtons, 5, 2, 2, 1, Qt::AlignTop);
    pLayout->setSizeConstraint(QLayout::SetFixedSize);
}

void CTextInputDlg::DoDataExchange(bool bSave)
{
    for (int i = 0; i < 8; ++i) {
        if (bSave)
            m_strEdit[i] = ClampRow(m_pEdits[i]->text());
        else
            m_pEdits[i]->setText(ClampRow(m_strEdit[i]));
    }
}

int CTextInputDlg::DoModal()
{
    DoDataExchange(false);
    const int result = exec();
    if (result == QDialog::Accepted)
        DoDataExchange(true);
    return result;
}
