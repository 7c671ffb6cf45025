#pragma once

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// Standard input read on a thread of its own, for the system whose event loop cannot wait on it:
// on Windows neither a console nor a pipe can be watched the way a descriptor is on Linux. What
// the thread reads waits here until it is taken; while kMaxHeld bytes are held it reads no more,
// so a flood of input is taken at the pace of its taker, as poll() would take it.
class CInputThread {
public:
    // One read into the buffer: the bytes read (0 at the end of the input), or -1 with *pError
    // when the input can no longer be read. Blocks until something comes.
    using Reader = std::function<int64_t(char* pBuffer, int64_t nSize, QString* pError)>;

    static constexpr int64_t kMaxHeld = 64 * 1024;

    // Starts reading at once. onData is called on the reading thread, with a lock held, after
    // each read that added something or ended the input; it must only hand the news on (post an
    // event), and is never called once the destructor has returned.
    explicit CInputThread(Reader reader, std::function<void()> onData = {});
    // A thread blocked in its read cannot be woken on every system: it is left to end with the
    // program, and told to drop whatever it still reads.
    ~CInputThread();
    CInputThread(const CInputThread&) = delete;
    CInputThread& operator=(const CInputThread&) = delete;

    struct CTaken {
        QByteArray bytes;
        bool bEnded = false; // the input ended (or failed: strError) after these bytes
        QString strError;
    };
    // What was read since the last call.
    CTaken Take();
    // Throws away what was read and not yet taken.
    void Drop();

#ifdef _WIN32
    // Standard input of this process, a console or a pipe, read with ReadFile.
    static Reader StandardInput();
#endif

private:
    struct CShared {
        std::mutex mutex;
        std::condition_variable room;
        QByteArray held;
        bool bEnded = false;
        bool bAbandoned = false;
        QString strError;
        std::function<void()> onData;
    };
    static void Run(std::shared_ptr<CShared> pShared, Reader reader);

    std::shared_ptr<CShared> m_pShared;
};
