#include "panel_check.h"

#include "headless.h"
#include "kova_version.h"
#include "panel_driver.h"
#include "perm_report.h"
#include "port_config.h"
#include "safe_file.h"
#include "stop_signals.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QThread>
#include <QXmlStreamWriter>

#include <algorithm>
#include <deque>
#include <map>
#include <random>
#ifdef _WIN32
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#define isatty _isatty
#else
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

QJsonArray IntArray(const std::vector<int>& values)
{
    QJsonArray array;
    for (int n : values)
        array.append(n);
    return array;
}

// A serial number as part of a file name: anything but letters, digits, '.', '_' and '-' becomes
// '_', so a number with a slash or a blank still names one file in the report folder.
QString FileNamePart(const QString& text)
{
    QString part;
    for (const QChar ch : text)
        part +=
            (ch.isLetterOrNumber() && ch.unicode() < 0x80) || ch == u'.' || ch == u'_' || ch == u'-' ? ch : QChar(u'_');
    return part;
}

// What one wait for the operator ended with.
struct CWaitResult {
    enum class Kind { Event, Deadline, Stop, Lost, Answer };
    Kind kind = Kind::Deadline;
    CPanelEvent event;
    bool bYes = false; // for Answer: y or n typed on the terminal
};

class CPanelCheck final : private IPanelDriverObserver {
public:
    CPanelCheck(const CCommandLine& commandLine, std::FILE* pOut, std::FILE* pErr)
        : m_cmd(commandLine), m_pOut(pOut), m_pErr(pErr), m_driver(nullptr, nullptr, commandLine.strTrace),
          m_nTimeoutMs(int64_t{commandLine.nTimeoutS} * 1000), m_bTerminal(::isatty(0) != 0)
    {
        // The operator must see each LED and prompt: a telegram a report crossed goes again.
        m_driver.SetTries(kCrossedTries);
        m_driver.AddObserver(this);
    }
    ~CPanelCheck() override { m_driver.RemoveObserver(this); }
    CPanelCheck(const CPanelCheck&) = delete;
    CPanelCheck& operator=(const CPanelCheck&) = delete;

    int Run();

private:
    // Every report the driver hears, alone or carried in a reply, in the order it came.
    void OnPanelEvent(const CPanelEvent& event) override { m_events.push_back(event); }

    // Prompts: the LCD rows given (1 to 8 from the top), the rest blank, and one line of text.
    CExchange Prompt(const std::map<int, QString>& rows, const QString& line);
    void Say(const QString& line) { m_bSaid = Print(m_pOut, line + QLatin1Char('\n')) && m_bSaid; }
    CWaitResult Wait(int64_t nDeadlineMs, bool bAnswers = false);
    // Throws away reports left from the item before, so each item hears only its own.
    void Drain();
    // Throws away what was typed on the terminal and not yet read.
    void DiscardTypedAhead();
    void BuildItems();
    void RunItem(CCheckItem& item);
    void AtRest(CCheckItem& item);
    void Key(CCheckItem& item, int nStep);
    void Selector(CCheckItem& item);
    void Lamps(CCheckItem& item);
    void Lcd(CCheckItem& item);
    // Asks a yes/no question; false when the wait ended without an answer (stop, lost link).
    void Ask(CCheckItem& item, const QString& strQuestion, const std::map<int, QString>& rows);
    bool Reconnect();
    void Abort(int nSignal, size_t nFrom);
    int Finish();
    static void Fail(CCheckItem& item, const QString& strReason)
    {
        item.strOutcome = QStringLiteral("fail");
        item.strReason = strReason;
    }

    const CCommandLine& m_cmd;
    CPortSetup m_ports; // read once at the start, as every run does
    std::FILE* m_pOut;
    std::FILE* m_pErr;
    CPanelDriver m_driver;
    int64_t m_nTimeoutMs;
    bool m_bTerminal;
    bool m_bStdinOpen = true;
    bool m_bSaid = true;
    int m_nStopSignal = 0;
    bool m_bLost = false;
    std::deque<CPanelEvent> m_events; // heard and not yet taken by a wait
    std::vector<int> m_stuckKeys;     // keys found held at rest; told once there, not again per key
    CCheckRecord m_record;
    QString m_strReportPath;
};

CExchange CPanelCheck::Prompt(const std::map<int, QString>& rows, const QString& line)
{
    std::array<QString, kLcdRows> lcd;
    for (const auto& [nRow, text] : rows)
        lcd[static_cast<size_t>(nRow - 1)] = text;
    const CExchange exchange = m_driver.WriteRows(lcd);
    Say(line);
    return exchange;
}

