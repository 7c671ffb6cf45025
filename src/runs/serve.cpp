#include "serve.h"

#include "kova_version.h"
#include "port_config.h"
#include "port_diagnosis.h"
#include "run_console.h"
#include "run_ports.h"
#include "serve_io.h"
#include "stop_signals.h"
#include "string_table.h"
#include "wait_set.h"

#include <algorithm>
#include <memory>

namespace {

// The session on standard input, standard output and the port, in the runs' one wait. Replies
// and events go into standard output's queue, written as its reader takes it: a slow reader holds
// up neither the panel's reports nor a stop signal. A stop is looked at between any two lines,
// so a batch of commands already read ends at the line on the wire when the stop came.
class CServeLoop {
public:
    CServeLoop(CServeSession& session, CPanelDriver& driver, std::FILE* pErr)
        : m_session(session), m_driver(driver), m_pErr(pErr)
    {
        m_pIo = MakeServeIo({[this](const char* p, qsizetype n) { OnInput(p, n); },
                             [this](const QString& strWhy) {
                                 // Not the end of the input: what the script sent may be lost, so
                                 // it is no clean end.
                                 Print(m_pErr,
                                       QStringLiteral("kova_en: standard input could not be read: %1\n").arg(strWhy));
                                 End(2);
                             },
                             [this] {
                                 // The reader is gone: nobody is left to serve.
                                 m_bOutput = false;
                                 End(2);
                             }});
    }

    // Runs until the input ends, a stop signal, "quit" or a reader that went away.
    int Run()
    {
        while (m_bRunning) {
            if (PendingStopSignal() != 0) {
                End(0);
                break;
            }
            CWaitSet wait;
            m_pIo->AddEnds(wait);
            wait.AddPort(m_driver);
            wait.AddStop();
            wait.Wait(WaitMs());
            m_pIo->Serve(wait);
            if (!m_bRunning)
                break;
            // Whatever woke the wait, the port is read (cheap when nothing is waiting) and the
            // waits whose time has come are answered.
            Write(m_session.Poll());
            Write(m_session.ExpireWaits());
        }
        m_pIo->Finish();
        return m_nStatus;
    }

    // Queues lines for standard output and writes what it takes now; false, and the loop ends,
    // when the reader went away or stopped taking them for good.
    bool Write(const QByteArray& lines)
    {
        if (!m_bOutput || lines.isEmpty())
            return m_bOutput;
        m_pIo->Write(lines);
        if (m_bOutput && m_pIo->Queued() > kServeMaxQueued) {
            Print(m_pErr, QStringLiteral("kova_en: standard output has fallen %1 MiB behind; its reader is taken "
                                         "as gone, and the session ends\n")
                              .arg(kServeMaxQueued / (1024 * 1024)));
            m_bOutput = false;
            End(2);
        }
        return m_bOutput;
    }

    // Writes what is queued as far as the reader takes it (IServeIo::Finish).
    void Finish() { m_pIo->Finish(); }

private:
    // Until the earliest pending wait's end; no limit when none is pending.
    int WaitMs() const
    {
        const std::optional<int64_t> deadline = m_session.NextDeadline();
        if (!deadline)
            return -1;
        return static_cast<int>(std::clamp<int64_t>(*deadline - m_driver.NowMs(), 0, kServeMaxWaitMs));
    }

    void OnInput(const char* p, qsizetype n)
    {
        const auto sink = [this](const QByteArray& line, bool bTooLong) {
            if (!m_bRunning || m_session.QuitAsked())
                return;
            // A stop that came while the lines before were carried out: this one is not started.
            if (PendingStopSignal() != 0) {
                End(0);
                return;
            }
            Write(bTooLong ? m_session.TooLongLine() : m_session.HandleLine(line));
            Write(m_session.Poll());
        };
        if (n == 0) {
            m_splitter.Finish(sink);
            End(0);
            return;
        }
        m_splitter.Feed(p, n, sink);
        if (m_session.QuitAsked())
            End(0);
    }

    // Ends at once, whatever the queue holds: the pending waits are answered, and written as
    // far as standard output's reader takes them (IServeIo::Finish).
    void End(int nStatus)
    {
        if (!m_bRunning)
            return;
        m_bRunning = false;
        m_nStatus = std::max(m_nStatus, nStatus);
        if (m_bOutput)
            m_pIo->Write(m_session.EndWaits(QStringLiteral("the session ended before the panel reported it")));
    }

    CServeSession& m_session;
    CPanelDriver& m_driver;
    std::FILE* m_pErr;
    std::unique_ptr<IServeIo> m_pIo;
    CLineSplitter m_splitter;
    bool m_bRunning = true;
    bool m_bOutput = true;
    int m_nStatus = 0;
};

} // namespace

int RunServe(const CCommandLine& commandLine, std::FILE* pErr)
{
    if (!CatchStopSignals())
        Print(pErr, QStringLiteral("kova_en: cannot catch SIGINT, SIGTERM and SIGHUP\n"));
    const CPortSetup ports = SetUpPorts(commandLine, pErr);

    CPanelDriver driver(nullptr, nullptr, commandLine.strTrace);
    CServeSession session(driver, commandLine.nPort, commandLine.nBaud,
                          [&ports](int nPort) { return ports.ResolveDevice(nPort); });
    CServeLoop loop(session, driver, pErr);
    const bool bSaid = loop.Write(session.Start(QStringLiteral(KOVA_VERSION)));
    // The hello is out before the program ends, whichever way the port failed: on Windows
    // standard output is written by a thread of its own, which the end of the program would
    // otherwise take with it.
    if (session.PortError() || !bSaid)
        loop.Finish();
    if (session.PortError()) {
        Print(pErr, QStringLiteral("kova_en: COM%1: %2\n%3\n")
                        .arg(commandLine.nPort)
                        .arg(LoadString(IDS_PORT_NOT_OPENED),
                             OpenFailureDetail(driver.Link().DevicePath(), driver.Link().LastOpenErrno(),
                                               driver.Link().LastOpenError())));
        return 2;
    }
    if (!bSaid)
        return 2;
    const int nStatus = loop.Run();
    driver.Close();
    return nStatus;
}
