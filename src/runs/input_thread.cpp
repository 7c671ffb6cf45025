#include "input_thread.h"

#include <utility>
#ifdef _WIN32
#include "win32_serial_device.h"

#include <windows.h>
#endif

CInputThread::CInputThread(Reader reader, std::function<void()> onData) : m_pShared(std::make_shared<CShared>())
{
    m_pShared->onData = std::move(onData);
    // Detached: the shared state outlives this object for as long as the thread still reads.
    std::thread(Run, m_pShared, std::move(reader)).detach();
}

CInputThread::~CInputThread()
{
    const std::lock_guard lock(m_pShared->mutex);
    m_pShared->bAbandoned = true;
    m_pShared->onData = nullptr;
    m_pShared->room.notify_all();
}

void CInputThread::Run(std::shared_ptr<CShared> pShared, Reader reader)
{
    QByteArray buffer(16 * 1024, Qt::Uninitialized);
    for (;;) {
        {
            std::unique_lock lock(pShared->mutex);
            pShared->room.wait(lock, [&] { return pShared->bAbandoned || pShared->held.size() < kMaxHeld; });
            if (pShared->bAbandoned)
                return;
        }
        QString strError;
        const int64_t n = reader(buffer.data(), buffer.size(), &strError);
        const std::lock_guard lock(pShared->mutex);
        if (pShared->bAbandoned)
            return;
        if (n > 0) {
            pShared->held.append(buffer.constData(), static_cast<qsizetype>(n));
        } else {
            pShared->bEnded = true;
            pShared->strError = n < 0 ? strError : QString();
        }
        // Told under the lock, so that once the destructor has taken it nobody is told any more.
        if (pShared->onData)
            pShared->onData();
        if (n <= 0)
            return;
    }
}

CInputThread::CTaken CInputThread::Take()
{
    CTaken taken;
    const std::lock_guard lock(m_pShared->mutex);
    taken.bytes = std::exchange(m_pShared->held, QByteArray());
    taken.bEnded = m_pShared->bEnded;
    taken.strError = m_pShared->strError;
    m_pShared->room.notify_all();
    return taken;
}

void CInputThread::Drop()
{
    const std::lock_guard lock(m_pShared->mutex);
    m_pShared->held.clear();
    m_pShared->room.notify_all();
}

#ifdef _WIN32
CInputThread::Reader CInputThread::StandardInput()
{
    return [](char* pBuffer, int64_t nSize, QString* pError) -> int64_t {
        const HANDLE hInput = ::GetStdHandle(STD_INPUT_HANDLE);
        for (;;) {
            DWORD n = 0;
            ::SetLastError(ERROR_SUCCESS);
            const BOOL bRead = ::ReadFile(hInput, pBuffer, static_cast<DWORD>(nSize), &n, nullptr);
            const DWORD error = ::GetLastError();
            // A console read broken off by Ctrl+C returns nothing, or fails, with this error: the
            // stop is told elsewhere and the input goes on.
            if (error == ERROR_OPERATION_ABORTED && n == 0)
                continue;
            // Otherwise a console's read of nothing is Ctrl+Z and Enter, the end of typed input.
            if (bRead)
                return static_cast<int64_t>(n);
            // A pipe whose writer closed: the end of the input, not a failure.
            if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF || error == ERROR_NO_DATA)
                return 0;
            *pError = QString::fromStdString(Win32ErrorText(error));
            return -1;
        }
    };
}
#endif
