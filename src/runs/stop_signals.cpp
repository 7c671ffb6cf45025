#include "stop_signals.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#ifdef _WIN32
#include <QWinEventNotifier>
#include <windows.h>
#else
#include <QSocketNotifier>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>
#endif

namespace {

volatile std::sig_atomic_t g_nStopSignal = 0;
volatile std::sig_atomic_t g_bOnce = 0;

// The first request: its signal and when it came, on the monotonic clock. Only the handler
// writes them, and two handlers never run at once (POSIX: every stop signal is blocked while one
// runs; Windows: the handlers' threads take a lock).
volatile std::sig_atomic_t g_nFirstSignal = 0;
volatile int64_t g_nFirstMs = 0;

enum class StopRequest { First, Repeat, Second };

// What a stop signal at nNowMs is, after those before it. Plain arithmetic, so a signal handler
// may call it.
StopRequest Classify(int nSignal, int64_t nNowMs)
{
    if (g_nFirstSignal == 0) {
        g_nFirstSignal = nSignal;
        g_nFirstMs = nNowMs;
        return StopRequest::First;
    }
    // The same request once more, as timeout and a process group's kill deliver it.
    if (nSignal == g_nFirstSignal && nNowMs - g_nFirstMs < kStopRepeatWindowMs)
        return StopRequest::Repeat;
    return StopRequest::Second;
}

#ifdef _WIN32
// Set by the console's handler; the event loop watches it (QWinEventNotifier).
HANDLE g_hStopEvent = nullptr;

// A console's events as the signals they stand for on Linux: Ctrl+C is SIGINT, Ctrl+Break the
// deliberate kill, SIGTERM, and the console closing (or the session ending) the hang-up.
int SignalOfConsoleEvent(DWORD nEvent)
{
    switch (nEvent) {
    case CTRL_C_EVENT: return SIGINT;
    case CTRL_BREAK_EVENT: return SIGTERM;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: return kSigHup;
    default: return 0;
    }
}

// Runs on a thread of its own that Windows starts for each event.
BOOL WINAPI HandleConsoleEvent(DWORD nEvent)
{
    const int nSignal = SignalOfConsoleEvent(nEvent);
    if (nSignal == 0)
        return FALSE;
    static SRWLOCK lock = SRWLOCK_INIT;
    ::AcquireSRWLockExclusive(&lock);
    const StopRequest request = Classify(nSignal, static_cast<int64_t>(::GetTickCount64()));
    ::ReleaseSRWLockExclusive(&lock);
    switch (request) {
    case StopRequest::Repeat: return TRUE;
    case StopRequest::Second:
        if (g_bOnce) {
            // Ends now, whatever the main thread is doing, as the signal would on Linux.
            ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(128 + nSignal));
            return TRUE;
        }
        break;
    case StopRequest::First: break;
    }
    g_nStopSignal = nSignal;
    ::SetEvent(g_hStopEvent);
    // A closing console takes the process with it as soon as this handler returns (and after
    // five seconds at the latest): the handler holds on, so the main thread writes the report
    // and ends the program first.
    if (nSignal == kSigHup)
        ::Sleep(10000);
    return TRUE;
}
#else
// The handler's byte to the event loop, which watches the reading end.
int g_signalPipe[2] = {-1, -1};

// The signals that end a run: Ctrl+C, a kill, and the hang-up of a terminal or an ssh session
// that closed.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

int64_t MonotonicMs()
{
    // clock_gettime is safe in a signal handler.
    timespec now = {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

extern "C" void HandleStopSignal(int nSignal)
{
    // The code that was interrupted may be about to read errno.
    const int nErrno = errno;
    const StopRequest request = Classify(nSignal, MonotonicMs());
    if (request == StopRequest::Repeat) {
        errno = nErrno;
        return;
    }
    if (request == StopRequest::Second && g_bOnce) {
        // Plainly a second request: the program ends at once, as the signal would end it. The
        // signal is blocked while its handler runs, so it is taken as soon as the handler returns.
        struct sigaction dfl = {};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(nSignal, &dfl, nullptr);
        ::kill(::getpid(), nSignal);
        errno = nErrno;
        return;
    }
    g_nStopSignal = nSignal;
    const unsigned char b = static_cast<unsigned char>(nSignal);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &b, 1);
    errno = nErrno;
}
#endif

} // namespace

bool CatchStopSignals(bool bOnce)
{
#ifdef _WIN32
    g_bOnce = bOnce ? 1 : 0;
    if (g_hStopEvent == nullptr)
        g_hStopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // A program started with Ctrl+C ignored (start /b, CREATE_NEW_PROCESS_GROUP) keeps ignoring
    // it; the handler still takes Ctrl+Break and the console's closing.
    return g_hStopEvent != nullptr && ::SetConsoleCtrlHandler(HandleConsoleEvent, TRUE) != 0;
#else
    if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    g_bOnce = bOnce ? 1 : 0;
    // A closed pipe or terminal on standard output or error makes a write fail, not end the
    // program: the report of a run must still be written.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
    struct sigaction action = {};
    action.sa_handler = HandleStopSignal;
    action.sa_flags = SA_RESTART;
    // While the handler runs the others wait, so two never interleave in the pipe.
    sigemptyset(&action.sa_mask);
    for (const int nSignal : kStopSignals)
        sigaddset(&action.sa_mask, nSignal);
    bool bOk = true;
    for (int i = 0; i < 3; ++i) {
        // A signal ignored by whoever started us (nohup, a script's `&`) stays ignored.
        struct sigaction old = {};
        if (::sigaction(kStopSignals[i], nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        if (::sigaction(kStopSignals[i], &action, nullptr) != 0)
            bOk = false;
    }
    return bOk;
#endif
}

void OnStopSignal(QObject* pParent, std::function<void(int)> onSignal)
{
#ifdef _WIN32
    if (g_hStopEvent == nullptr)
        return;
    auto* pNotifier = new QWinEventNotifier(g_hStopEvent, pParent);
    QObject::connect(pNotifier, &QWinEventNotifier::activated, pParent, [pNotifier, onSignal = std::move(onSignal)] {
        // The event stays set: one request is told once.
        pNotifier->setEnabled(false);
        onSignal(g_nStopSignal);
    });
#else
    if (g_signalPipe[0] < 0)
        return;
    auto* pNotifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, pParent);
    QObject::connect(pNotifier, &QSocketNotifier::activated, pParent, [onSignal = std::move(onSignal)] {
        unsigned char b = 0;
        if (::read(g_signalPipe[0], &b, 1) == 1)
            onSignal(b);
    });
#endif
}

int PendingStopSignal()
{
    return g_nStopSignal;
}

QString StopSignalName(int nSignal)
{
    if (nSignal == kSigHup)
        return QStringLiteral("SIGHUP");
    return nSignal == SIGTERM ? QStringLiteral("SIGTERM") : QStringLiteral("SIGINT");
}

void DieOfSignal(int nSignal)
{
#ifdef _WIN32
    // Windows' C library would end with 3 for every signal; a script sees what a shell on Linux
    // reports for a program killed by the signal instead.
    std::fflush(nullptr);
    ::ExitProcess(static_cast<UINT>(128 + nSignal));
#endif
    std::signal(nSignal, SIG_DFL);
    std::raise(nSignal);
    std::_Exit(128 + nSignal);
}