CWaitResult CPanelCheck::Wait(int64_t nDeadlineMs, bool bAnswers)
{
    CWaitResult result;
    for (;;) {
        if (PendingStopSignal() != 0) {
            m_nStopSignal = PendingStopSignal();
            result.kind = CWaitResult::Kind::Stop;
            return result;
        }
        if (!m_events.empty()) {
            // A report that came after the deadline does not answer this wait; it stays for the next.
            if (m_events.front().tMs > nDeadlineMs) {
                result.kind = CWaitResult::Kind::Deadline;
                return result;
            }
            result.kind = CWaitResult::Kind::Event;
            result.event = m_events.front();
            m_events.pop_front();
            return result;
        }
        if (!m_driver.State().bLinkUp) {
            m_bLost = true;
            result.kind = CWaitResult::Kind::Lost;
            return result;
        }
        if (m_driver.InputWaiting()) {
            m_driver.Poll();
            continue;
        }
        const int64_t nNow = m_driver.NowMs();
        if (nNow >= nDeadlineMs) {
            result.kind = CWaitResult::Kind::Deadline;
            return result;
        }
        // Short slices, so a stop signal is seen at once even where it does not cut the wait short.
        const int nSliceMs = static_cast<int>(std::min<int64_t>(nDeadlineMs - nNow, 100));
        const bool bStdin = bAnswers && m_bTerminal && m_bStdinOpen;
#ifdef _WIN32
        (void)bStdin;
        QThread::msleep(static_cast<unsigned long>(std::min(nSliceMs, 10)));
#else
        pollfd fds[2] = {{m_driver.PollDescriptor(), POLLIN, 0}, {0, POLLIN, 0}};
        const nfds_t nFds = bStdin ? 2 : 1;
        if (fds[0].fd < 0) {
            QThread::msleep(static_cast<unsigned long>(std::min(nSliceMs, 10)));
            continue;
        }
        if (::poll(fds, nFds, nSliceMs) > 0 && bStdin && (fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            char buf[64];
            const ssize_t n = ::read(0, buf, sizeof buf);
            if (n <= 0)
                m_bStdinOpen = false;
            for (ssize_t i = 0; i < n; ++i) {
                const char ch = buf[i];
                if (ch == 'y' || ch == 'Y' || ch == 'n' || ch == 'N') {
                    result.kind = CWaitResult::Kind::Answer;
                    result.bYes = ch == 'y' || ch == 'Y';
                    return result;
                }
            }
        }
#endif
    }
}

void CPanelCheck::DiscardTypedAhead()
{
#ifdef _WIN32
    FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
#else
    ::tcflush(0, TCIFLUSH);
#endif
}

void CPanelCheck::Drain()
{
    while (m_driver.State().bLinkUp && m_driver.InputWaiting())
        m_driver.Poll();
    m_events.clear();
}

void CPanelCheck::BuildItems()
{
    auto& items = m_record.items;
    const auto add = [&items](const QString& name, const QString& group, int n = 0) {
        CCheckItem item;
        item.strName = name;
        item.strGroup = group;
        item.nKey = n;
        items.push_back(item);
    };
    add(QStringLiteral("at rest"), QStringLiteral("at-rest"));
    // The keys in an order of their own for each run, so that an operator cannot press them by
    // habit; the seed in the report gives the same order again.
    std::vector<int> keys(kKeyCount);
    for (int k = 0; k < kKeyCount; ++k)
        keys[static_cast<size_t>(k)] = k + 1;
    std::mt19937 rng(m_record.nSeed);
    // Fisher-Yates by hand: std::shuffle may differ between standard libraries, mt19937 does not.
    for (size_t i = keys.size() - 1; i > 0; --i)
        std::swap(keys[i], keys[rng() % (i + 1)]);
    for (int k : keys)
        add(QStringLiteral("key %1").arg(k), QStringLiteral("keys"), k);
    add(QStringLiteral("selector 1"), QStringLiteral("selectors"), 1);
    add(QStringLiteral("selector 2"), QStringLiteral("selectors"), 2);
    add(QStringLiteral("lamps on"), QStringLiteral("lamps"), kLedOn);
    add(QStringLiteral("lamps flashing"), QStringLiteral("lamps"), kLedFlashing);
    add(QStringLiteral("lamps off"), QStringLiteral("lamps"), kLedOff);
    add(QStringLiteral("lcd"), QStringLiteral("lcd"));
}

void CPanelCheck::RunItem(CCheckItem& item)
{
    Drain();
    if (item.strGroup == QLatin1String("at-rest"))
        AtRest(item);
    else if (item.strGroup == QLatin1String("keys"))
        Key(item, static_cast<int>(&item - &m_record.items[1]) + 1);
    else if (item.strGroup == QLatin1String("selectors"))
        Selector(item);
    else if (item.strGroup == QLatin1String("lamps"))
        Lamps(item);
    else
        Lcd(item);
    if (!m_bLost && !m_driver.State().bLinkUp)
        m_bLost = true;
    if (m_bLost && m_nStopSignal == 0)
        Fail(item, QStringLiteral("link lost"));
    if (m_nStopSignal != 0 || m_bLost)
        return;
    QString detail = item.strReason;
    if (detail.isEmpty() && item.measures.contains(QStringLiteral("held_ms")))
        detail = QStringLiteral("press after %1 ms, held %2 ms")
                     .arg(item.measures.value(QStringLiteral("press_ms")).toInteger())
                     .arg(item.measures.value(QStringLiteral("held_ms")).toInteger());
    Say(QStringLiteral("%1: %2%3")
            .arg(item.strName, item.strOutcome, detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(detail)));
}

void CPanelCheck::AtRest(CCheckItem& item)
{
    m_driver.LedsOff();
    const CExchange exchange = Prompt({{1, QStringLiteral("PANEL CHECK")}, {3, QStringLiteral("HANDS OFF")}},
                                      QStringLiteral("At rest: hands off the panel for %1 s").arg(kAtRestMs / 1000));
    const int64_t nDeadline = m_driver.NowMs() + kAtRestMs;
    std::vector<int> pressed;
    // A key held down since before the connect never sends a report of its own; the panel's
    // replies carry it, and the driver knows it from them. Held still when the time is up, it is
    // stuck; let go meanwhile, it was a hand leaving the panel at the prompt.
    int nHeldAtStart = exchange.Ok() ? m_driver.State().nKeyDown : 0;
    for (;;) {
        const CWaitResult w = Wait(nDeadline);
        if (w.kind == CWaitResult::Kind::Stop || w.kind == CWaitResult::Kind::Lost)
            return;
        if (w.kind == CWaitResult::Kind::Deadline)
            break;
        if (w.event.kind == CPanelEvent::Kind::NoKey)
            nHeldAtStart = 0;
        if (w.event.kind == CPanelEvent::Kind::Key
            && std::find(pressed.begin(), pressed.end(), w.event.n) == pressed.end())
            pressed.push_back(w.event.n);
    }
    if (nHeldAtStart != 0 && std::find(pressed.begin(), pressed.end(), nHeldAtStart) == pressed.end())
        pressed.insert(pressed.begin(), nHeldAtStart);
    item.measures.insert(QStringLiteral("wrong_keys"), IntArray(pressed));
    if (pressed.empty()) {
        item.strOutcome = QStringLiteral("pass");
        return;
    }
    m_stuckKeys = pressed;
    QStringList names;
    for (int k : pressed)
        names << QStringLiteral("key %1").arg(k);
    Fail(item, QStringLiteral("%1 pressed with hands off: stuck key or short").arg(names.join(u", ")));
}

void CPanelCheck::Key(CCheckItem& item, int nStep)
{
    const int nKey = item.nKey;
    // The prompt first, the LED last: a quick hand then never meets the prompt on the line.
    Prompt({{1, QStringLiteral("PANEL CHECK")},
            {3, QStringLiteral("PRESS THE KEY")},
            {4, QStringLiteral("UNDER THE LIT")},
            {5, QStringLiteral("LED")},
            {7, QStringLiteral("STEP %1 OF 12").arg(nStep)}},
           QStringLiteral("Step %1 of 12: press the key under the lit LED (key %2)").arg(nStep).arg(nKey));
    m_driver.SetLed(nKey, kLedOn);
    const int64_t nStart = m_driver.NowMs();
    const int64_t nDeadline = nStart + m_nTimeoutMs;
    int nPresses = 0;
    bool bReleased = false;
    int64_t nPressMs = -1;
    int64_t nReleaseMs = -1;
    int64_t nHeldMs = -1;
    std::vector<int> wrongKeys;
    for (;;) {
        // After a release the item listens a little longer, for the contact bouncing back.
        const CWaitResult w = Wait(bReleased ? nReleaseMs + kBounceWindowMs : nDeadline);
        if (w.kind == CWaitResult::Kind::Stop || w.kind == CWaitResult::Kind::Lost)
            return;
        if (w.kind == CWaitResult::Kind::Deadline)
            break;
        const CPanelEvent& e = w.event;
        if (e.kind == CPanelEvent::Kind::Key && e.n == nKey) {
            if (nPresses == 0 || bReleased) {
                if (nPresses == 0)
                    nPressMs = e.tMs;
                ++nPresses;
                bReleased = false;
            }
        } else if (e.kind == CPanelEvent::Kind::Key) {
            // A key held since the start was told at rest; it is not every key's fault again.
            if (std::find(m_stuckKeys.begin(), m_stuckKeys.end(), e.n) == m_stuckKeys.end())
                wrongKeys.push_back(e.n);
        } else if (e.kind == CPanelEvent::Kind::NoKey && nPresses > 0 && !bReleased) {
            bReleased = true;
            nReleaseMs = e.tMs;
            if (nHeldMs < 0)
                nHeldMs = nReleaseMs - nPressMs;
        }
    }
    m_driver.SetLed(nKey, kLedOff);

    item.measures.insert(QStringLiteral("presses"), nPresses);
    item.measures.insert(QStringLiteral("wrong_keys"), IntArray(wrongKeys));
    if (nPressMs >= 0)
        item.measures.insert(QStringLiteral("press_ms"), static_cast<qint64>(nPressMs - nStart));
    if (nHeldMs >= 0)
        item.measures.insert(QStringLiteral("held_ms"), static_cast<qint64>(nHeldMs));
    QStringList reasons;
    std::vector<int> told;
    for (int k : wrongKeys) {
        if (std::find(told.begin(), told.end(), k) == told.end())
            reasons << QStringLiteral("key %1 reported").arg(k);
        told.push_back(k);
    }
    if (nPresses == 0)
        reasons << QStringLiteral("no press");
    else if (!bReleased)
        reasons << QStringLiteral("not released");
    if (nPresses > 1)
        reasons << QStringLiteral("bouncing: %1 presses").arg(nPresses);
    if (reasons.isEmpty())
        item.strOutcome = QStringLiteral("pass");
    else
        Fail(item, reasons.join(QStringLiteral("; ")));
}

void CPanelCheck::Selector(CCheckItem& item)
{
    const int nSelector = item.nKey;
    Prompt({{1, QStringLiteral("PANEL CHECK")},
            {3, QStringLiteral("TURN SELECTOR %1").arg(nSelector)},
            {4, QStringLiteral("THROUGH ALL 12")},
            {5, QStringLiteral("POSITIONS")}},
           QStringLiteral("Selector %1: turn it through all 12 positions").arg(nSelector));
    // Twice the prompt time-out: twelve detents take longer than one key.
    const int64_t nDeadline = m_driver.NowMs() + 2 * m_nTimeoutMs;
    const CPanelEvent::Kind kind = nSelector == 1 ? CPanelEvent::Kind::Selector1 : CPanelEvent::Kind::Selector2;
    std::vector<int> seen;
    std::array<bool, 13> bSeen{};
    int nDistinct = 0;
    while (nDistinct < 12) {
        const CWaitResult w = Wait(nDeadline);
        if (w.kind == CWaitResult::Kind::Stop || w.kind == CWaitResult::Kind::Lost)
            return;
        if (w.kind == CWaitResult::Kind::Deadline)
            break;
        if (w.event.kind != kind || w.event.n < 1 || w.event.n > 12)
            continue;
        seen.push_back(w.event.n);
        if (!bSeen[static_cast<size_t>(w.event.n)]) {
            bSeen[static_cast<size_t>(w.event.n)] = true;
            ++nDistinct;
        }
    }
    std::vector<int> missing;
    for (int p = 1; p <= 12; ++p)
        if (!bSeen[static_cast<size_t>(p)])
            missing.push_back(p);
    item.measures.insert(QStringLiteral("positions_seen"), IntArray(seen));
    item.measures.insert(QStringLiteral("positions_missing"), IntArray(missing));
    if (missing.empty()) {
        item.strOutcome = QStringLiteral("pass");
        return;
    }
    QStringList names;
    for (int p : missing)
        names << QString::number(p);
    Fail(item, QStringLiteral("position%1 %2 never reported")
                   .arg(missing.size() > 1 ? QLatin1String("s") : QLatin1String(""), names.join(u", ")));
}

void CPanelCheck::Ask(CCheckItem& item, const QString& strQuestion, const std::map<int, QString>& rows)
{
    // The keys that answer must have passed their own items, or a terminal must be there to
    // answer on; otherwise nobody can tell yes from a broken key.
    for (const CCheckItem& other : m_record.items) {
        if ((other.strName == QLatin1String("key 1") || other.strName == QLatin1String("key 2"))
            && other.strOutcome == QLatin1String("fail") && !m_bTerminal) {
            item.strOutcome = QStringLiteral("not checked");
            item.strReason =
                QStringLiteral("%1 failed its own item and no terminal is there to answer on").arg(other.strName);
            return;
        }
    }
    std::map<int, QString> lcd = rows;
    lcd[1] = QStringLiteral("PANEL CHECK");
    lcd[6] = QStringLiteral("KEY 1 = YES");
    lcd[7] = QStringLiteral("KEY 2 = NO");
    // An answer typed before the question was asked is no answer to it.
    if (m_bTerminal && m_bStdinOpen)
        DiscardTypedAhead();
    Prompt(lcd, QStringLiteral("%1 Key 1 = yes, key 2 = no%2")
                    .arg(strQuestion, m_bTerminal ? QStringLiteral(" (or y/n and Enter here)") : QString()));
    const int64_t nDeadline = m_driver.NowMs() + m_nTimeoutMs;
    for (;;) {
        const CWaitResult w = Wait(nDeadline, true);
        if (w.kind == CWaitResult::Kind::Stop || w.kind == CWaitResult::Kind::Lost)
            return;
        if (w.kind == CWaitResult::Kind::Deadline) {
            Fail(item, QStringLiteral("no answer"));
            return;
        }
        bool bYes = w.bYes;
        if (w.kind == CWaitResult::Kind::Event) {
            if (w.event.kind != CPanelEvent::Kind::Key || (w.event.n != 1 && w.event.n != 2))
                continue;
            bYes = w.event.n == 1;
        }
        item.measures.insert(QStringLiteral("answer"), bYes ? QStringLiteral("yes") : QStringLiteral("no"));
        if (bYes)
            item.strOutcome = QStringLiteral("pass");
        else
            Fail(item, QStringLiteral("answered no"));
        return;
    }
}

void CPanelCheck::Lamps(CCheckItem& item)
{
    const int nState = item.nKey;
    if (nState == kLedOff) {
        m_driver.LedsOff();
    } else {
        for (int k = 1; k <= kKeyCount; ++k)
            m_driver.SetLed(k, nState);
    }
    const QString row3 = nState == kLedOn         ? QStringLiteral("ALL LEDS ON?")
                         : nState == kLedFlashing ? QStringLiteral("ALL FLASHING?")
                                                  : QStringLiteral("ALL LEDS OFF?");
    const QString question = nState == kLedOn         ? QStringLiteral("Are all twelve LEDs on?")
                             : nState == kLedFlashing ? QStringLiteral("Are all twelve LEDs flashing?")
                                                      : QStringLiteral("Are all twelve LEDs off?");
    Ask(item, question, {{3, row3}});
}

void CPanelCheck::Lcd(CCheckItem& item)
{
    // A checkerboard of each cell's row digit and column letter (A to O): a cell that does not
    // show leaves a hole that breaks the pattern where the operator looks.
    for (int r = 0; r < kLcdRows; ++r) {
        for (int c = 0; c < kLcdColumns; ++c) {
            const char ch = (r + c) % 2 == 0 ? static_cast<char>('1' + r) : static_cast<char>('A' + c);
            m_driver.WriteCell(r, c, 0, static_cast<uint8_t>(ch + 0x60));
        }
    }
    Say(QStringLiteral("LCD: every cell shows its row digit or its column letter; look at all 120"));
    const int64_t nDeadline = m_driver.NowMs() + kLcdHoldMs;
    for (;;) {
        const CWaitResult w = Wait(nDeadline);
        if (w.kind == CWaitResult::Kind::Stop || w.kind == CWaitResult::Kind::Lost)
            return;
        if (w.kind == CWaitResult::Kind::Deadline)
            break;
    }
    Ask(item, QStringLiteral("Did every cell of the LCD show?"),
        {{3, QStringLiteral("EVERY CELL")}, {4, QStringLiteral("SHOWN?")}});
}

bool CPanelCheck::Reconnect()
{
    const int64_t nLost = m_driver.NowMs();
    Say(QStringLiteral("The link was lost; reconnecting every %1 s for up to %2 s")
            .arg(kReconnectPeriodMs / 1000)
            .arg(m_cmd.nTimeoutS));
    for (;;) {
        const int64_t nNext = m_driver.NowMs() + kReconnectPeriodMs;
        while (m_driver.NowMs() < nNext) {
            if (PendingStopSignal() != 0) {
                m_nStopSignal = PendingStopSignal();
                return false;
            }
            QThread::msleep(50);
        }
        if (m_driver.Connect(m_cmd.nPort, m_ports.ResolveDevice(m_cmd.nPort), m_cmd.nBaud).Connected()) {
            m_bLost = false;
            m_record.nVariant = m_driver.State().nVariant;
            Say(QStringLiteral("Reconnected; the check goes on"));
            return true;
        }
        if (m_driver.NowMs() - nLost >= m_nTimeoutMs)
            return false;
    }
}

void CPanelCheck::Abort(int nSignal, size_t nFrom)
{
    m_record.strOutcome = QStringLiteral("aborted");
    m_record.strReason = QStringLiteral("ended by %1").arg(StopSignalName(nSignal));
    for (size_t i = nFrom; i < m_record.items.size(); ++i) {
        m_record.items[i].strOutcome = QStringLiteral("not run");
        m_record.items[i].strReason = m_record.strReason;
        m_record.items[i].measures = QJsonObject();
    }
    // The panel is left dark and blank, as it was before the check.
    if (m_driver.State().bLinkUp) {
        m_driver.LedsOff();
        m_driver.WriteRows({});
    }
}

int CPanelCheck::Run()
{
    m_record.strSerial = m_cmd.strSerial;
    m_record.strOperator = m_cmd.strOperator;
    m_record.strStation = QSysInfo::machineHostName();
    m_record.nPort = m_cmd.nPort;
    m_record.nBaud = m_cmd.nBaud;
    m_record.nSeed = m_cmd.seed ? *m_cmd.seed : QRandomGenerator::system()->generate();
    m_record.started = QDateTime::currentDateTime();
    BuildItems();

    QString why;
    // Both files are sure to have a place before the port opens, not only after the operator
    // has worked through every key.
    if (!CheckReportTarget(m_cmd.strReportPath, &why)) {
        Print(m_pErr, QStringLiteral("kova_en: the report cannot be written: %1\n").arg(why));
        return 2;
    }
    if (!m_cmd.strJunitPath.isEmpty() && !CheckWritable(m_cmd.strJunitPath, true, &why)) {
        Print(m_pErr, QStringLiteral("kova_en: the JUnit file cannot be written: %1\n").arg(why));
        return 2;
    }
    if (!CatchStopSignals(true))
        Print(m_pErr, QStringLiteral("kova_en: cannot catch SIGINT, SIGTERM and SIGHUP; the check ends by itself\n"));
    m_ports = SetUpPorts(m_cmd, m_pErr);
    const std::string device = m_ports.ResolveDevice(m_cmd.nPort);
    m_record.strDevice = PathFromBytes(QByteArray::fromStdString(device));
    const CConnectResult connect = m_driver.Connect(m_cmd.nPort, device, m_cmd.nBaud);
    const int nConnect = SayConnect(connect, m_driver, m_pOut, m_pErr);
    if (nConnect == 2)
        return 2;
    m_record.nVariant = m_driver.State().nVariant;
    if (nConnect != 0) {
        m_record.strOutcome = QStringLiteral("error");
        m_record.strReason =
            connect.outcome == ConnectOutcome::NotFound
                ? QStringLiteral("KOVA not found on %1").arg(PortText(m_driver.State()))
                : QStringLiteral("KOVA found on %1, but lost again during the connect").arg(PortText(m_driver.State()));
        for (CCheckItem& item : m_record.items)
            item.strReason = QStringLiteral("the panel could not be reached");
        return Finish();
    }
    Say(QStringLiteral("Panel check on %1%2, seed %3, prompts wait %4 s")
            .arg(PortText(m_driver.State()),
                 m_cmd.strSerial.isEmpty() ? QString() : QStringLiteral(", serial %1").arg(m_cmd.strSerial))
            .arg(m_record.nSeed)
            .arg(m_cmd.nTimeoutS));

    m_record.strOutcome.clear();
    for (size_t i = 0; i < m_record.items.size(); ++i) {
        CCheckItem& item = m_record.items[i];
        if (!m_cmd.checkGroups.isEmpty() && !m_cmd.checkGroups.contains(item.strGroup)) {
            item.strReason = QStringLiteral("left out (--only)");
            continue;
        }
        RunItem(item);
        if (m_nStopSignal != 0) {
            Abort(m_nStopSignal, i);
            return Finish();
        }
        if (m_bLost) {
            Say(QStringLiteral("%1: fail (link lost)").arg(item.strName));
            if (!Reconnect()) {
                if (m_nStopSignal != 0) {
                    Abort(m_nStopSignal, i + 1);
                    return Finish();
                }
                m_record.strOutcome = QStringLiteral("error");
                m_record.strReason =
                    QStringLiteral("the link was lost and did not come back within %1 s").arg(m_cmd.nTimeoutS);
                for (size_t j = i + 1; j < m_record.items.size(); ++j)
                    m_record.items[j].strReason = m_record.strReason;
                return Finish();
            }
        }
    }

    const auto firstBad = std::find_if(m_record.items.begin(), m_record.items.end(), [](const CCheckItem& item) {
        return item.strOutcome == QLatin1String("fail") || item.strOutcome == QLatin1String("not checked");
    });
    m_record.strOutcome = firstBad == m_record.items.end() ? QStringLiteral("pass") : QStringLiteral("fail");
    m_driver.LedsOff();
    std::map<int, QString> rows{
        {1, QStringLiteral("PANEL CHECK")},
        {3, firstBad == m_record.items.end() ? QStringLiteral("PASSED") : QStringLiteral("FAILED")}};
    if (firstBad != m_record.items.end())
        rows[4] = firstBad->strName.toUpper();
    Prompt(rows, firstBad == m_record.items.end() ? QStringLiteral("PASSED")
                                                  : QStringLiteral("FAILED: %1").arg(firstBad->strName));
    return Finish();
}

int CPanelCheck::Finish()
{
    m_record.ended = QDateTime::currentDateTime();
    m_driver.Close();
    int nPassed = 0;
    int nFailed = 0;
    int nNotChecked = 0;
    int nNotRun = 0;
    for (const CCheckItem& item : m_record.items) {
        nPassed += item.strOutcome == QLatin1String("pass");
        nFailed += item.strOutcome == QLatin1String("fail");
        nNotChecked += item.strOutcome == QLatin1String("not checked");
        nNotRun += item.strOutcome == QLatin1String("not run");
    }
    Say(QStringLiteral("Panel check %1%2: %3 items, %4 passed, %5 failed, %6 not checked, %7 not run")
            .arg(m_record.strOutcome,
                 m_record.strReason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(m_record.strReason))
            .arg(m_record.items.size())
            .arg(nPassed)
            .arg(nFailed)
            .arg(nNotChecked)
            .arg(nNotRun));

    int nStatus = m_record.strOutcome == QLatin1String("pass")      ? 0
                  : m_record.strOutcome == QLatin1String("aborted") ? 3
                                                                    : 1;
    QString why;
    const QByteArray json = QJsonDocument(m_record.ToJson()).toJson(QJsonDocument::Indented);
    const QString written =
        m_cmd.strReportPath.isEmpty()
            ? WriteNewFileSafely(ReportFolder() + QLatin1Char('/') + m_record.ReportFileName(), json, &why)
            : (WriteFileSafely(m_cmd.strReportPath, json, &why) ? m_cmd.strReportPath : QString());
    if (!written.isEmpty()) {
        Say(QStringLiteral("Report: %1").arg(written));
    } else {
        nStatus = 2;
        QString whyElse;
        const QString fallback = WriteFallbackFile(m_record.ReportFileName(), json, &whyElse);
        Print(m_pErr, QStringLiteral("kova_en: the report could not be written: %1\n").arg(why));
        Print(m_pErr, fallback.isEmpty() ? QStringLiteral("kova_en: nor anywhere else: %1\n").arg(whyElse)
                                         : QStringLiteral("kova_en: the report went to %1 instead\n").arg(fallback));
    }
    if (!m_cmd.strJunitPath.isEmpty()) {
        if (WriteFileSafely(m_cmd.strJunitPath, m_record.ToJUnit(), &why)) {
            Say(QStringLiteral("JUnit: %1").arg(m_cmd.strJunitPath));
        } else {
            nStatus = 2;
            Print(m_pErr, QStringLiteral("kova_en: the JUnit file could not be written: %1\n").arg(why));
        }
    }
    if (!m_bSaid && nStatus == 0) {
        Print(m_pErr, QStringLiteral("kova_en: the results could not be written to standard output\n"));
        nStatus = 2;
    }
    return nStatus;
}

} // namespace

