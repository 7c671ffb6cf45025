#include "stop_signals.h"

#include <QSocketNotifier>

#include <csignal>
#include <cstdlib>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

int g_signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t g_nStopSignal = 0;
volatile std::sig_atomic_t g_bOnce = 0;

extern "C" void HandleStopSignal(int nSignal)
{
    g_nStopSignal = nSignal;
#ifndef _WIN32
    if (g_bOnce) {
        // sigaction is safe in a handler; the next SIGINT or SIGTERM finds the default.
        struct sigaction dfl = {};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(SIGINT, &dfl, nullptr);
        ::sigaction(SIGTERM, &dfl, nullptr);
    }
    const unsigned char b = static_cast<unsigned char>(nSignal);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &b, 1);
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
    struct sigaction action = {};
    action.sa_handler = HandleStopSignal;
    action.sa_flags = SA_RESTART;
    // While the handler runs the other signal waits, so the two never interleave in the pipe.
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
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
    return nSignal == SIGTERM ? QStringLiteral("SIGTERM") : QStringLiteral("SIGINT");
}

void DieOfSignal(int nSignal)
{
    std::signal(nSignal, SIG_DFL);
    std::raise(nSignal);
    std::_Exit(128 + nSignal);
}
