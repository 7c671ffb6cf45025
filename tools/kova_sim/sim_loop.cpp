// The poll() loop: sleeps until the next deadline or input, then lets everything due happen.

#include "sim.h"

#include "commands.h"
#include "signals.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace kova_sim {

std::optional<Us> Sim::nextWake(Us now) const
{
    std::optional<Us> next;
    auto consider = [&next](Us t) { next = next ? std::min(*next, t) : t; };
    if (const auto d = m_engine.nextDeadline())
        consider(*d * 1000);
    if (const auto d = m_operator.nextDeadline())
        consider(*d * 1000);
    if (!m_in.empty())
        consider(m_in.front().second);
    if (!m_out.empty() && m_byteUs && !m_outBlocked)
        consider(m_txDue ? *m_txDue : now);
    if (m_waitUntil)
        consider(*m_waitUntil);
    else if (!m_commands.empty())
        consider(now);
    if (m_replugAt)
        consider(*m_replugAt);
    if (m_hupUntil > now)
        consider(m_hupUntil);
    if (m_interactive) {
        consider((toMs(now) / 600 + 1) * 600 * 1000); // flashing LEDs change phase
        if (m_dirty)
            consider(m_lastDraw + 50000);
    }
    return next;
}

int Sim::run()
{
    if (!openLog())
        return 2;
    m_interactive = ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO);
    if (!m_opt.script.empty()) {
        FILE* f = std::fopen(m_opt.script.c_str(), "r");
        if (!f) {
            std::fprintf(stderr, "kova_sim: cannot read script %s: %s\n", m_opt.script.c_str(), std::strerror(errno));
            return 2;
        }
        char buf[4096];
        while (std::fgets(buf, sizeof buf, f)) {
            std::string l(buf);
            while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
                l.pop_back();
            m_commands.push_back(l);
        }
        std::fclose(f);
    }
    for (Fault f : m_opt.faults)
        if (f != Fault::Close)
            m_engine.setFault(f, true, 0);
    m_operator.setOn(m_opt.operatorOn);
    for (const std::string& fault : m_opt.operatorFaults) {
        const CommandResult r = runCommand(m_engine, "operator fault " + fault, 0, &m_operator);
        if (r.lines.empty() || r.lines.back() != "OK") {
            std::fprintf(stderr, "kova_sim: --operator-fault '%s': %s\n", fault.c_str(),
                         r.lines.empty() ? "not understood" : r.lines.back().c_str());
            return 2;
        }
    }

    std::string err;
    if (!plug(err)) {
        std::fprintf(stderr, "kova_sim: %s\n", err.c_str());
        return 1;
    }
    if (std::find(m_opt.faults.begin(), m_opt.faults.end(), Fault::Close) != m_opt.faults.end()) {
        m_engine.setFault(Fault::Close, true, 0);
        unplug(); // starts with the cable pulled, but READY still names the path it will use
    }
    std::printf("READY %s\n", m_opt.link.c_str());
    std::fflush(stdout);
    logLine("---", "READY " + m_opt.link);

    if (m_interactive)
        setupTerminal();
    else
        ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);

    while (m_running && !g_signal) {
        Us now = nowUs();
        if (m_replugAt && now >= *m_replugAt) {
            m_replugAt.reset();
            if (!m_pty.isOpen() && !plug(err))
                note("replug failed: " + err);
        }
        deliverInput(now);
        m_engine.tick(toMs(now));
        // The operator looks after every byte the panel took, so it sees each prompt whole.
        m_operator.step(m_engine, toMs(now));
        if (m_hangUpRequested) {
            m_hangUpRequested = false;
            unplug();
            if (m_replugAfterMs >= 0)
                m_replugAt = now + static_cast<Us>(m_replugAfterMs) * 1000;
        }
        processCommands(now);
        if (!m_running)
            break;
        writeOutput(now);
        if (m_interactive && m_dirty && now - m_lastDraw >= 50000)
            draw(now);
        else if (m_interactive && (toMs(now) / 600) != (toMs(m_lastDraw) / 600))
            draw(now);

        pollfd fds[3];
        int nfds = 0;
        fds[nfds++] = {g_sigPipe[0], POLLIN, 0};
        int stdinIdx = -1, masterIdx = -1;
        if (m_stdinOpen) {
            stdinIdx = nfds;
            fds[nfds++] = {STDIN_FILENO, POLLIN, 0};
        }
        if (m_pty.isOpen() && now >= m_hupUntil) {
            masterIdx = nfds;
            short ev = POLLIN;
            if (m_outBlocked)
                ev |= POLLOUT;
            fds[nfds++] = {m_pty.master(), ev, 0};
        }
        // Microsecond deadlines: rounding each paced byte up to a whole millisecond would
        // make the line noticeably slower than the baud rate it plays.
        timespec timeout{};
        timespec* pTimeout = nullptr;
        if (const auto wake = nextWake(now)) {
            const Us wait = *wake <= now ? 0 : std::min<Us>(*wake - now, 60'000'000);
            timeout.tv_sec = static_cast<time_t>(wait / 1'000'000);
            timeout.tv_nsec = static_cast<long>(wait % 1'000'000) * 1000;
            pTimeout = &timeout;
        }
        const int rc = ::ppoll(fds, static_cast<nfds_t>(nfds), pTimeout, nullptr);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "kova_sim: poll: %s\n", std::strerror(errno));
            break;
        }
        now = nowUs();
        if (fds[0].revents) {
            char drain[64];
            [[maybe_unused]] auto n = ::read(g_sigPipe[0], drain, sizeof drain);
        }
        if (masterIdx >= 0 && fds[masterIdx].revents) {
            const short re = fds[masterIdx].revents;
            if (re & POLLOUT)
                m_outBlocked = false;
            if (re & POLLIN)
                readMaster(now);
            else if (re & (POLLHUP | POLLERR | POLLNVAL))
                m_hupUntil = now + kHupBackoffUs;
        }
        if (stdinIdx >= 0 && fds[stdinIdx].revents)
            readStdin();
    }

    restoreTerminal();
    unplug();
    logLine("---", g_signal ? "ended by signal " + std::to_string(static_cast<int>(g_signal)) : std::string("ended"));
    if (m_log && m_log != stderr)
        std::fclose(m_log);
    return 0;
}

} // namespace kova_sim