QJsonObject CCheckRecord::ToJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("format"), QLatin1String(kCheckReportFormat));
    o.insert(QStringLiteral("program"), QStringLiteral("kova_en"));
    o.insert(QStringLiteral("version"), QStringLiteral(KOVA_VERSION));
    o.insert(QStringLiteral("serial"), strSerial);
    o.insert(QStringLiteral("operator"), strOperator);
    o.insert(QStringLiteral("station"), strStation);
    o.insert(QStringLiteral("port"), QStringLiteral("COM%1").arg(nPort));
    o.insert(QStringLiteral("device"), strDevice);
    o.insert(QStringLiteral("baud"), nBaud);
    o.insert(QStringLiteral("variant"), nVariant);
    o.insert(QStringLiteral("started"), IsoWithOffset(started));
    o.insert(QStringLiteral("ended"), IsoWithOffset(ended));
    o.insert(QStringLiteral("seed"), static_cast<qint64>(nSeed));
    o.insert(QStringLiteral("outcome"), strOutcome);
    if (!strReason.isEmpty())
        o.insert(QStringLiteral("reason"), strReason);
    QJsonArray array;
    for (const CCheckItem& item : items) {
        QJsonObject i = item.measures;
        i.insert(QStringLiteral("name"), item.strName);
        i.insert(QStringLiteral("outcome"), item.strOutcome);
        if (item.strOutcome != QLatin1String("pass"))
            i.insert(QStringLiteral("reason"), item.strReason);
        array.append(i);
    }
    o.insert(QStringLiteral("items"), array);
    return o;
}

