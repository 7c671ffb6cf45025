#include "run_wait.h"

#include "stop_signals.h"

#include <QDeadlineTimer>
#include <QThread>

#include <algorithm>
#include <utility>
#ifdef _WIN32
#include "win32_serial_device.h"

#include <windows.h>
#else
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

CRunWait::CRunWait(CPanelDriver& driver, bool bTerminal, Idler idler)
    : m_driver(driver), m_bTerminal(bTerminal), m_idler(std::move(idler))
{
    m_driver.AddObserver(this);
}

CRunWait::~CRunWait()
{
    m_driver.RemoveObserver(this);
}

CRunWait::CResult CRunWait::Until(int64_t nDeadlineMs, bool bAnswers)
{
    CResult result;
    for (;;) {
        if (PendingStopSignal() != 0) {
            result.kind = CResult::Kind::Stop;
            result.nSignal = PendingStopSignal();
            return result;
        }
        if (!m_events.empty()) {
            // A report that came after the deadline does not answer this wait; it stays for the next.
            if (m_events.front().tMs > nDeadlineMs)
                return result;
            result.kind = CResult::Kind::Event;
            result.event = m_events.front();
            m_events.pop_front();
            return result;
        }
        if (!m_driver.State().bLinkUp) {
            result.kind = CResult::Kind::Lost;
            return result;
        }
        if (m_driver.InputWaiting()) {
            m_driver.Poll();
            continue;
        }
        const int64_t nNow = m_driver.NowMs();
        if (nNow >= nDeadlineMs)
            return result;
        // Short slices, so a stop signal is seen at once even where it does not cut the wait short.
        Idle(static_cast<int>(std::min<int64_t>(nDeadlineMs - nNow, 100)), bAnswers && m_bTerminal && m_bStdinOpen,
             &result);
        if (result.kind == CResult::Kind::Answer)
            return result;
    }
}

int CRunWait::Pause(int64_t nUntilMs)
{
    for (;;) {
        if (PendingStopSignal() != 0)
            return PendingStopSignal();
        const int64_t nNow = m_driver.NowMs();
        if (nNow >= nUntilMs)
            return 0;
        if (m_idler)
            m_idler(static_cast<int>(std::min<int64_t>(nUntilMs - nNow, 50)));
        else
            QThread::msleep(static_cast<unsigned long>(std::min<int64_t>(nUntilMs - nNow, 50)));
    }
}

void CRunWait::Idle(int nMs, bool bStdin, CResult* pAnswer)
{
    const int fd = m_driver.PollDescriptor();
    if (m_idler && fd < 0) {
        m_idler(nMs);
        return;
    }
#ifdef _WIN32
    // Nothing to sleep on: the port is asked at the pace the link asks it for a reply, and what
    // was typed on the console is looked at in between.
    (void)fd;
    if (bStdin && m_pInput == nullptr)
        m_pInput = std::make_unique<CInputThread>(CInputThread::StandardInput());
    const QDeadlineTimer until(nMs);
    for (;;) {
        if (bStdin) {
            const CInputThread::CTaken typed = m_pInput->Take();
            if (TakeAnswer(typed.bytes, pAnswer))
                return;
            if (typed.bEnded)
                m_bStdinOpen = false;
        }
        if (m_driver.InputWaiting() || until.hasExpired() || PendingStopSignal() != 0)
            return;
        QThread::msleep(CWin32SerialDevice::kWaitSliceMs);
    }
#else
    if (fd < 0) {
        QThread::msleep(static_cast<unsigned long>(std::min(nMs, 10)));
        return;
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {0, POLLIN, 0}};
    if (::poll(fds, bStdin ? 2 : 1, nMs) <= 0 || !bStdin || (fds[1].revents & (POLLIN | POLLHUP)) == 0)
        return;
    char buf[64];
    const ssize_t n = ::read(0, buf, sizeof buf);
    if (n <= 0)
        m_bStdinOpen = false;
    else
        TakeAnswer(QByteArray(buf, n), pAnswer);
#endif
}

bool CRunWait::TakeAnswer(const QByteArray& typed, CResult* pAnswer)
{
    for (const char ch : typed) {
        if (ch == 'y' || ch == 'Y' || ch == 'n' || ch == 'N') {
            pAnswer->kind = CResult::Kind::Answer;
            pAnswer->bYes = ch == 'y' || ch == 'Y';
            return true;
        }
    }
    return false;
}

void CRunWait::Forget()
{
    while (m_driver.State().bLinkUp && m_driver.InputWaiting())
        m_driver.Poll();
    m_events.clear();
}

void CRunWait::ForgetTyped()
{
    if (!m_bTerminal || !m_bStdinOpen)
        return;
#ifdef _WIN32
    ::FlushConsoleInputBuffer(::GetStdHandle(STD_INPUT_HANDLE));
    if (m_pInput != nullptr)
        m_pInput->Drop();
#else
    ::tcflush(0, TCIFLUSH);
#endif
}
