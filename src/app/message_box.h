#pragma once

#include <QString>

class QWidget;

// Buttons and answers of the program's message boxes.
enum MessageBoxStyle { MB_OK = 0, MB_YESNO = 4 };
enum MessageBoxAnswer { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

// A modal message box with a string-table text, the caption "KOVA_EN" and the exclamation
// icon, owned by pOwner. Returns the button pressed.
int AfxMessageBox(QWidget* pOwner, int nStringId, int nStyle, const QString& strDetail = QString());
