// The live view and the keys, when the simulator runs in a terminal.

#include "sim.h"

#include "commands.h"

#include <cstring>
#include <unistd.h>

namespace kova_sim {

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
         + (m_engine.lineUp() ? "\x1b[32mUP\x1b[0m" : "\x1b[31mDOWN\x1b[0m") + "  accepts v" + mode + "  last v"
         + (v == Variant::None ? std::string("-") : std::to_string(static_cast<int>(v))));
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

} // namespace kova_sim
