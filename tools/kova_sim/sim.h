#pragma once

// The simulator: the panel's engine on a pseudo-terminal, fed by commands on standard input and
// shown live when that input is a terminal.

#include "engine.h"
#include "operator.h"
#include "options.h"
#include "pty.h"
#include "sim_clock.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <termios.h>
#include <utility>

namespace kova_sim {

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
    Operator m_operator;
    Pty m_pty;
    Us m_byteUs;
    FILE* m_log = nullptr;
    bool m_running = true;

    std::deque<std::uint8_t> m_out;
    Us m_txFree = 0;           // when the last byte written has crossed the line
    std::optional<Us> m_txDue; // when the next byte will have crossed it
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

} // namespace kova_sim
