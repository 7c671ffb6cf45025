#include "about_dlg.h"

#include "panel_app.h"

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

    auto* pName = new QLabel(QStringLiteral("KOVA_EN, Version 3.0"), this);
    pName->setTextFormat(Qt::PlainText);
    pLayout->addWidget(pName, 0, 1);
    pLayout->addWidget(new QLabel(QStringLiteral("16. September 1999"), this), 1, 1);

    // A made-up maker: the program names no real company.
    auto* pMaker = new QLabel(QStringLiteral("Beispielwerk Paneltechnik GmbH\n"
                                             "Musterstra\u00dfe 1\n"
                                             "D-99999 Musterstadt\n"
                                             "www.example.com"),
                              this);
    pMaker->setTextFormat(Qt::PlainText);
    pLayout->addWidget(pMaker, 2, 1);

    auto* pOk = new QPushButton(QStringLiteral("OK"), this);
    pOk->setDefault(true);
    connect(pOk, &QPushButton::clicked, this, &QDialog::accept);
    pLayout->addWidget(pOk, 0, 2, Qt::AlignTop);
    pLayout->setSizeConstraint(QLayout::SetFixedSize);
}
