// kova_sim: a KOVA panel on a pseudo-terminal. One thread, one poll() loop; everything that
// happens later (paced bytes, stalls, time-outs, "wait") is a deadline the loop sleeps towards.

#include "commands.h"
#include "engine.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

using namespace kova_sim;

namespace {

// ---- signals ---------------------------------------------------------------------------------

int g_sigPipe[2] = {-1, -1};
volatile std::sig_atomic_t g_signal = 0;

void onSignal(int sig)
{
    const int saved = errno;
    g_signal = sig;
    const char c = 1;
    [[maybe_unused]] auto n = ::write(g_sigPipe[1], &c, 1);
    errno = saved;
}

// ---- clock -----------------------------------------------------------------------------------

using Us = std::int64_t;
const auto g_start = std::chrono::steady_clock::now();

Us nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - g_start).count();
}

std::int64_t toMs(Us us) { return us / 1000; }

// ---- options ---------------------------------------------------------------------------------

struct Options {
    std::string link = "/tmp/kova-panel";
    AcceptMode mode = AcceptMode::V1;
    int baud = 0;
    std::string script;
    std::string log;
    bool exitOnEof = false;
    std::vector<Fault> faults;
};

void usage(FILE* f)
{
    std::fprintf(f,
        "usage: kova_sim [--link PATH] [--variant 1|0|any] [--baud 9600|19200] [--script FILE]\n"
        "                [--log FILE|-] [--fault NAME]... [--exit-on-eof]\n"
        "Plays a KOVA panel on a pseudo-terminal reachable as PATH (default /tmp/kova-panel).\n"
        "Faults: silent nak-stx nak-block garbage stall overlong close. Commands on stdin; 'help' lists them.\n");
}

bool parseOptions(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kova_sim: %s needs a value\n", a.c_str());
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            std::exit(0);
        } else if (a == "--link") {
            if (!value(o.link) || o.link.empty())
                return false;
        } else if (a == "--variant") {
            if (!value(v))
                return false;
            if (v == "1") o.mode = AcceptMode::V1;
            else if (v == "0") o.mode = AcceptMode::V0;
            else if (v == "any") o.mode = AcceptMode::Any;
            else {
                std::fprintf(stderr, "kova_sim: --variant takes 1, 0 or any\n");
                return false;
            }
        } else if (a == "--baud") {
            if (!value(v))
                return false;
            if (v != "9600" && v != "19200") {
                std::fprintf(stderr, "kova_sim: --baud takes 9600 or 19200\n");
                return false;
            }
            o.baud = std::atoi(v.c_str());
        } else if (a == "--script") {
            if (!value(o.script))
                return false;
        } else if (a == "--log") {
            if (!value(o.log))
                return false;
        } else if (a == "--fault") {
            if (!value(v))
                return false;
            const auto f = faultFromName(v);
            if (!f) {
                std::fprintf(stderr, "kova_sim: unknown fault '%s'\n", v.c_str());
                return false;
            }
            o.faults.push_back(*f);
        } else if (a == "--exit-on-eof") {
            o.exitOnEof = true;
        } else {
            std::fprintf(stderr, "kova_sim: unknown option '%s'\n", a.c_str());
            return false;
        }
    }
    return true;
}

// ---- the pseudo-terminal and its name --------------------------------------------------------

class Pty {
public:
    ~Pty() { close(); }

    bool open(std::string& err)
    {
        close();
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
            err = std::string("pseudo-terminal: ") + std::strerror(errno);
            close();
            return false;
        }
        const char* name = ::ptsname(m_master);
        if (!name) {
            err = std::string("ptsname: ") + std::strerror(errno);
            close();
            return false;
        }
        m_slaveName = name;
        termios t{};
        if (::tcgetattr(m_master, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(m_master, TCSANOW, &t);
        }
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
        // Holding the slave open ourselves keeps the master from reporting a hang-up over and over
        // while no program has the port open, so poll() can sleep.
        m_slave = ::open(m_slaveName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return true;
    }

    void close()
    {
        if (m_slave >= 0)
            ::close(m_slave);
        if (m_master >= 0)
            ::close(m_master);
        m_slave = m_master = -1;
    }

    // Our bytes that nobody read: they would greet the next program to open the port.
    void discardUnread()
    {
        if (m_slave >= 0)
            ::tcflush(m_slave, TCIFLUSH);
    }

    int master() const { return m_master; }
    bool isOpen() const { return m_master >= 0; }
    const std::string& slaveName() const { return m_slaveName; }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slaveName;
};

bool placeLink(const std::string& path, const std::string& target, std::string& err)
{
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        err = path + " exists and is not a symbolic link; not replacing it";
        return false;
    }
    // A new link under a temporary name renamed over the old one: the path never vanishes for a
    // program that is about to open it, and a stale link from an earlier run is replaced.
    const std::string tmp = path + ".new" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        err = "cannot create " + path + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

void removeLink(const std::string& path, const std::string& target)
{
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == target)
        ::unlink(path.c_str()); // only our own link; another simulator may have taken the path over
}

