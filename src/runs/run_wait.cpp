#include "run_wait.h"

#include "stop_signals.h"
#include "wait_set.h"

#include <algorithm>
#include <utility>
#ifdef _WIN32
#include <windows.h>
#else
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
#ifdef _WIN32
    // The thread may still be blocked in its read: it is told to drop what it reads first, and
    // then the event it would set goes.
    m_pInput.reset();
    if (m_hTyped != nullptr)
        ::CloseHandle(m_hTyped);
#endif
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
        // The stop is one of the wait's ends, so the wait lasts to the deadline; a test's idler
        // moves its clock in steps of at most 100 ms.
        Idle(static_cast<int>(std::min<int64_t>(nDeadlineMs - nNow, m_idler ? 100 : kRunLongestIdleMs)),
             bAnswers && m_bTerminal && m_bStdinOpen, &result);
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
        if (m_idler) {
            m_idler(static_cast<int>(std::min<int64_t>(nUntilMs - nNow, 50)));
            continue;
        }
        CWaitSet wait;
        wait.AddStop();
        wait.Wait(static_cast<int>(std::min<int64_t>(nUntilMs - nNow, kRunLongestIdleMs)));
    }
}

void CRunWait::Idle(int nMs, bool bStdin, CResult* pAnswer)
{
    CWaitSet wait;
    const int nPort = wait.AddPort(m_driver);
    if (m_idler && nPort < 0) {
        m_idler(nMs);
        return;
    }
    // A device with nothing to wait on (none of the program's own) is asked again soon.
    if (nPort < 0)
        nMs = std::min(nMs, 10);
    wait.AddStop();
#ifdef _WIN32
    // The console or a pipe, read on a thread of its own from the first question on; the thread
    // sets the event when it has read something.
    int nTyped = -1;
    if (bStdin) {
        if (m_pInput == nullptr) {
            m_hTyped = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
            m_pInput = std::make_unique<CInputThread>(CInputThread::StandardInput(),
                                                      [hTyped = m_hTyped] { ::SetEvent(hTyped); });
        }
        nTyped = wait.AddEvent(m_hTyped);
    }
    if (!wait.Wait(nMs) || !wait.Ready(nTyped))
        return;
    // Reset before taking: what the thread reads after this sets it again.
    ::ResetEvent(m_hTyped);
    const CInputThread::CTaken typed = m_pInput->Take();
    if (!TakeAnswer(typed.bytes, pAnswer) && typed.bEnded)
        m_bStdinOpen = false;
#else
    const int nTyped = bStdin ? wait.AddReadable(STDIN_FILENO) : -1;
    if (!wait.Wait(nMs) || !wait.Ready(nTyped))
        return;
    char buf[64];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
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
