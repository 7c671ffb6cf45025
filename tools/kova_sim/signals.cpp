#include "signals.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace kova_sim {

int g_sigPipe[2] = {-1, -1};
volatile std::sig_atomic_t g_signal = 0;

namespace {

void onSignal(int sig)
{
    const int saved = errno;
    g_signal = sig;
    const char c = 1;
    [[maybe_unused]] auto n = ::write(g_sigPipe[1], &c, 1);
    errno = saved;
}

} // namespace

bool installSignalHandlers()
{
    if (::pipe(g_sigPipe) != 0) {
        std::perror("kova_sim: pipe");
        return false;
    }
    for (int fd : g_sigPipe) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

} // namespace kova_sim