QByteArray CCheckRecord::ToJUnit() const
{
    QByteArray xml;
    QXmlStreamWriter w(&xml);
    w.setAutoFormatting(true);
    w.writeStartDocument();
    w.writeStartElement(QStringLiteral("testsuite"));
    w.writeAttribute(QStringLiteral("name"), QStringLiteral("panel check"));
    int nFailures = 0;
    int nSkipped = 0;
    for (const CCheckItem& item : items) {
        nFailures += item.strOutcome == QLatin1String("fail");
        nSkipped += item.strOutcome == QLatin1String("not run") || item.strOutcome == QLatin1String("not checked");
    }
    w.writeAttribute(QStringLiteral("tests"), QString::number(items.size()));
    w.writeAttribute(QStringLiteral("failures"), QString::number(nFailures));
    w.writeAttribute(QStringLiteral("errors"), QString::number(strOutcome == QLatin1String("error") ? 1 : 0));
    w.writeAttribute(QStringLiteral("skipped"), QString::number(nSkipped));
    w.writeAttribute(QStringLiteral("timestamp"), IsoWithOffset(started));
    w.writeAttribute(QStringLiteral("time"), QString::number(static_cast<double>(started.msecsTo(ended)) / 1000.0));
    w.writeAttribute(QStringLiteral("hostname"), strStation);
    w.writeStartElement(QStringLiteral("properties"));
    for (const auto& [name, value] :
         {std::pair{"serial", strSerial}, std::pair{"operator", strOperator}, std::pair{"station", strStation},
          std::pair{"seed", QString::number(nSeed)}, std::pair{"outcome", strOutcome}}) {
        w.writeStartElement(QStringLiteral("property"));
        w.writeAttribute(QStringLiteral("name"), QLatin1String(name));
        w.writeAttribute(QStringLiteral("value"), value);
        w.writeEndElement();
    }
    w.writeEndElement();
    for (const CCheckItem& item : items) {
        w.writeStartElement(QStringLiteral("testcase"));
        w.writeAttribute(QStringLiteral("name"), item.strName);
        w.writeAttribute(QStringLiteral("classname"), QStringLiteral("panel check"));
        if (item.strOutcome == QLatin1String("fail")) {
            w.writeStartElement(QStringLiteral("failure"));
            w.writeAttribute(QStringLiteral("message"), item.strReason);
            w.writeEndElement();
        } else if (item.strOutcome != QLatin1String("pass")) {
            w.writeStartElement(QStringLiteral("skipped"));
            w.writeAttribute(QStringLiteral("message"), item.strOutcome + QStringLiteral(": ") + item.strReason);
            w.writeEndElement();
        }
        w.writeEndElement();
    }
    w.writeEndElement();
    w.writeEndDocument();
    return xml;
}

QString CCheckRecord::ReportFileName() const
{
    // UTC, so that the names sort by time and none repeats when the clocks go back in autumn.
    return QStringLiteral("check-%1-%2.json")
        .arg(started.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")),
             strSerial.isEmpty() ? QStringLiteral("COM%1").arg(nPort) : FileNamePart(strSerial));
}

int RunPanelCheck(const CCommandLine& commandLine, std::FILE* pOut, std::FILE* pErr)
{
    CPanelCheck check(commandLine, pOut, pErr);
    return check.Run();
}
