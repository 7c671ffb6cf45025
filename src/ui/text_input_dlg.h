#pragma once

#include "geometry.h"

#include <QDialog>
#include <QString>
#include <QValidator>

#include <array>

class QLineEdit;

// Holds an edit field to at most 15 characters (Unicode code points, so an emoji or an
// accented letter counts once). Typed or pasted text is taken only as far as it fits; the text
// already in the field is never pushed out.
class CRowValidator : public QValidator {
    Q_OBJECT
public:
    using QValidator::QValidator;
    State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
};

// "Text Input": the eight LCD rows.
class CTextInputDlg : public QDialog {
    Q_OBJECT
public:
    explicit CTextInputDlg(QWidget* pParent = nullptr);

    std::array<QString, kLcdRows> m_strEdit;

    int DoModal();
    void DoDataExchange(bool bSave);

    QLineEdit* Edit(int nRow) const { return m_pEdits[nRow]; }

private:
    std::array<QLineEdit*, 8> m_pEdits{};
};
