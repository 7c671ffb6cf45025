#pragma once

#include "dialog.h"
#include "geometry.h"

#include <QString>
#include <QValidator>

#include <array>

class QLineEdit;

// Holds an edit field to what an LCD row can show: characters of the panel's code page only,
// any other one (typed or pasted) turned into '?', and at most 15 of them. Typed or pasted
// text is taken only as far as it fits; the text already in the field is never pushed out.
class CRowValidator : public QValidator {
    Q_OBJECT
public:
    using QValidator::QValidator;
    State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
};

// "Text Input": the eight LCD rows.
class CTextInputDlg : public CDialog {
    Q_OBJECT
public:
    explicit CTextInputDlg(QWidget* pParent = nullptr);

    std::array<QString, kLcdRows> m_strEdit;

    void DoDataExchange(bool bSave) override;

    QLineEdit* Edit(int nRow) const { return m_pEdits[nRow]; }

private:
    std::array<QLineEdit*, 8> m_pEdits{};
};
