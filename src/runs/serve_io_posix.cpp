#include "serve_io.h"

#include "wait_set.h"

#include <QElapsedTimer>

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

// Standard input and output as descriptors of the loop's wait: a command is read as it arrives,
// and standard output is written from its queue whenever its reader makes room.
class CPosixServeIo final : public IServeIo {
public:
    explicit CPosixServeIo(CHandlers handlers) : m_handlers(std::move(handlers)) {}

    void Write(const QByteArray& bytes) override
    {
        if (!m_bOutput)
            return;
        m_queue += bytes;
        Flush();
    }

    qsizetype Queued() const override { return m_queue.size() - m_nHead; }

    void AddEnds(CWaitSet& wait) override
    {
        m_nInputEnd = m_bInput ? wait.AddReadable(STDIN_FILENO) : -1;
        m_nOutputEnd = m_bOutput && Queued() > 0 ? wait.AddWritable(m_output.Descriptor()) : -1;
    }

    void Serve(const CWaitSet& wait) override
    {
        if (wait.Ready(m_nOutputEnd))
            Flush();
        if (wait.Ready(m_nInputEnd))
            OnInput();
    }

    void Finish() override
    {
        m_bInput = false;
        QElapsedTimer taking;
        taking.start();
        for (;;) {
            Flush();
            if (!m_bOutput || Queued() == 0 || taking.hasExpired(kServeLastWordsMs))
                return;
            CWaitSet wait;
            wait.AddWritable(m_output.Descriptor());
            if (!wait.Wait(kServeLastWordsIdleMs))
                return;
        }
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
            m_bInput = false;
            m_handlers.onInputFailed(QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        if (n == 0)
            m_bInput = false;
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
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            // The reader is gone: nobody is left to serve.
            m_bOutput = false;
            m_handlers.onOutputGone();
            return;
        }
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
    QByteArray m_queue;
    qsizetype m_nHead = 0;
    bool m_bInput = true;
    bool m_bOutput = true;
    int m_nInputEnd = -1;
    int m_nOutputEnd = -1;
};

} // namespace

std::unique_ptr<IServeIo> MakeServeIo(IServeIo::CHandlers handlers)
{
    return std::make_unique<CPosixServeIo>(std::move(handlers));
}
