#include "dialog.h"

#include "caption_bar.h"
#include "geometry.h"

#include <QPushButton>

CDialog::CDialog(int nWidthUnits, int nHeightUnits, QWidget* pParent) : QDialog(pParent)
{
    QFont templateFont = font();
    templateFont.setPointSize(8);
    setFont(templateFont);
    setFixedSize(DluToPixelsX(nWidthUnits), DluToPixelsY(nHeightUnits));
}

int CDialog::DoModal()
{
    DoDataExchange(false);
    AddCaptionWherePlatformNeedsIt(this);
    const int result = exec();
    if (result == QDialog::Accepted)
        DoDataExchange(true);
    return result;
}

void CDialog::DoDataExchange(bool) {}

void CDialog::PlaceControl(QWidget* pControl, int x, int y, int cx, int cy)
{
    // Both corners are converted, so that neighbouring controls keep their shared edges.
    const int left = DluToPixelsX(x);
    const int top = DluToPixelsY(y);
    pControl->setGeometry(left, top, DluToPixelsX(x + cx) - left, DluToPixelsY(y + cy) - top);
}

QPushButton* CDialog::AddOkButton(int x, int y, int cx, int cy)
{
    auto* pButton = Place(new QPushButton(QStringLiteral("OK"), this), x, y, cx, cy);
    pButton->setDefault(true);
    connect(pButton, &QPushButton::clicked, this, &QDialog::accept);
    return pButton;
}

QPushButton* CDialog::AddCancelButton(int x, int y, int cx, int cy)
{
    auto* pButton = Place(new QPushButton(QStringLiteral("Cancel"), this), x, y, cx, cy);
    connect(pButton, &QPushButton::clicked, this, &QDialog::reject);
    return pButton;
}
