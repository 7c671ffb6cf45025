#include "serve_io.h"

#include "input_thread.h"
#include "panel_driver.h"
#include "win32_serial_device.h"

#include <QTimer>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// Standard output written by a thread of its own: Windows cannot write a pipe or a console
// without the chance of waiting on its reader, and the loop must never wait. The thread writes
// whatever the queue holds; Queued() counts what it has not yet written.
class COutputThread {
public:
    explicit COutputThread(std::function<void()> onGone) : m_pShared(std::make_shared<CShared>())
    {
        m_pShared->onGone = std::move(onGone);
        std::thread(Run, m_pShared).detach();
    }
    ~COutputThread()
    {
        const std::lock_guard lock(m_pShared->mutex);
        m_pShared->bAbandoned = true;
        m_pShared->onGone = nullptr;
        m_pShared->work.notify_all();
    }
    COutputThread(const COutputThread&) = delete;
    COutputThread& operator=(const COutputThread&) = delete;

    void Write(const QByteArray& bytes)
    {
        const std::lock_guard lock(m_pShared->mutex);
        m_pShared->queue += bytes;
        m_pShared->work.notify_all();
    }

    qsizetype Queued() const
    {
        const std::lock_guard lock(m_pShared->mutex);
        return m_pShared->queue.size() + m_pShared->nWriting;
    }

    // Gives the reader up to nMs to take what is queued.
    void Drain(int nMs)
    {
        std::unique_lock lock(m_pShared->mutex);
        m_pShared->work.wait_for(lock, std::chrono::milliseconds(nMs), [this] {
            return m_pShared->bGone || (m_pShared->queue.isEmpty() && m_pShared->nWriting == 0);
        });
    }

private:
    struct CShared {
        mutable std::mutex mutex;
        std::condition_variable work;
        QByteArray queue;
        qsizetype nWriting = 0;
        bool bGone = false;
        bool bAbandoned = false;
        std::function<void()> onGone;
    };

    static void Run(std::shared_ptr<CShared> pShared)
    {
        const HANDLE hOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
        for (;;) {
            QByteArray bytes;
            {
                std::unique_lock lock(pShared->mutex);
                pShared->work.wait(lock, [&] { return pShared->bAbandoned || !pShared->queue.isEmpty(); });
                if (pShared->bAbandoned)
                    return;
                bytes.swap(pShared->queue);
                pShared->nWriting = bytes.size();
            }
            qsizetype nDone = 0;
            bool bOk = true;
            while (bOk && nDone < bytes.size()) {
                DWORD n = 0;
                bOk = ::WriteFile(hOutput, bytes.constData() + nDone, static_cast<DWORD>(bytes.size() - nDone), &n,
                                  nullptr)
                      && n > 0;
                nDone += n;
                const std::lock_guard lock(pShared->mutex);
                pShared->nWriting = bytes.size() - nDone;
            }
            const std::lock_guard lock(pShared->mutex);
            pShared->work.notify_all();
            if (!bOk) {
                pShared->bGone = true;
                if (!pShared->bAbandoned && pShared->onGone)
                    pShared->onGone();
                return;
            }
        }
    }

    std::shared_ptr<CShared> m_pShared;
};

// Standard input and output on threads of their own, whose news reaches the loop as posted
// events; the port polled at the pace at which the link itself asks it while a reply is due.
class CWinServeIo final : public QObject, public IServeIo {
public:
    explicit CWinServeIo(CHandlers handlers) : m_handlers(std::move(handlers))
    {
        m_portTimer.setTimerType(Qt::PreciseTimer);
        m_portTimer.setInterval(static_cast<int>(CWin32SerialDevice::kWaitSliceMs));
        connect(&m_portTimer, &QTimer::timeout, this, [this] {
            if (m_pDriver != nullptr && m_pDriver->InputWaiting())
                m_handlers.onPort();
        });
    }

    void Write(const QByteArray& bytes) override { m_output.Write(bytes); }
    qsizetype Queued() const override { return m_output.Queued(); }

    void FollowPort(CPanelDriver& driver) override
    {
        m_pDriver = &driver;
        const bool bOpen = !m_bStopped && driver.Link().m_bOpen;
        if (bOpen && !m_portTimer.isActive())
            m_portTimer.start();
        else if (!bOpen)
            m_portTimer.stop();
    }

    void Stop() override
    {
        m_bStopped = true;
        m_bInputDone = true;
        m_portTimer.stop();
        // A reader that reads gets the last lines; one that does not is not waited on for long.
        m_output.Drain(kDrainMs);
    }

private:
    static constexpr int kDrainMs = 2000;

    void OnInput()
    {
        if (m_bInputDone)
            return;
        const CInputThread::CTaken taken = m_input.Take();
        if (!taken.bytes.isEmpty())
            m_handlers.onInput(taken.bytes.constData(), taken.bytes.size());
        if (!taken.bEnded || m_bInputDone)
            return;
        m_bInputDone = true;
        if (taken.strError.isEmpty())
            m_handlers.onInput(nullptr, 0);
        else
            m_handlers.onInputFailed(taken.strError);
    }

    // Called on the other threads: only an event is posted, and the loop does the rest.
    void Post(void (CWinServeIo::*pMethod)())
    {
        QMetaObject::invokeMethod(
            this, [this, pMethod] { (this->*pMethod)(); }, Qt::QueuedConnection);
    }
    void OnOutputGone()
    {
        if (!m_bStopped)
            m_handlers.onOutputGone();
    }

    CHandlers m_handlers;
    CPanelDriver* m_pDriver = nullptr;
    QTimer m_portTimer;
    bool m_bStopped = false;
    bool m_bInputDone = false;
    // Last, so that they are gone, and tell nothing more, before anything they post to.
    COutputThread m_output{[this] { Post(&CWinServeIo::OnOutputGone); }};
    CInputThread m_input{CInputThread::StandardInput(), [this] { Post(&CWinServeIo::OnInput); }};
};

} // namespace

std::unique_ptr<IServeIo> MakeServeIo(IServeIo::CHandlers handlers)
{
    return std::make_unique<CWinServeIo>(std::move(handlers));
}