// ---- the program -----------------------------------------------------------------------------

class Sim : public LineSink {
public:
    explicit Sim(Options o)
        : m_opt(std::move(o)), m_engine(*this, m_opt.mode),
          m_byteUs(m_opt.baud ? (11 * 1000000 + m_opt.baud - 1) / m_opt.baud : 0)
    {
    }

    int run();

    // LineSink
    void sendBytes(std::span<const std::uint8_t> bytes) override
    {
        if (!m_pty.isOpen())
            return;
        if (m_out.empty() && m_byteUs && !m_txDue)
            m_txDue = std::max(nowUs(), m_txFree) + m_byteUs;
        if (m_out.size() + bytes.size() > kMaxOut) {
            note("output backlog full (nobody reads the port): " + std::to_string(bytes.size()) + " bytes dropped");
            return;
        }
        m_out.insert(m_out.end(), bytes.begin(), bytes.end());
    }
    void hangUp(int replugAfterMs) override
    {
        m_hangUpRequested = true;
        m_replugAfterMs = replugAfterMs;
    }
    void discardUnread() override
    {
        m_out.clear();
        m_pty.discardUnread();
    }
    void note(std::string_view line) override
    {
        logLine("---", std::string(line));
        m_recent.emplace_back(line);
        while (m_recent.size() > 6)
            m_recent.pop_front();
        m_dirty = true;
    }

private:
    static constexpr std::size_t kMaxOut = 64 * 1024;
    static constexpr std::size_t kMaxRx = 64 * 1024;
    static constexpr std::size_t kMaxLine = 64 * 1024;
    static constexpr Us kHupBackoffUs = 100000;

    bool openLog();
    void logLine(const char* tag, const std::string& text);
    void logBytes(const char* dir, const std::uint8_t* p, std::size_t n);
    bool plug(std::string& err);
    void unplug();
    void print(const std::string& line);
    void runLine(const std::string& line);
    void processCommands(Us now);
    void readMaster(Us now);
    void deliverInput(Us now);
    void writeOutput(Us now);
    void readStdin();
    void handleKey(char c);
    void setupTerminal();
    void restoreTerminal();
    void draw(Us now);
    std::optional<Us> nextWake(Us now) const;

    Options m_opt;
    Engine m_engine;
    Pty m_pty;
    Us m_byteUs;
    FILE* m_log = nullptr;
    bool m_running = true;

    std::deque<std::uint8_t> m_out;
    Us m_txFree = 0;            // when the last byte written has crossed the line
    std::optional<Us> m_txDue;  // when the next byte will have crossed it
    bool m_outBlocked = false;
    std::deque<std::pair<std::uint8_t, Us>> m_in;
    Us m_rxLast = 0;
    Us m_hupUntil = 0;

    bool m_hangUpRequested = false;
    int m_replugAfterMs = -1;
    std::optional<Us> m_replugAt;

    std::deque<std::string> m_commands;
    std::string m_partial;
    bool m_stdinOpen = true;
    bool m_quitWhenDrained = false;
    std::optional<Us> m_waitUntil;

