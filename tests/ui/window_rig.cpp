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
// CScriptedPanel

namespace {

std::vector<uint8_t> Framed(const std::vector<uint8_t>& telegram)
{
    // Body after the PC's DLE: data with DLE doubled, DLE ETX, and a check byte the PC reads
    // but does not check.
    std::vector<uint8_t> body;
    uint8_t bcc = 0;
    for (uint8_t b : telegram) {
        body.push_back(b);
        bcc ^= b;
        if (b == kDle) {
            body.push_back(kDle);
            bcc ^= kDle;
        }
    }
    body.push_back(kDle);
    body.push_back(kEtx);
    body.push_back(static_cast<uint8_t>(bcc ^ kBccConstantVariant0));
    return body;
}

} // namespace

CScriptedPanel::CScriptedPanel(CFakeSerialDevice& device, uint8_t chSwitch1, uint8_t chSwitch2)
    : m_device(device), m_chSwitch1(chSwitch1), m_chSwitch2(chSwitch2)
{
    device.OnWrite([this](CFakeSerialDevice&, uint8_t byte) { OnByte(byte); });
}

void CScriptedPanel::Report(const std::vector<uint8_t>& telegram)
{
    Queue(telegram);
}

void CScriptedPanel::Queue(const std::vector<uint8_t>& telegram)
{
    m_outgoing.push_back(telegram);
    StartNext();
}

void CScriptedPanel::StartNext()
{
    if (m_bStxOut || m_outgoing.empty() || m_state != State::Idle)
        return;
    m_device.Feed({kStx});
    m_bStxOut = true;
    m_bBodyOut = false;
}

void CScriptedPanel::OnByte(uint8_t byte)
{
    switch (m_state) {
    case State::Idle:
        if (byte == kStx) {
            m_device.Feed({kDle});
            m_current.clear();
            m_state = State::Data;
        } else if (byte == kDle && m_bStxOut && !m_bBodyOut) {
            // The PC took our STX: the block follows.
            m_device.Feed(Framed(m_outgoing.front()));
            m_bBodyOut = true;
        } else if (byte == kDle && m_bStxOut) {
            // The PC acknowledged the block.
            m_outgoing.erase(m_outgoing.begin());
            m_bStxOut = false;
            StartNext();
        }
        break;
    case State::Data:
        if (byte == kDle)
            m_state = State::AfterDle;
        else
            m_current.push_back(byte);
        break;
    case State::AfterDle:
        if (byte == kEtx) {
            m_state = State::Bcc;
        } else {
            m_current.push_back(byte);
            m_state = State::Data;
        }
        break;
    case State::Bcc:
        m_device.Feed({kDle});
        m_state = State::Idle;
        m_telegrams.push_back(m_current);
        if (m_current == std::vector<uint8_t>{'#'})
            Queue({'0', m_chSwitch1, m_chSwitch2});
        else if (!m_current.empty() && m_current[0] == 'l')
            Queue({'0'});
        StartNext();
        break;
    }
}

// ---------------------------------------------------------------------------------------
// CWindowRig

void CWindowRig::Init(bool bStopTimer)
{
    ResetPanelGlobals();
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
