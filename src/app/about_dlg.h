#pragma once

#include <QDialog>

// "About KOVA_EN": program name, version, date and the maker's address.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* pParent = nullptr);
    int DoModal() { return exec(); }
};
