#include "text_input_dlg.h"

#include "telegrams.h"

#include <QLabel>
#include <QLineEdit>

QValidator::State CRowValidator::validate(QString& input, int& pos) const
{
    // What the LCD cannot show becomes '?' before anything is counted, as the code page's own
    // conversion would make it on the way to the panel; the panel then shows what the mirror
    // shows.
    input = LcdCodePageText(input, &pos);
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
    input = ClampRow(LcdCodePageText(input));
}

CTextInputDlg::CTextInputDlg(QWidget* pParent) : CDialog(186, 119, pParent)
{
    setWindowTitle(QStringLiteral("Text Input"));
    auto* pValidator = new CRowValidator(this);
    for (int k = 0; k < 8; ++k) {
        Place(new QLabel(QStringLiteral("Row %1:").arg(k + 1), this), 10, 10 + 13 * k, 24, 8);
        m_pEdits[k] = Place(new QLineEdit(this), 44, 6 + 13 * k, 74, 14);
        m_pEdits[k]->setObjectName(QStringLiteral("row%1").arg(k + 1));
        m_pEdits[k]->setValidator(pValidator);
    }
    AddOkButton(130, 80, 50, 14);
    AddCancelButton(130, 97, 50, 14);
}

void CTextInputDlg::DoDataExchange(bool bSave)
{
    for (int i = 0; i < 8; ++i) {
        if (bSave)
            m_strEdit[i] = ClampRow(LcdCodePageText(m_pEdits[i]->text()));
        else
            m_pEdits[i]->setText(ClampRow(LcdCodePageText(m_strEdit[i])));
    }
}
