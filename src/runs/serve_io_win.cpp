#include "serve_io.h"

#include "input_thread.h"
#include "wait_set.h"

#include <windows.h>

#include <algorithm>
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

    bool Gone() const
    {
        const std::lock_guard lock(m_pShared->mutex);
        return m_pShared->bGone;
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
    static constexpr qsizetype kPieceBytes = 4096;

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
                // In pieces: a pipe's write returns only when its reader has taken all of it, and
                // the end of the session measures the reader's progress by what is left.
                const qsizetype nPiece = std::min<qsizetype>(bytes.size() - nDone, kPieceBytes);
                bOk = ::WriteFile(hOutput, bytes.constData() + nDone, static_cast<DWORD>(nPiece), &n, nullptr) && n > 0;
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

// A manual-reset event of the loop's wait, closed with its owner.
class CEvent {
public:
    CEvent() : m_h(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~CEvent()
    {
        if (m_h != nullptr)
            ::CloseHandle(m_h);
    }
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;
    HANDLE Handle() const { return m_h; }

private:
    HANDLE m_h;
};

// Standard input and output on threads of their own, which set an event of the loop's wait when
// they have news: input read or ended, output's reader gone.
class CWinServeIo final : public IServeIo {
public:
    explicit CWinServeIo(CHandlers handlers) : m_handlers(std::move(handlers)) {}

    void Write(const QByteArray& bytes) override { m_output.Write(bytes); }
    qsizetype Queued() const override { return m_output.Queued(); }

    void AddEnds(CWaitSet& wait) override
    {
        m_nInputEnd = m_bInputDone ? -1 : wait.AddEvent(m_inputEvent.Handle());
        m_nOutputEnd = m_bOutputGone ? -1 : wait.AddEvent(m_outputEvent.Handle());
    }

    void Serve(const CWaitSet& wait) override
    {
        if (wait.Ready(m_nOutputEnd) && !m_bOutputGone) {
            m_bOutputGone = true;
            m_handlers.onOutputGone();
        }
        if (wait.Ready(m_nInputEnd))
            OnInput();
    }

    void Finish() override
    {
        m_bInputDone = true;
        // While the reader keeps taking lines it gets them all, within the bounds.
        const ULONGLONG nStart = ::GetTickCount64();
        for (qsizetype nBefore = Queued(); nBefore > 0 && !m_bOutputGone;) {
            m_output.Drain(kServeLastWordsIdleMs);
            const qsizetype nNow = Queued();
            if (nNow == 0 || nNow == nBefore || m_output.Gone()
                || ::GetTickCount64() - nStart >= static_cast<ULONGLONG>(kServeLastWordsMs))
                return;
            nBefore = nNow;
        }
    }

private:
    void OnInput()
    {
        if (m_bInputDone)
            return;
        // Reset before taking: what the thread reads after this sets it again.
        ::ResetEvent(m_inputEvent.Handle());
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

    CHandlers m_handlers;
    CEvent m_inputEvent;
    CEvent m_outputEvent;
    bool m_bInputDone = false;
    bool m_bOutputGone = false;
    int m_nInputEnd = -1;
    int m_nOutputEnd = -1;
    // Last, so that they are gone, and set nothing more, before the events they set.
    COutputThread m_output{[h = m_outputEvent.Handle()] { ::SetEvent(h); }};
    CInputThread m_input{CInputThread::StandardInput(), [h = m_inputEvent.Handle()] { ::SetEvent(h); }};
};

} // namespace

std::unique_ptr<IServeIo> MakeServeIo(IServeIo::CHandlers handlers)
{
    return std::make_unique<CWinServeIo>(std::move(handlers));
}