    // Interactive view
    bool m_interactive = false;
    bool m_termSaved = false;
    termios m_savedTerm{};
    enum class Mode { Keys, Faults, Command } m_mode = Mode::Keys;
    std::string m_cmdLine;
    std::deque<std::string> m_recent;
    std::deque<std::string> m_messages;
    bool m_dirty = true;
    Us m_lastDraw = -1000000;
};

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
    if (m_log)
        std::fprintf(m_log, "%10.1f %s %s\n", static_cast<double>(nowUs()) / 1000.0, tag, text.c_str());
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
    CommandResult r = runCommand(m_engine, line, toMs(now));
    if (!r.lines.empty() || r.control != CommandResult::Control::None)
        logLine("cmd", line);
    for (const auto& l : r.lines)
        print(l);
    std::string err;
    switch (r.control) {
    case CommandResult::Control::None:
        break;
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
    case CommandResult::Control::Wait:
        m_waitUntil = now + static_cast<Us>(r.waitMs) * 1000;
        break;
    case CommandResult::Control::Quit:
        m_running = false;
        break;
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

// ---- interactive view ------------------------------------------------------------------------

void Sim::setupTerminal()
{
    if (::tcgetattr(STDIN_FILENO, &m_savedTerm) != 0)
        return;
    m_termSaved = true;
    termios t = m_savedTerm;
    t.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO)); // ISIG stays: Ctrl-C ends us cleanly
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &t);
    std::fputs("\x1b[?1049h\x1b[?25l", stdout);
    std::fflush(stdout);
}

void Sim::restoreTerminal()
{
    if (!m_termSaved)
        return;
    std::fputs("\x1b[?25h\x1b[?1049l", stdout);
    std::fflush(stdout);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &m_savedTerm);
    m_termSaved = false;
}

void Sim::handleKey(char c)
{
    m_dirty = true;
    if (m_mode == Mode::Command) {
        if (c == '\r' || c == '\n') {
            m_mode = Mode::Keys;
            if (!m_cmdLine.empty())
                m_commands.push_back(m_cmdLine);
            m_cmdLine.clear();
        } else if (c == 0x1B) {
            m_mode = Mode::Keys;
            m_cmdLine.clear();
        } else if ((c == 0x7F || c == 0x08) && !m_cmdLine.empty()) {
            m_cmdLine.pop_back();
        } else if (c >= 0x20 && c < 0x7F && m_cmdLine.size() < 200) {
            m_cmdLine += c;
        }
        return;
    }
    if (m_mode == Mode::Faults) {
        m_mode = Mode::Keys;
        if (c >= '1' && c < '1' + static_cast<int>(Fault::Count)) {
            const Fault f = static_cast<Fault>(c - '1');
            m_commands.push_back("fault " + std::string(faultName(f)) + (m_engine.fault(f) ? " off" : " on"));
        } else if (c == '0') {
            m_commands.push_back("faults off");
        }
        return;
    }
    int key = 0;
    if (c >= '1' && c <= '9')
        key = c - '0';
    else if (c == '0')
        key = 10;
    else if (c == '-')
        key = 11;
    else if (c == '=')
        key = 12;
    if (key) {
        m_commands.push_back(m_engine.panel().key() == key ? "release" : "press " + std::to_string(key));
        return;
    }
    const Panel& p = m_engine.panel();
    switch (c) {
    case 'a': m_commands.push_back("sel1 " + std::to_string(std::min(12, p.selector1() + 1))); break;
    case 'z': m_commands.push_back("sel1 " + std::to_string(std::max(1, p.selector1() - 1))); break;
    case 's': m_commands.push_back("sel2 " + std::to_string(std::min(12, p.selector2() + 1))); break;
    case 'x': m_commands.push_back("sel2 " + std::to_string(std::max(1, p.selector2() - 1))); break;
    case 'f': m_mode = Mode::Faults; break;
    case ':': m_mode = Mode::Command; break;
    case 'q': m_running = false; break;
    default: break;
    }
}

