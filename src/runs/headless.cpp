#include "headless.h"

#include "page_store.h"
#include "panel_model.h"
#include "report_store.h"
#include "run_console.h"
#include "run_ports.h"
#include "run_reconnect.h"
#include "stop_signals.h"
#include "wait_set.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>

#include <array>

namespace {

// The window's side of the panel logic with nobody at the screen: the settings dialog is
// answered with the port and baud rate of the command line.
class CHeadlessView final : public IPanelView {
public:
    CHeadlessView(int nPortChoice, int nBaudChoice) : m_nPortChoice(nPortChoice), m_nBaudChoice(nBaudChoice) {}

    bool RunSerialDialog(int& nPortChoice, int& nBaudChoice) override
    {
        nPortChoice = m_nPortChoice;
        nBaudChoice = m_nBaudChoice;
        return true;
    }
    bool RunTextInputDialog(std::array<QString, kLcdRows>&) override { return false; }
    // The boxes are not shown; the run tells the user from the driver's results instead.
    void ShowMessage(int) override {}

private:
    int m_nPortChoice;
    int m_nBaudChoice;
};

} // namespace

namespace {

QString SelectorText(int nSelector, int nPosition)
{
    if (nPosition < 1 || nPosition > 12)
        return QStringLiteral("selector %1 position unknown").arg(nSelector);
    return QStringLiteral("selector %1 at %2").arg(nSelector).arg(nPosition);
}

// The permanence test on the poll tick of the window, with reconnects after a lost link. Between
// two ticks it blocks in the runs' one wait, which a stop request ends at once.
class CHeadlessRun {
public:
    CHeadlessRun(CPanelModel& model, int64_t nDurationMs, std::FILE* pErr)
        : m_model(model), m_nDurationMs(nDurationMs), m_pErr(pErr), m_bTerminal(TakesEscapes(pErr))
    {
        m_elapsed.start();
        m_lastProgress.start();
    }

    // Runs until its duration or a stop request.
    void Run()
    {
        m_model.OnPermTestStart();
        int64_t nNextTickMs = kTickMs;
        while (!m_bFinished) {
            if (PendingStopSignal() != 0) {
                Finish(StopSignalName(PendingStopSignal()));
                return;
            }
            const int64_t nLeft = nNextTickMs - m_elapsed.elapsed();
            if (nLeft > 0) {
                CWaitSet wait;
                wait.AddStop();
                wait.Wait(static_cast<int>(nLeft));
                continue;
            }
            // A tick that came late (a long exchange) is not made up for with a burst of ticks.
            nNextTickMs = std::max<int64_t>(nNextTickMs + kTickMs, m_elapsed.elapsed() + 1);
            OnTick();
        }
    }

private:
    // The window's poll tick.
    static constexpr int64_t kTickMs = 200;

    void OnTick()
    {
        m_model.OnTimer();
        if (!m_model.m_link.m_bOpen)
            Reconnect();
        Progress(false);
        if (m_nDurationMs > 0 && m_elapsed.elapsed() >= m_nDurationMs)
            Finish(QStringLiteral("duration"));
    }

    void Reconnect()
    {
        const int64_t nNow = m_model.m_link.Clock().NowMs64();
        m_reconnect.Lost(nNow);
        if (!m_reconnect.Due(nNow))
            return;
        m_model.OnResetPanel();
        if (m_model.LastConnect().Connected()) {
            m_reconnect.Through();
            m_model.OnPermTestStart();
        } else {
            m_reconnect.Failed(nNow);
        }
    }

    void Progress(bool bLast)
    {
        const CPermRecord* pRun = m_model.PermRun();
        if (pRun == nullptr || !m_bProgress)
            return;
        const QString line = pRun->Figures(m_model.m_link.Clock().NowMs64(), m_model.Stats().Counts());
        // A terminal that closed or a reader that went away ends the progress lines, not the run.
        if (m_bTerminal) {
            m_bProgress =
                Print(m_pErr, QStringLiteral("\r%1\x1b[K%2").arg(line, bLast ? QStringLiteral("\n") : QString()));
        } else if (m_lastProgress.elapsed() >= 60000) {
            m_lastProgress.start();
            m_bProgress = Print(m_pErr, line + QLatin1Char('\n'));
        }
    }

    void Finish(const QString& strWhy)
    {
        if (m_bFinished)
            return;
        m_bFinished = true;
        Progress(true);
        if (m_model.m_link.m_bOpen) {
            m_model.m_strPermStopReason = strWhy;
            m_model.OnPermTestStop();
        } else {
            m_model.EndPermRun(strWhy);
        }
    }

