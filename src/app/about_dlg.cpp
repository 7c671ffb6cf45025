#include "about_dlg.h"

#include "panel_app.h"

#include "kova_version.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget* pParent) : QDialog(pParent)
{
    setWindowTitle(QStringLiteral("About KOVA_EN"));
    auto* pLayout = new QGridLayout(this);

    auto* pIcon = new QLabel(this);
    pIcon->setPixmap(AppIcon().pixmap(32, 32));
    pLayout->addWidget(pIcon, 0, 0, 3, 1, Qt::AlignTop);

    auto* pName = new QLabel(QStringLiteral(KOVA_VERSION_TEXT), this);
    pName->setTextFormat(Qt::PlainText);
    pLayout->addWidget(pName, 0, 1);
    pLayout->addWidget(new QLabel(QStringLiteral("16. September 1999"), this), 1, 1);

    // The maker named in the main window's caption; street, town and web address are invented
    // (the postcode and the .example domain cannot belong to anybody).
    auto* pMaker = new QLabel(QStringLiteral("TARVEST GMBH + CO.\n"
                                             "Werkstra\u00dfe 12\n"
                                             "D-99999 Beispielstadt\n"
                                             "www.tarvest.example"),
                              this);
    pMaker->setTextFormat(Qt::PlainText);
    pLayout->addWidget(pMaker, 2, 1);

    auto* pOk = new QPushButton(QStringLiteral("OK"), this);
    pOk->setDefault(true);
    connect(pOk, &QPushButton::clicked, this, &QDialog::accept);
    pLayout->addWidget(pOk, 0, 2, Qt::AlignTop);
    pLayout->setSizeConstraint(QLayout::SetFixedSize);
}
