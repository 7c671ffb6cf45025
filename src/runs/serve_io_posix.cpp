#include "serve_io.h"

#include "panel_driver.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

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
// arrives and a report the moment its block is on the line, with no tick between. Standard
// output is written from a queue as it takes it.
class CPosixServeIo final : public QObject, public IServeIo {
public:
    explicit CPosixServeIo(CHandlers handlers) : m_handlers(std::move(handlers))
    {
        connect(&m_input, &QSocketNotifier::activated, this, [this] { OnInput(); });
        m_outputReady.setEnabled(false);
        connect(&m_outputReady, &QSocketNotifier::activated, this, [this] { Flush(); });
    }

    void Write(const QByteArray& bytes) override
    {
        if (!m_bOutput)
            return;
        m_queue += bytes;
        Flush();
    }

    qsizetype Queued() const override { return m_queue.size() - m_nHead; }

    void FollowPort(CPanelDriver& driver) override
    {
        if (m_bStopped)
            return;
        const int fd = driver.PollDescriptor();
        if (fd == m_nPortFd)
            return;
        m_pPort.reset();
        m_nPortFd = fd;
        if (fd >= 0) {
            m_pPort = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
            connect(m_pPort.get(), &QSocketNotifier::activated, this, [this] { m_handlers.onPort(); });
        }
    }

    void Stop() override
    {
        m_bStopped = true;
        Flush();
        m_input.setEnabled(false);
        m_outputReady.setEnabled(false);
        m_pPort.reset();
    }

private:
    void OnInput()
    {
        // One read per readiness: it never blocks, and a flood of input still leaves room for
        // the port's reports between two reads. Standard input keeps its blocking mode, which it
        // shares with the shell that started the program.
        char buffer[64 * 1024];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (n < 0) {
            m_input.setEnabled(false);
            m_handlers.onInputFailed(QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        if (n == 0)
            m_input.setEnabled(false);
        m_handlers.onInput(buffer, n);
    }

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
                m_outputReady.setEnabled(!m_bStopped);
                return;
            }
            // The reader is gone: nobody is left to serve.
            m_bOutput = false;
            m_handlers.onOutputGone();
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

    CHandlers m_handlers;
    CServeOutput m_output;
    QSocketNotifier m_input{STDIN_FILENO, QSocketNotifier::Read};
    QSocketNotifier m_outputReady{m_output.Descriptor(), QSocketNotifier::Write};
    std::unique_ptr<QSocketNotifier> m_pPort;
    int m_nPortFd = -1;
    QByteArray m_queue;
    qsizetype m_nHead = 0;
    bool m_bOutput = true;
    bool m_bStopped = false;
};

} // namespace

std::unique_ptr<IServeIo> MakeServeIo(IServeIo::CHandlers handlers)
{
    return std::make_unique<CPosixServeIo>(std::move(handlers));
}