    CPanelModel& m_model;
    int64_t m_nDurationMs;
    std::FILE* m_pErr;
    bool m_bTerminal;
    bool m_bProgress = true;
    bool m_bFinished = false;
    QElapsedTimer m_elapsed;
    QElapsedTimer m_lastProgress;
    CReconnectPacer m_reconnect; // for ever: the run goes on until its duration or a stop
};

} // namespace

int RunProbe(const CCommandLine& commandLine, std::FILE* pOut, std::FILE* pErr)
{
    const CPortSetup ports = SetUpPorts(commandLine, pErr);
    CPanelDriver driver(nullptr, nullptr, commandLine.strTrace);
    const CConnectResult result =
        driver.Connect(commandLine.nPort, ports.ResolveDevice(commandLine.nPort), commandLine.nBaud);
    if (const int status = SayConnect(result, driver, pOut, pErr); status != 0)
        return status;
    const CPanelState& state = driver.State();
    const bool bSaid = Print(pOut, QStringLiteral("KOVA found on %1: block-check variant %2, %3, %4\n")
                                       .arg(PortText(state))
                                       .arg(state.nVariant)
                                       .arg(SelectorText(1, state.nSelector1), SelectorText(2, state.nSelector2)));
    driver.Close();
    return bSaid ? 0 : 2;
}

int RunPermanenceTest(const CCommandLine& commandLine, std::FILE* pOut, std::FILE* pErr)
{
    // "-" sends the report to standard output, and the summary to standard error.
    const bool bReportToStdout = commandLine.strReportPath == QLatin1String("-");
    std::FILE* pSummary = bReportToStdout ? pErr : pOut;
    const CReportStore reports(commandLine.strReportPath, pErr);
    if (!bReportToStdout && !reports.Preflight())
        return 2;
    const CPageStore pages(commandLine.strHtmlPath, commandLine.bNoHtml, pErr);
    if (!pages.Preflight(commandLine.strReportPath))
        return 2;
    if (!CatchStopSignals())
        Print(pErr, QStringLiteral("kova_en: cannot catch SIGINT, SIGTERM and SIGHUP; the run ends at its duration\n"));
    CHeadlessView view(commandLine.nPort - 1, commandLine.nBaud == 19200 ? 1 : 0);
    CPanelModel model(view, nullptr, nullptr, {commandLine.strTrace, SetUpPorts(commandLine, pErr)});
    model.m_bWriteReports = !bReportToStdout;
    model.m_bPermRunSpansConnects = true;
    model.m_strReportPath = commandLine.strReportPath;
    // Connected as the window connects at its start, through the same settings dialog, answered
    // here; the permanence test then runs the window's own poll tick.
    model.InitState();
    model.OnSerialPort();
    if (const int status = SayConnect(model.LastConnect(), model.Driver(), pOut, pErr); status != 0)
        return status;

    {
        CHeadlessRun run(model, commandLine.nDurationMs, pErr);
        run.Run();
    }

    const CPermRecord* pRun = model.LastPermRun();
    if (pRun == nullptr)
        return 2;
    const QJsonObject report = pRun->ToJson();
    const bool bPassed = report.value(QStringLiteral("verdict")).toString() == QLatin1String("pass");
    int exitStatus = bPassed ? 0 : 1;
    bool bSaid =
        Print(pSummary, QStringLiteral("Permanence test on %1: %2 (%3), %4\n")
                            .arg(PortText(model.Driver().State()), report.value(QStringLiteral("verdict")).toString(),
                                 report.value(QStringLiteral("verdict_reason")).toString(),
                                 pRun->Figures(0, model.Stats().Counts())));
    if (bReportToStdout) {
        bSaid = Print(pOut, QString::fromUtf8(QJsonDocument(report).toJson(QJsonDocument::Indented))) && bSaid;
    } else if (!model.LastReportPath().isEmpty()) {
        bSaid = Print(pSummary, QStringLiteral("Report: %1\n").arg(model.LastReportPath())) && bSaid;
    } else {
        exitStatus = 2;
        // The results of a long run are not thrown away when the disk filled up.
        reports.Rescue(QJsonDocument(report).toJson(QJsonDocument::Indented), pRun->ReportFileName(),
                       model.LastReportError());
    }
    // The page after the report, beside it (or at --html), so that it can never cost the report.
    QString page;
    if (!pages.Write(report, bReportToStdout ? QString() : model.LastReportPath(), &page)) {
        if (exitStatus != 2)
            exitStatus = kExitPageLost;
    } else if (!page.isEmpty()) {
        bSaid = Print(pSummary, QStringLiteral("Page: %1\n").arg(page)) && bSaid;
    }
    // A summary or report that never reached its reader is no success, whatever the verdict.
    if (!bSaid) {
        Print(pErr, QStringLiteral("kova_en: the results could not be written to standard output\n"));
        exitStatus = 2;
    }
    return exitStatus;
}
