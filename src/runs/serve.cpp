#include "serve.h"

#include "kova_version.h"
#include "port_config.h"
#include "port_diagnosis.h"
#include "run_console.h"
#include "run_ports.h"
#include "serve_io.h"
#include "stop_signals.h"
#include "string_table.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

// The session on standard input, standard output and the port. Replies and events go into
// standard output's queue, written as its reader takes it: a slow reader holds up neither the
// panel's reports nor a stop signal.
class CServeLoop : public QObject {
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
                             [this] { OnPort(); },
                             [this] {
                                 // The reader is gone: nobody is left to serve.
                                 m_bOutput = false;
                                 End(2);
                             }});
        m_waitTimer.setSingleShot(true);
        m_waitTimer.setTimerType(Qt::PreciseTimer);
        connect(&m_waitTimer, &QTimer::timeout, this, [this] {
            Write(m_session.ExpireWaits());
            Rearm();
        });
        OnStopSignal(this, [this](int) { End(0); });
    }

    // Runs until the input ends, a stop signal, "quit" or a reader that went away.
    int Run()
    {
        Rearm();
        if (m_bRunning)
            m_loop.exec();
        return m_nStatus;
    }

    // Queues lines for standard output and writes what it takes now; false, and the loop ends,
    // when the reader went away or stopped taking them for good.
    bool Write(const QByteArray& lines)
    {
        if (!m_bOutput)
            return false;
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

private:
    void OnInput(const char* p, qsizetype n)
    {
        const auto sink = [this](const QByteArray& line, bool bTooLong) {
            if (!m_bRunning || m_session.QuitAsked())
                return;
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
        Rearm();
    }

    void OnPort()
    {
        Write(m_session.Poll());
        Rearm();
    }

    // The port's watch follows the driver, whose port a connect, a close or a lost link changes;
    // the wait timer follows the earliest pending wait.
    void Rearm()
    {
        if (!m_bRunning)
            return;
        m_pIo->FollowPort(m_driver);
        if (const std::optional<int64_t> deadline = m_session.NextDeadline()) {
            const int64_t nIn = std::max<int64_t>(0, *deadline - m_driver.NowMs());
            m_waitTimer.start(static_cast<int>(std::min<int64_t>(nIn, kServeMaxWaitMs)));
        } else {
            m_waitTimer.stop();
        }
    }

    // Ends at once, whatever the queue holds: the pending waits are answered as far as standard
    // output takes them now, and nothing waits for a reader that does not read.
    void End(int nStatus)
    {
        if (!m_bRunning)
            return;
        m_bRunning = false;
        m_nStatus = std::max(m_nStatus, nStatus);
        if (m_bOutput)
            m_pIo->Write(m_session.EndWaits(QStringLiteral("the session ended before the panel reported it")));
        m_pIo->Stop();
        m_waitTimer.stop();
        m_loop.exit(m_nStatus);
    }

    CServeSession& m_session;
    CPanelDriver& m_driver;
    std::FILE* m_pErr;
    std::unique_ptr<IServeIo> m_pIo;
    QTimer m_waitTimer;
    QEventLoop m_loop;
    CLineSplitter m_splitter;
    bool m_bRunning = true;
    bool m_bOutput = true;
    int m_nStatus = 0;
};

} // namespace

int RunServe(const CCommandLine& commandLine, std::FILE* pErr)
{
    if (!CatchStopSignals(true))
        Print(pErr, QStringLiteral("kova_en: cannot catch SIGINT, SIGTERM and SIGHUP\n"));
    const CPortSetup ports = SetUpPorts(commandLine, pErr);

    CPanelDriver driver(nullptr, nullptr, commandLine.strTrace);
    CServeSession session(driver, commandLine.nPort, commandLine.nBaud,
                          [&ports](int nPort) { return ports.ResolveDevice(nPort); });
    CServeLoop loop(session, driver, pErr);
    const bool bSaid = loop.Write(session.Start(QStringLiteral(KOVA_VERSION)));
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
