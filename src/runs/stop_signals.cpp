#include "stop_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#ifndef _WIN32
#include <fcntl.h>
#include <time.h>
#include <unistd.h>
#endif

namespace {

volatile std::sig_atomic_t g_nStopSignal = 0;
volatile std::sig_atomic_t g_bOnce = 0;

#ifndef _WIN32
// The handler's byte to the event loop, which watches the reading end.
int g_signalPipe[2] = {-1, -1};

// The signals that end a run: Ctrl+C, a kill, and the hang-up of a terminal or an ssh session
// that closed.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The first request: its signal and when it came, on the monotonic clock. Only the handler
// writes them, and it runs with every stop signal blocked, so two handlers never interleave.
volatile std::sig_atomic_t g_nFirstSignal = 0;
volatile int64_t g_nFirstMs = 0;

int64_t MonotonicMs()
{
    // clock_gettime is safe in a signal handler.
    timespec now = {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}
#endif

extern "C" void HandleStopSignal(int nSignal)
{
#ifdef _WIN32
    g_nStopSignal = nSignal;
#else
    // The code that was interrupted may be about to read errno.
    const int nErrno = errno;
    const int64_t nNow = MonotonicMs();
    if (g_nFirstSignal == 0) {
        g_nFirstSignal = nSignal;
        g_nFirstMs = nNow;
    } else if (nSignal == g_nFirstSignal && nNow - g_nFirstMs < kStopRepeatWindowMs) {
        // The same request once more, as timeout and a process group's kill deliver it.
        errno = nErrno;
        return;
    } else if (g_bOnce) {
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
#endif
}

} // namespace

bool CatchStopSignals(bool bOnce)
{
#ifdef _WIN32
    (void)bOnce;
    return std::signal(SIGINT, HandleStopSignal) != SIG_ERR && std::signal(SIGTERM, HandleStopSignal) != SIG_ERR;
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
    (void)pParent;
    (void)onSignal;
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
#ifndef _WIN32
    if (nSignal == SIGHUP)
        return QStringLiteral("SIGHUP");
#endif
    return nSignal == SIGTERM ? QStringLiteral("SIGTERM") : QStringLiteral("SIGINT");
}

void DieOfSignal(int nSignal)
{
    std::signal(nSignal, SIG_DFL);
    std::raise(nSignal);
    std::_Exit(128 + nSignal);
}
