#include "check_dialogue.h"

#include "check_page.h"
#include "check_plan.h"
#include "check_verdicts.h"
#include "page_store.h"
#include "panel_check.h"
#include "report_store.h"
#include "run_console.h"
#include "run_reconnect.h"
#include "safe_file.h"
#include "stop_signals.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QRandomGenerator>

#include <algorithm>
#include <map>
#include <vector>

namespace {

class CPanelCheck {
public:
    CPanelCheck(const CCommandLine& commandLine, const CCheckRig& rig, std::FILE* pOut, std::FILE* pErr)
        : m_cmd(commandLine), m_rig(rig), m_pOut(pOut), m_pErr(pErr), m_driver(rig.driver),
          m_wait(rig.driver, rig.bTerminal, rig.idler), m_nTimeoutMs(int64_t{commandLine.nTimeoutS} * 1000),
          m_reports(commandLine.strReportPath, pErr), m_pages(commandLine.strHtmlPath, commandLine.bNoHtml, pErr)
    {
        // The operator must see each LED and prompt: a telegram a report crossed goes again.
        m_driver.SetTries(kCrossedTries);
    }

    int Run();

private:
    // Prompts: the LCD rows given (1 to 8 from the top), the rest blank, and one line of text.
    CExchange Prompt(const std::map<int, QString>& rows, const QString& line);
    void Say(const QString& line) { m_bSaid = Print(m_pOut, line + QLatin1Char('\n')) && m_bSaid; }
    // The next report by nDeadlineMs; false when the item ends without one (the deadline, a stop
    // signal, a lost link: the last two noted for the run).
    bool Hear(int64_t nDeadlineMs, CPanelEvent* pEvent);
    // Listens until nDeadlineMs, keeping every report heard; false when a stop or loss cut it short.
    bool ListenUntil(int64_t nDeadlineMs, std::vector<CPanelEvent>* pHeard);

    void RunItem(CCheckItem& item, int nStep);
    void AtRest(CCheckItem& item);
    void Key(CCheckItem& item, int nStep);
    void Selector(CCheckItem& item);
    void Lamps(CCheckItem& item);
    void Lcd(CCheckItem& item);
    void Ask(CCheckItem& item, const QString& strQuestion, const std::map<int, QString>& rows);
    static void Take(CCheckItem& item, const CItemVerdict& verdict)
    {
        item.outcome = verdict.outcome;
        item.strReason = verdict.strReason;
        item.faults = verdict.faults;
        item.measures = verdict.measures;
    }
    bool Reconnect();
    void Abort(int nSignal, size_t nFrom);
    int Finish();

