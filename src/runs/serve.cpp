#include "serve.h"

#include "headless.h"
#include "kova_version.h"
#include "port_config.h"
#include "port_diagnosis.h"
#include "run_console.h"
#include "stop_signals.h"
#include "string_table.h"

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#ifndef _WIN32
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// ---------------------------------------------------------------------------------------
// The session on standard input and output

#ifndef _WIN32
namespace {

// Standard output as a descriptor that never blocks. A pipe, a FIFO or a terminal is opened
// anew through /proc, so the non-blocking mode belongs to this program's own open file and not
// to the one it shares with the shell or the script that started it; a socket is written with
// MSG_DONTWAIT; a regular file never holds a writer up. Where the reopen fails, writes are cut
// to PIPE_BUF bytes and made only when poll() says the pipe takes them, which a pipe then takes
// whole without blocking.
class CServeOutput {
public:
    CServeOutput()
    {
        struct stat st = {};
        if (::fstat(STDOUT_FILENO, &st) != 0)
            return;
        if (S_ISSOCK(st.st_mode)) {
            m_mode = Mode::Socket;
        } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
            const int fd = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
            if (fd >= 0) {
                m_fd = fd;
                m_mode = Mode::Reopened;
            } else {
                m_mode = Mode::Slices;
            }
        }
    }
    ~CServeOutput()
    {
        if (m_mode == Mode::Reopened)
            ::close(m_fd);
    }
    CServeOutput(const CServeOutput&) = delete;
    CServeOutput& operator=(const CServeOutput&) = delete;

    int Descriptor() const { return m_fd; }

    // What the reader took of nLen bytes: -1 with errno EAGAIN when it takes nothing now.
    ssize_t WriteSome(const char* p, size_t nLen)
    {
        switch (m_mode) {
        case Mode::Socket: return ::send(m_fd, p, nLen, MSG_DONTWAIT | MSG_NOSIGNAL);
        case Mode::Slices: {
            pollfd fd = {m_fd, POLLOUT, 0};
            if (::poll(&fd, 1, 0) == 0) {
                errno = EAGAIN;
                return -1;
            }
            return ::write(m_fd, p, std::min<size_t>(nLen, PIPE_BUF));
        }
        case Mode::Reopened:
        case Mode::Plain: break;
        }
        return ::write(m_fd, p, nLen);
    }

private:
    enum class Mode { Plain, Reopened, Socket, Slices };
    int m_fd = STDOUT_FILENO;
    Mode m_mode = Mode::Plain;
};

// Standard input and the serial port are both watched by descriptor, so a command is read as it
// arrives and a report the moment its block is on the line, with no tick between. Replies and
// events go into a queue that is written as standard output takes it: a slow reader holds up
// neither the panel's reports nor a stop signal.
class CServeLoop : public QObject {
public:
    CServeLoop(CServeSession& session, CPanelDriver& driver, std::FILE* pErr)
        : m_session(session), m_driver(driver), m_pErr(pErr)
    {
        connect(&m_input, &QSocketNotifier::activated, this, [this] { OnInput(); });
        m_outputReady.setEnabled(false);
        connect(&m_outputReady, &QSocketNotifier::activated, this, [this] { Flush(); });
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
        m_queue += lines;
        Flush();
        if (m_bOutput && m_queue.size() - m_nHead > kServeMaxQueued) {
            Print(m_pErr, QStringLiteral("kova_en: standard output has fallen %1 MiB behind; its reader is taken "
                                         "as gone, and the session ends\n")
                              .arg(kServeMaxQueued / (1024 * 1024)));
            m_bOutput = false;
            End(2);
        }
        return m_bOutput;
    }

    // Bytes written to standard output but not yet taken by it.
    qsizetype Queued() const { return m_queue.size() - m_nHead; }

private:
    void Flush()
    {
        while (m_bOutput && m_nHead < m_queue.size()) {
            const ssize_t n =
                m_output.WriteSome(m_queue.constData() + m_nHead, static_cast<size_t>(m_queue.size() - m_nHead));
            if (n > 0) {
                m_nHead += n;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                m_outputReady.setEnabled(m_bRunning);
                return;
            }
            // The reader is gone: nobody is left to serve.
            m_bOutput = false;
            End(2);
            return;
        }
        m_outputReady.setEnabled(false);
        if (m_nHead >= m_queue.size()) {
            m_queue.clear();
            m_nHead = 0;
        } else if (m_nHead > 64 * 1024 && m_nHead > m_queue.size() / 2) {
            m_queue.remove(0, m_nHead);
            m_nHead = 0;
        }
    }

    void OnInput()
    {
        // One read per readiness: it never blocks, and a flood of input still leaves room for
        // the port's reports between two reads. Standard input keeps its blocking mode, which it
        // shares with the shell that started the program.
        char buffer[64 * 1024];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        const auto sink = [this](const QByteArray& line, bool bTooLong) {
            if (!m_bRunning || m_session.QuitAsked())
                return;
            Write(bTooLong ? m_session.TooLongLine() : m_session.HandleLine(line));
            Write(m_session.Poll());
        };
        if (n < 0) {
            // Not the end of the input: what the script sent may be lost, so it is no clean end.
            Print(m_pErr, QStringLiteral("kova_en: standard input could not be read: %1\n")
                              .arg(QString::fromLocal8Bit(std::strerror(errno))));
            End(2);
            return;
        }
        if (n == 0) {
            m_splitter.Finish(sink);
            End(0);
            return;
        }
        m_splitter.Feed(buffer, n, sink);
        if (m_session.QuitAsked())
            End(0);
        Rearm();
    }

    void OnPort()
    {
        Write(m_session.Poll());
        Rearm();
    }

    // The port's notifier follows the driver's descriptor, which a connect, a close or a lost
    // link changes; the wait timer follows the earliest pending wait.
    void Rearm()
    {
        if (!m_bRunning)
            return;
        const int fd = m_driver.PollDescriptor();
        if (fd != m_nPortFd) {
            m_pPort.reset();
            m_nPortFd = fd;
            if (fd >= 0) {
                m_pPort = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
                connect(m_pPort.get(), &QSocketNotifier::activated, this, [this] { OnPort(); });
            }
        }
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
        if (m_bOutput) {
            m_queue += m_session.EndWaits(QStringLiteral("the session ended before the panel reported it"));
            Flush();
        }
        m_input.setEnabled(false);
        m_outputReady.setEnabled(false);
        m_pPort.reset();
        m_waitTimer.stop();
        m_loop.exit(m_nStatus);
    }

    CServeSession& m_session;
    CPanelDriver& m_driver;
    std::FILE* m_pErr;
    CServeOutput m_output;
    QSocketNotifier m_input{STDIN_FILENO, QSocketNotifier::Read};
    QSocketNotifier m_outputReady{m_output.Descriptor(), QSocketNotifier::Write};
    std::unique_ptr<QSocketNotifier> m_pPort;
    int m_nPortFd = -1;
    QTimer m_waitTimer;
    QEventLoop m_loop;
    CLineSplitter m_splitter;
    QByteArray m_queue;
    qsizetype m_nHead = 0;
    bool m_bRunning = true;
    bool m_bOutput = true;
    int m_nStatus = 0;
};

} // namespace
#endif

int RunServe(const CCommandLine& commandLine, std::FILE* pErr)
{
#ifdef _WIN32
    Print(pErr, QStringLiteral("kova_en: --serve is not available on Windows\n"));
    (void)commandLine;
    return 2;
#else
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
#endif
}
