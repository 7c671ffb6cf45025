#include "window_rig.h"

#include "panel_canvas.h"
#include "panel_renderer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

// ---------------------------------------------------------------------------------------
// CTestPanelDlg

int CTestPanelDlg::MessageBox(int nStringId, int nStyle)
{
    boxes.push_back({nStringId, nStyle, Model().m_link.m_bOpen != 0});
    return nStyle == MB_YESNO ? nYesNoAnswer : IDOK;
}

bool CTestPanelDlg::RunSerialDialog(int& nPortChoice, int& nBaudChoice)
{
    serialAsks.push_back({nPortChoice, nBaudChoice});
    if (!bSerialOk)
        return false;
    nPortChoice = nSerialPort;
    nBaudChoice = nSerialBaud;
    return true;
}

bool CTestPanelDlg::RunTextInputDialog(std::array<QString, kLcdRows>& rows)
{
    ++nTextDialogs;
    return textAnswer ? textAnswer(rows) : false;
}

std::vector<int> CTestPanelDlg::BoxIds() const
{
    std::vector<int> ids;
    for (const Box& box : boxes)
        ids.push_back(box.nStringId);
    return ids;
}

// ---------------------------------------------------------------------------------------
// CWindowRig

void CWindowRig::Init(bool bStopTimer)
{
    dlg.OnInitDialog();
    if (bStopTimer)
        dlg.PollTimer().stop();
}

void CWindowRig::Show()
{
    dlg.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&dlg));
}

// ---------------------------------------------------------------------------------------
// Waiting

bool WaitFor(const std::function<bool()>& pred, int nDeadlineMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > nDeadlineMs)
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qSleep(2);
    }
    return true;
}

void OnNextModal(CModalSpy& spy, const std::function<void(QWidget*)>& action, QWidget* pIgnore, int nDeadlineMs)
{
    auto* pPoll = new QTimer(qApp);
    auto* pClock = new QElapsedTimer;
    pClock->start();
    QObject::connect(pPoll, &QTimer::timeout, pPoll, [=, &spy] {
        QWidget* pModal = QApplication::activeModalWidget();
        const bool bFound = pModal != nullptr && pModal != pIgnore && pModal->isVisible();
        if (!bFound && pClock->elapsed() < nDeadlineMs)
            return;
        pPoll->stop();
        pPoll->deleteLater();
        delete pClock;
        if (!bFound)
            return;
        ++spy.nSeen;
        spy.strClass = QString::fromLatin1(pModal->metaObject()->className());
        spy.strTitle = pModal->windowTitle();
        action(pModal);
    });
    pPoll->start(10);
}

// ---------------------------------------------------------------------------------------
// Pixels

QImage GrabCanvas(CPanelDlg& dlg)
{
    const QPixmap pixmap = dlg.Canvas()->grab();
    QImage image = pixmap.toImage().convertToFormat(QImage::Format_RGB32);
    image.setDevicePixelRatio(pixmap.devicePixelRatio());
    return image;
}

QRgb PixelAt(const QImage& img, int x, int y)
{
    const qreal dpr = img.devicePixelRatio();
    return img.pixel(qRound(x * dpr), qRound(y * dpr));
}

namespace {

bool IsInk(const QImage& img, int px, int py)
{
    const qreal dpr = img.devicePixelRatio();
    const QImage& picture = PanelPicture();
    const int x = static_cast<int>(px / dpr) - kPictureLeft;
    const int y = static_cast<int>(py / dpr) - kPictureTop;
    const int under = picture.valid(x, y) ? qGray(picture.pixel(x, y)) : 255;
    return qGray(img.pixel(px, py)) + 60 < under;
}

template <typename F>
void ForEachDevicePixel(const QImage& img, const QRect& rc, F f)
{
    const qreal dpr = img.devicePixelRatio();
    const QRect device(qRound(rc.left() * dpr), qRound(rc.top() * dpr), qRound(rc.width() * dpr),
                       qRound(rc.height() * dpr));
    const QRect clipped = device.intersected(img.rect());
    for (int py = clipped.top(); py <= clipped.bottom(); ++py)
        for (int px = clipped.left(); px <= clipped.right(); ++px)
            f(px, py);
}

} // namespace

int InkPixels(const QImage& img, const QRect& rc)
{
    int n = 0;
    ForEachDevicePixel(img, rc, [&](int px, int py) { n += IsInk(img, px, py) ? 1 : 0; });
    return n;
}

QRect InkBounds(const QImage& img, const QRect& rc)
{
    QRect bounds;
    ForEachDevicePixel(img, rc, [&](int px, int py) {
        if (IsInk(img, px, py))
            bounds |= QRect(px, py, 1, 1);
    });
    return bounds;
}