void Sim::draw(Us now)
{
    const Panel& p = m_engine.panel();
    const bool bright = (toMs(now) / 600) % 2 == 0;
    std::string s = "\x1b[H";
    auto line = [&s](const std::string& l) { s += l + "\x1b[K\n"; };

    const char* mode = m_opt.mode == AcceptMode::V1 ? "1" : m_opt.mode == AcceptMode::V0 ? "0" : "any";
    const Variant v = m_engine.lastVariant();
    line("\x1b[1mKOVA virtual panel\x1b[0m  " + m_opt.link + " -> "
         + (m_pty.isOpen() ? m_pty.slaveName() : std::string("(none)")) + "  line "
         + (m_engine.lineUp() ? "\x1b[32mUP\x1b[0m" : "\x1b[31mDOWN\x1b[0m") + "  accepts v" + mode
         + "  last v" + (v == Variant::None ? std::string("-") : std::to_string(static_cast<int>(v))));
    line("");
    for (int r = -1; r <= Panel::kRows; ++r) {
        std::string l = "  ";
        if (r < 0 || r == Panel::kRows) {
            l += "+---------------+";
        } else {
            l += "|";
            for (char ch : p.rowText(r))
                l += (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) >= 0x7F) ? '.' : ch;
            l += "|";
        }
        l += "    ";
        const int ledRow = r - 1;
        if (r == -1) {
            l += "LEDs";
        } else if (ledRow >= 0 && ledRow < 3) {
            for (int k = ledRow * 4; k < ledRow * 4 + 4; ++k) {
                const Led led = p.led(k);
                const bool lit = led == Led::On || (led == Led::Flashing && bright);
                const bool held = p.key() == k + 1;
                char num[16];
                std::snprintf(num, sizeof num, "%2d", k + 1);
                l += held ? "\x1b[1;31m[\x1b[0m" : " ";
                l += lit ? "\x1b[30;43m" : "\x1b[37;100m";
                l += num;
                l += led == Led::Flashing ? "~" : " ";
                l += "\x1b[0m";
                l += held ? "\x1b[1;31m]\x1b[0m" : " ";
            }
        } else if (ledRow == 4) {
            l += "key " + (p.key() ? std::to_string(p.key()) : std::string("-")) + "   sel1 "
                 + std::to_string(p.selector1()) + "   sel2 " + std::to_string(p.selector2());
        }
        line(l);
    }
    const Counters& c = m_engine.counters();
    std::string faults;
    for (int i = 0; i < static_cast<int>(Fault::Count); ++i)
        if (m_engine.fault(static_cast<Fault>(i)))
            faults += " " + std::string(faultName(static_cast<Fault>(i)));
    if (m_engine.randomFaultsOn())
        faults += " random";
    line("");
    line("  rx " + std::to_string(c.received) + "  tx " + std::to_string(c.sent) + "  refused "
         + std::to_string(c.refused) + "  aborted " + std::to_string(c.rxAborted) + "  failed "
         + std::to_string(c.txFailed) + "  collisions " + std::to_string(c.collisions) + "  queued "
         + std::to_string(m_engine.queued()) + "   faults:" + (faults.empty() ? " none" : faults));
    line("");
    for (std::size_t i = 0; i < 6; ++i)
        line("  " + (i < m_recent.size() ? m_recent[i].substr(0, 110) : std::string()));
    line("");
    for (std::size_t i = 0; i < 4; ++i)
        line("  " + (i < m_messages.size() ? m_messages[i].substr(0, 110) : std::string()));
    if (m_mode == Mode::Command) {
        line("  : " + m_cmdLine + "_");
    } else if (m_mode == Mode::Faults) {
        std::string menu = "  toggle fault:";
        for (int i = 0; i < static_cast<int>(Fault::Count); ++i)
            menu += " " + std::to_string(i + 1) + " " + std::string(faultName(static_cast<Fault>(i)))
                + (m_engine.fault(static_cast<Fault>(i)) ? "*" : "");
        line(menu + "  0 all off");
    } else {
        line("");
    }
    line("\x1b[2m  1-9 0 - = press/release key   a/z sel1 +/-   s/x sel2 +/-   f faults   : command   q quit\x1b[0m");
    s += "\x1b[J";
    std::fputs(s.c_str(), stdout);
    std::fflush(stdout);
    m_lastDraw = now;
    m_dirty = false;
}

// ---- the loop --------------------------------------------------------------------------------

std::optional<Us> Sim::nextWake(Us now) const
{
    std::optional<Us> next;
    auto consider = [&next](Us t) { next = next ? std::min(*next, t) : t; };
    if (const auto d = m_engine.nextDeadline())
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

} // namespace

int main(int argc, char** argv)
{
    Options opt;
    if (!parseOptions(argc, argv, opt)) {
        usage(stderr);
        return 2;
    }
    if (::pipe(g_sigPipe) != 0) {
        std::perror("kova_sim: pipe");
        return 1;
    }
    for (int fd : g_sigPipe) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Sim sim(std::move(opt));
    return sim.run();
}
