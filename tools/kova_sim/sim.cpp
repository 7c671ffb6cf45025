#include "sim.h"

#include "commands.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace kova_sim {

bool Sim::openLog()
{
    if (m_opt.log.empty())
        return true;
    if (m_opt.log == "-") {
        m_log = stderr;
        return true;
    }
    m_log = std::fopen(m_opt.log.c_str(), "w");
    if (!m_log) {
        std::fprintf(stderr, "kova_sim: cannot write log %s: %s\n", m_opt.log.c_str(), std::strerror(errno));
        return false;
    }
    std::setvbuf(m_log, nullptr, _IOLBF, 0);
    return true;
}

void Sim::logLine(const char* tag, const std::string& text)
{
    // Milliseconds to the microsecond: each byte carries the time of the read or write that
    // moved it, fine enough to time the PC's turnaround against the line.
    if (m_log)
        std::fprintf(m_log, "%12.3f %s %s\n", static_cast<double>(nowUs()) / 1000.0, tag, text.c_str());
}

void Sim::logBytes(const char* dir, const std::uint8_t* p, std::size_t n)
{
    if (m_log && n > 0)
        logLine(dir, hexString(std::span<const std::uint8_t>(p, n)));
}

bool Sim::plug(std::string& err)
{
    if (!m_pty.open(err))
        return false;
    if (!placeLink(m_opt.link, m_pty.slaveName(), err)) {
        m_pty.close();
        return false;
    }
    m_out.clear();
    m_in.clear();
    m_outBlocked = false;
    m_hupUntil = 0;
    m_replugAt.reset();
    logLine("---", "line up: " + m_opt.link + " -> " + m_pty.slaveName());
    m_engine.setLineUp(true, toMs(nowUs()));
    m_dirty = true;
    return true;
}

void Sim::unplug()
{
    m_engine.setLineUp(false, toMs(nowUs()));
    if (m_pty.isOpen()) {
        removeLink(m_opt.link, m_pty.slaveName());
        m_pty.close();
        logLine("---", "line down (unplugged)");
    }
    m_out.clear();
    m_in.clear();
    m_dirty = true;
}

void Sim::print(const std::string& line)
{
    logLine("out", line);
    if (m_interactive) {
        m_messages.push_back(line);
        while (m_messages.size() > 4)
            m_messages.pop_front();
        m_dirty = true;
        return;
    }
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Sim::runLine(const std::string& line)
{
    const Us now = nowUs();
    CommandResult r = runCommand(m_engine, line, toMs(now), &m_operator);
    if (!r.lines.empty() || r.control != CommandResult::Control::None)
        logLine("cmd", line);
    for (const auto& l : r.lines)
        print(l);
    std::string err;
    switch (r.control) {
    case CommandResult::Control::None: break;
    case CommandResult::Control::Unplug:
        unplug();
        print("OK");
        break;
    case CommandResult::Control::Replug:
        unplug();
        if (plug(err))
            print("OK");
        else
            print("ERR " + err);
        break;
    case CommandResult::Control::Wait: m_waitUntil = now + static_cast<Us>(r.waitMs) * 1000; break;
    case CommandResult::Control::Quit: m_running = false; break;
    }
    m_dirty = true;
}

void Sim::processCommands(Us now)
{
    if (m_waitUntil) {
        if (now < *m_waitUntil)
            return;
        m_waitUntil.reset();
        print("OK");
    }
    while (m_running && !m_waitUntil && !m_commands.empty()) {
        const std::string line = std::move(m_commands.front());
        m_commands.pop_front();
        runLine(line);
    }
    if (m_quitWhenDrained && m_commands.empty() && !m_waitUntil)
        m_running = false;
}

void Sim::readMaster(Us now)
{
    std::uint8_t buf[4096];
    const ssize_t n = ::read(m_pty.master(), buf, sizeof buf);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        // EIO: nobody holds the port open. Look again a little later instead of spinning.
        m_hupUntil = now + kHupBackoffUs;
        return;
    }
    logBytes("PC>", buf, static_cast<std::size_t>(n));
    for (ssize_t i = 0; i < n; ++i) {
        if (m_in.size() >= kMaxRx)
            break; // a flood the engine cannot have asked for; it copes with the missing bytes
        // With a baud rate each byte is there only once its line time has passed.
        const Us at = m_byteUs ? std::max(now, m_rxLast) + m_byteUs : now;
        m_rxLast = at;
        m_in.emplace_back(buf[i], at);
    }
}

void Sim::deliverInput(Us now)
{
    while (!m_in.empty() && m_in.front().second <= now && m_engine.lineUp()) {
        const std::uint8_t b = m_in.front().first;
        m_in.pop_front();
        m_engine.receive(b, toMs(now));
        m_dirty = true;
    }
}

void Sim::writeOutput(Us now)
{
    if (m_out.empty() || !m_pty.isOpen())
        return;
    std::size_t n = m_out.size();
    if (m_byteUs) {
        // A byte starts when the line is free and the panel has it, and is there one byte
        // time later: never earlier, also after the line sat idle.
        if (!m_txDue)
            m_txDue = std::max(now, m_txFree) + m_byteUs;
        if (now < *m_txDue)
            return;
        n = std::min<std::size_t>(n, static_cast<std::size_t>((now - *m_txDue) / m_byteUs + 1));
    }
    std::vector<std::uint8_t> chunk(m_out.begin(), m_out.begin() + static_cast<std::ptrdiff_t>(n));
    const ssize_t w = ::write(m_pty.master(), chunk.data(), chunk.size());
    if (w < 0) {
        m_outBlocked = (errno == EAGAIN);
        if (errno != EAGAIN && errno != EINTR)
            m_hupUntil = now + kHupBackoffUs;
        return;
    }
    m_outBlocked = static_cast<std::size_t>(w) < chunk.size();
    logBytes("<PC", chunk.data(), static_cast<std::size_t>(w));
    m_out.erase(m_out.begin(), m_out.begin() + w);
    if (m_byteUs && w > 0) {
        m_txFree = *m_txDue + (w - 1) * m_byteUs;
        m_txDue.reset();
    }
}

void Sim::readStdin()
{
    char buf[4096];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        m_stdinOpen = false;
        if (!m_partial.empty())
            m_commands.push_back(std::move(m_partial));
        m_partial.clear();
        // A closed pipe alone does not end the simulator: a test harness may keep writing to a
        // script-fed instance, or simply let it run until it is signalled.
        if (m_opt.exitOnEof)
            m_quitWhenDrained = true;
        return;
    }
    for (ssize_t i = 0; i < n; ++i) {
        if (m_interactive) {
            handleKey(buf[i]);
            continue;
        }
        if (buf[i] == '\n') {
            m_commands.push_back(std::move(m_partial));
            m_partial.clear();
        } else if (m_partial.size() < kMaxLine) {
            m_partial += buf[i];
        }
    }
}

} // namespace kova_sim