    const CCommandLine& m_cmd;
    const CCheckRig& m_rig;
    std::FILE* m_pOut;
    std::FILE* m_pErr;
    CPanelDriver& m_driver;
    CRunWait m_wait;
    int64_t m_nTimeoutMs;
    CReportStore m_reports;
    CPageStore m_pages;
    bool m_bSaid = true;
    int m_nStopSignal = 0;
    bool m_bLost = false;
    std::vector<int> m_stuckKeys; // keys found held at rest; told once there, not again per key
    CCheckRecord m_record;
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

bool CPanelCheck::Hear(int64_t nDeadlineMs, CPanelEvent* pEvent)
{
    for (;;) {
        const CRunWait::CResult w = m_wait.Until(nDeadlineMs);
        switch (w.kind) {
        case CRunWait::CResult::Kind::Event: *pEvent = w.event; return true;
        case CRunWait::CResult::Kind::Stop: m_nStopSignal = w.nSignal; return false;
        case CRunWait::CResult::Kind::Lost: m_bLost = true; return false;
        case CRunWait::CResult::Kind::Deadline: return false;
        case CRunWait::CResult::Kind::Answer: break; // not asked for here
        }
    }
}

bool CPanelCheck::ListenUntil(int64_t nDeadlineMs, std::vector<CPanelEvent>* pHeard)
{
    CPanelEvent event;
    while (Hear(nDeadlineMs, &event))
        pHeard->push_back(event);
    return m_nStopSignal == 0 && !m_bLost;
}

void CPanelCheck::RunItem(CCheckItem& item, int nStep)
{
    m_wait.Forget();
    if (item.strGroup == QLatin1String("at-rest"))
        AtRest(item);
    else if (item.strGroup == QLatin1String("keys"))
        Key(item, nStep);
    else if (item.strGroup == QLatin1String("selectors"))
        Selector(item);
    else if (item.strGroup == QLatin1String("lamps"))
        Lamps(item);
    else
        Lcd(item);
    if (!m_bLost && !m_driver.State().bLinkUp)
        m_bLost = true;
    if (m_bLost && m_nStopSignal == 0) {
        item.outcome = CheckOutcome::Fail;
        item.strReason = QStringLiteral("link lost");
        item.faults = {CheckFault::LinkLost};
    }
    if (m_nStopSignal != 0 || m_bLost)
        return;
    QString detail = item.strReason;
    if (detail.isEmpty() && item.measures.contains(QStringLiteral("held_ms")))
        detail = QStringLiteral("press after %1 ms, held %2 ms")
                     .arg(item.measures.value(QStringLiteral("press_ms")).toInteger())
                     .arg(item.measures.value(QStringLiteral("held_ms")).toInteger());
    Say(QStringLiteral("%1: %2%3")
            .arg(item.strName, OutcomeText(item.outcome),
                 detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(detail)));
}

void CPanelCheck::AtRest(CCheckItem& item)
{
    m_driver.LedsOff();
    const CExchange exchange = Prompt({{1, QStringLiteral("PANEL CHECK")}, {3, QStringLiteral("HANDS OFF")}},
                                      QStringLiteral("At rest: hands off the panel for %1 s").arg(kAtRestMs / 1000));
    // A key held down since before the connect never sends a report of its own; the panel's
    // replies carry it, and the driver knows it from them.
    const int nHeldAtStart = exchange.Ok() ? m_driver.State().nKeyDown : 0;
    std::vector<CPanelEvent> heard;
    if (ListenUntil(m_driver.NowMs() + kAtRestMs, &heard))
        Take(item, JudgeAtRest(nHeldAtStart, heard, &m_stuckKeys));
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
    std::vector<CPanelEvent> heard;
    CPanelEvent event;
    while (Hear(KeyListensUntil(nKey, nDeadline, heard), &event))
        heard.push_back(event);
    if (m_nStopSignal != 0 || m_bLost)
        return;
    m_driver.SetLed(nKey, kLedOff);
    Take(item, JudgeKey(nKey, nStart, heard, m_stuckKeys));
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
    std::vector<CPanelEvent> heard;
    CPanelEvent event;
    while (!SelectorComplete(nSelector, heard) && Hear(nDeadline, &event))
        heard.push_back(event);
    if (m_nStopSignal == 0 && !m_bLost)
        Take(item, JudgeSelector(nSelector, heard));
}

void CPanelCheck::Ask(CCheckItem& item, const QString& strQuestion, const std::map<int, QString>& rows)
{
    if (const QString why = WhyUnanswerable(m_record.items, m_rig.bTerminal); !why.isEmpty()) {
        item.outcome = CheckOutcome::NotChecked;
        item.strReason = why;
        return;
    }
    std::map<int, QString> lcd = rows;
    lcd[1] = QStringLiteral("PANEL CHECK");
    lcd[6] = QStringLiteral("KEY 1 = YES");
    lcd[7] = QStringLiteral("KEY 2 = NO");
    // An answer typed before the question was asked is no answer to it.
    m_wait.ForgetTyped();
    Prompt(lcd, QStringLiteral("%1 Key 1 = yes, key 2 = no%2")
                    .arg(strQuestion, m_rig.bTerminal ? QStringLiteral(" (or y/n and Enter here)") : QString()));
    const int64_t nDeadline = m_driver.NowMs() + m_nTimeoutMs;
    for (;;) {
        const CRunWait::CResult w = m_wait.Until(nDeadline, true);
        switch (w.kind) {
        case CRunWait::CResult::Kind::Stop: m_nStopSignal = w.nSignal; return;
        case CRunWait::CResult::Kind::Lost: m_bLost = true; return;
        case CRunWait::CResult::Kind::Deadline: Take(item, JudgeAnswer(std::nullopt)); return;
        case CRunWait::CResult::Kind::Answer: Take(item, JudgeAnswer(w.bYes)); return;
        case CRunWait::CResult::Kind::Event:
            if (const std::optional<bool> answer = AnswerOf(w.event)) {
                Take(item, JudgeAnswer(answer));
                return;
            }
            break;
        }
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
    std::vector<CPanelEvent> ignored;
    if (ListenUntil(m_driver.NowMs() + kLcdHoldMs, &ignored))
        Ask(item, QStringLiteral("Did every cell of the LCD show?"),
            {{3, QStringLiteral("EVERY CELL")}, {4, QStringLiteral("SHOWN?")}});
}

bool CPanelCheck::Reconnect()
{
    Say(QStringLiteral("The link was lost; reconnecting every %1 s for up to %2 s")
            .arg(kReconnectPeriodMs / 1000)
            .arg(m_cmd.nTimeoutS));
    CReconnectPacer pacer(m_nTimeoutMs);
    pacer.Lost(m_driver.NowMs());
    for (;;) {
        m_nStopSignal = m_wait.Pause(pacer.NextTryMs());
        if (m_nStopSignal != 0)
            return false;
        if (m_driver.Connect(m_cmd.nPort, m_rig.resolveDevice(m_cmd.nPort), m_cmd.nBaud).Connected()) {
            m_bLost = false;
            m_record.nVariant = m_driver.State().nVariant;
            Say(QStringLiteral("Reconnected; the check goes on"));
            return true;
        }
        if (!pacer.Failed(m_driver.NowMs()))
            return false;
    }
}

void CPanelCheck::Abort(int nSignal, size_t nFrom)
{
    m_record.outcome = CheckRunOutcome::Aborted;
    m_record.strReason = QStringLiteral("ended by %1").arg(StopSignalName(nSignal));
    for (size_t i = nFrom; i < m_record.items.size(); ++i) {
        m_record.items[i].outcome = CheckOutcome::NotRun;
        m_record.items[i].strReason = m_record.strReason;
        m_record.items[i].faults.clear();
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
    m_record.strStation = m_rig.strStation;
    m_record.nPort = m_cmd.nPort;
    m_record.nBaud = m_cmd.nBaud;
    m_record.nSeed = m_cmd.seed ? *m_cmd.seed : QRandomGenerator::system()->generate();
    m_record.started = QDateTime::currentDateTime();
    m_record.items = CheckPlan(m_record.nSeed, m_cmd.checkGroups);

    // Both files are sure to have a place before the port opens, not only after the operator
    // has worked through every key.
    if (!m_reports.Preflight() || !m_pages.Preflight(m_cmd.strReportPath))
        return 2;
    QString why;
    if (!m_cmd.strJunitPath.isEmpty() && !CheckWritable(m_cmd.strJunitPath, true, &why)) {
        Print(m_pErr, QStringLiteral("kova_en: the JUnit file cannot be written: %1\n").arg(why));
        return 2;
    }
    if (!m_cmd.strJunitPath.isEmpty()
        && !CheckWritable(PathBeside(m_cmd.strJunitPath, QStringLiteral(".png")), true, &why)) {
        Print(m_pErr, QStringLiteral("kova_en: the JUnit file's picture cannot be written: %1\n").arg(why));
        return 2;
    }
    const std::string device = m_rig.resolveDevice(m_cmd.nPort);
    m_record.strDevice = PathFromBytes(QByteArray::fromStdString(device));
    const CConnectResult connect = m_driver.Connect(m_cmd.nPort, device, m_cmd.nBaud);
    const int nConnect = SayConnect(connect, m_driver, m_pOut, m_pErr);
    if (nConnect == 2)
        return 2;
    m_record.nVariant = m_driver.State().nVariant;
    if (nConnect != 0) {
        m_record.outcome = CheckRunOutcome::Error;
        m_record.strReason = ConnectFailure(connect, PortText(m_driver.State()));
        for (CCheckItem& item : m_record.items)
            item.strReason = QStringLiteral("the panel could not be reached");
        return Finish();
    }
    Say(QStringLiteral("Panel check on %1%2, seed %3, prompts wait %4 s")
            .arg(PortText(m_driver.State()),
                 m_cmd.strSerial.isEmpty() ? QString() : QStringLiteral(", serial %1").arg(m_cmd.strSerial))
            .arg(m_record.nSeed)
            .arg(m_cmd.nTimeoutS));

    int nStep = 0;
    for (size_t i = 0; i < m_record.items.size(); ++i) {
        CCheckItem& item = m_record.items[i];
        nStep += item.strGroup == QLatin1String("keys");
        if (!m_cmd.checkGroups.isEmpty() && !m_cmd.checkGroups.contains(item.strGroup))
            continue;
        const int64_t nItemStartMs = m_driver.NowMs();
        RunItem(item, nStep);
        item.nTimeMs = m_driver.NowMs() - nItemStartMs;
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
                m_record.outcome = CheckRunOutcome::Error;
                m_record.strReason =
                    QStringLiteral("the link was lost and did not come back within %1 s").arg(m_cmd.nTimeoutS);
                for (size_t j = i + 1; j < m_record.items.size(); ++j)
                    m_record.items[j].strReason = m_record.strReason;
                return Finish();
            }
        }
    }

    const auto firstBad = std::find_if(m_record.items.begin(), m_record.items.end(), [](const CCheckItem& item) {
        return item.outcome == CheckOutcome::Fail || item.outcome == CheckOutcome::NotChecked;
    });
    m_record.outcome = firstBad == m_record.items.end() ? CheckRunOutcome::Pass : CheckRunOutcome::Fail;
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
        nPassed += item.outcome == CheckOutcome::Pass;
        nFailed += item.outcome == CheckOutcome::Fail;
        nNotChecked += item.outcome == CheckOutcome::NotChecked;
        nNotRun += item.outcome == CheckOutcome::NotRun;
    }
    Say(QStringLiteral("Panel check %1%2: %3 items, %4 passed, %5 failed, %6 not checked, %7 not run")
            .arg(OutcomeText(m_record.outcome),
                 m_record.strReason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(m_record.strReason))
            .arg(m_record.items.size())
            .arg(nPassed)
            .arg(nFailed)
            .arg(nNotChecked)
            .arg(nNotRun));

