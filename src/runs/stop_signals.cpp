#include "stop_signals.h"

#include <atomic>
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

static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the stop state is shared with signal handlers, which may not take a lock");

// The signal that asked the run to stop, told to the event loop and the waits; 0 until then.
std::atomic<int> g_nStopSignal{0};

// The first request in one word, its signal in the low byte and its time on the monotonic clock
// (ms) above: published whole by one compare-and-swap, so a handler running on another thread at
// the same moment sees either no request yet or both halves of the first, never a signal without
// its time (which would make the same request look like a second one).
std::atomic<uint64_t> g_firstRequest{0};

enum class StopRequest { First, Repeat, Second };

// What a stop signal at nNowMs is, after those before it. Lock-free, so a signal handler on any
// thread may call it.
StopRequest Classify(int nSignal, int64_t nNowMs)
{
    const uint64_t mine = (static_cast<uint64_t>(nNowMs) << 8) | static_cast<uint8_t>(nSignal);
    uint64_t first = 0;
    if (g_firstRequest.compare_exchange_strong(first, mine))
        return StopRequest::First;
    // The same request once more, as timeout and a process group's kill deliver it.
    const int nFirstSignal = static_cast<int>(first & 0xFF);
    const auto nFirstMs = static_cast<int64_t>(first >> 8);
    if (nSignal == nFirstSignal && nNowMs - nFirstMs < kStopRepeatWindowMs)
        return StopRequest::Repeat;
    return StopRequest::Second;
}

#ifdef _WIN32
// Set by the console's handler; the runs' wait blocks on it (StopEvent), the window's event loop
// watches it (QWinEventNotifier).
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
    switch (Classify(nSignal, static_cast<int64_t>(::GetTickCount64()))) {
    case StopRequest::Repeat: return TRUE;
    case StopRequest::Second:
        // Ends now, whatever the main thread is doing, as the signal would on Linux.
        ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(128 + nSignal));
        return TRUE;
    case StopRequest::First: break;
    }
    g_nStopSignal.store(nSignal);
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
    if (request == StopRequest::Second) {
        // Plainly a second request: the program ends at once, as the signal would end it. The
        // signal is blocked while its handler runs, so it is taken as soon as the handler returns.
        struct sigaction dfl = {};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(nSignal, &dfl, nullptr);
        ::kill(::getpid(), nSignal);
        errno = nErrno;
        return;
    }
    g_nStopSignal.store(nSignal);
    const unsigned char b = static_cast<unsigned char>(nSignal);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &b, 1);
    errno = nErrno;
}
#endif

} // namespace

bool CatchStopSignals()
{
#ifdef _WIN32
    if (g_hStopEvent == nullptr)
        g_hStopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // A program started with Ctrl+C ignored (start /b, CREATE_NEW_PROCESS_GROUP) keeps ignoring
    // it; the handler still takes Ctrl+Break and the console's closing.
    return g_hStopEvent != nullptr && ::SetConsoleCtrlHandler(HandleConsoleEvent, TRUE) != 0;
#else
    if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
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
        onSignal(g_nStopSignal.load());
    });
#else
    if (g_signalPipe[0] < 0)
        return;
    auto* pNotifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, pParent);
    QObject::connect(pNotifier, &QSocketNotifier::activated, pParent, [pNotifier, onSignal = std::move(onSignal)] {
        // The byte stays in the pipe, so every wait on StopDescriptor() sees the request too; one
        // request is told once.
        pNotifier->setEnabled(false);
        onSignal(g_nStopSignal.load());
    });
#endif
}

#ifdef _WIN32
void* StopEvent()
{
    return g_hStopEvent;
}
#else
int StopDescriptor()
{
    return g_signalPipe[0];
}
#endif

int PendingStopSignal()
{
    return g_nStopSignal.load();
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
