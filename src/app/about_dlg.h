#pragma once

#include "dialog.h"

// "About KOVA_EN": program name, version, date and the maker's address.
class CAboutDlg : public CDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* pParent = nullptr);
};
