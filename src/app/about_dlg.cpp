#include "about_dlg.h"

#include "panel_app.h"

#include "kova_version.h"

#include <QLabel>
#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget* pParent) : CDialog(217, 89, pParent)
{
    setWindowTitle(QStringLiteral("About KOVA_EN"));

    // An icon control takes the icon's own size, 32 x 32 pixels.
    auto* pIcon = new QLabel(this);
    pIcon->setPixmap(AppIcon().pixmap(32, 32));
    Place(pIcon, 11, 17, 0, 0)->resize(32, 32);

    auto* pName = Place(new QLabel(QStringLiteral(KOVA_VERSION_TEXT), this), 40, 10, 119, 8);
    pName->setTextFormat(Qt::PlainText);
    Place(new QLabel(QStringLiteral("16. September 1999"), this), 40, 25, 119, 8);

    // The maker named in the main window's caption; street, town and web address are invented
    // (the postcode and the .example domain cannot belong to anybody).
    auto* pMaker = Place(new QLabel(QStringLiteral(KOVA_COMPANY "\n"
                                                                "Werkstra\u00dfe 12\n"
                                                                "D-99999 Beispielstadt\n"
                                                                "www.tarvest.example"),
                                    this),
                         40, 42, 134, 40);
    pMaker->setTextFormat(Qt::PlainText);
    pMaker->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    AddOkButton(178, 7, 32, 14);
}