    int nStatus = m_record.outcome == CheckRunOutcome::Pass ? 0 : m_record.outcome == CheckRunOutcome::Aborted ? 3 : 1;
    QString why;
    const QJsonObject report = m_record.ToJson();
    const QByteArray json = QJsonDocument(report).toJson(QJsonDocument::Indented);
    const QString written = m_reports.Write(json, m_record.ReportFileName(), &why);
    if (!written.isEmpty()) {
        Say(QStringLiteral("Report: %1").arg(written));
    } else {
        nStatus = 2;
        m_reports.Rescue(json, m_record.ReportFileName(), why);
    }
    // The page and the picture come after the report, so that neither can cost it; either lost
    // makes the status say so, unless the report itself was.
    bool bPagesLost = false;
    QString page;
    if (!m_pages.Write(report, written, &page))
        bPagesLost = true;
    else if (!page.isEmpty())
        Say(QStringLiteral("Page: %1").arg(page));
    QString picture;
    if (!m_cmd.strJunitPath.isEmpty()) {
        const QString path = QFileInfo(PathBeside(m_cmd.strJunitPath, QStringLiteral(".png"))).absoluteFilePath();
        const QByteArray png = CheckPicturePng(report);
        if (!png.isEmpty() && WriteFileSafely(path, png, &why)) {
            picture = path;
        } else {
            bPagesLost = true;
            Print(m_pErr, QStringLiteral("kova_en: the JUnit file's picture could not be written: %1\n")
                              .arg(png.isEmpty() ? QStringLiteral("it could not be drawn") : why));
        }
    }
    if (bPagesLost && nStatus != 2)
        nStatus = kExitPageLost;
    if (!m_cmd.strJunitPath.isEmpty()) {
        if (WriteFileSafely(m_cmd.strJunitPath, m_record.ToJUnit(picture), &why)) {
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

int RunCheckDialogue(const CCommandLine& commandLine, const CCheckRig& rig, std::FILE* pOut, std::FILE* pErr)
{
    CPanelCheck check(commandLine, rig, pOut, pErr);
    return check.Run();
}
