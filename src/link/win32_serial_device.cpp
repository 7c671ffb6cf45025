#include "win32_serial_device.h"

#include "port_names.h"

namespace {

bool DtrIsHandshake(const DCB& dcb)
{
    return dcb.fDtrControl == DTR_CONTROL_HANDSHAKE;
}

bool RtsIsHandshake(const DCB& dcb)
{
    return dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE;
}

} // namespace

bool RunningUnderWine()
{
    const HMODULE hNtdll = ::GetModuleHandleA("ntdll.dll");
    return hNtdll != nullptr && ::GetProcAddress(hNtdll, "wine_get_version") != nullptr;
}

bool LineSettingsTaken(const DCB& asked, const DCB& actual, bool bParityMayDrop)
{
    const bool even = asked.Parity == EVENPARITY;
    const bool parityKept = actual.Parity == asked.Parity && (!even || actual.fParity);
    const bool parityDropped = even && bParityMayDrop && actual.Parity == NOPARITY;
    return actual.BaudRate == asked.BaudRate && actual.ByteSize == 8 && (parityKept || parityDropped)
           && actual.StopBits == ONESTOPBIT && !actual.fOutxCtsFlow && !actual.fOutxDsrFlow && !actual.fOutX
           && !actual.fInX && !DtrIsHandshake(actual) && !RtsIsHandshake(actual);
}

bool IsPseudoTerminalPath(const std::wstring& path)
{
    // "...\dev\pts\" and the terminal's number, to the end.
    static const std::wstring kPts = L"\\dev\\pts\\";
    const size_t at = path.rfind(kPts);
    if (at == std::wstring::npos || at + kPts.size() == path.size())
        return false;
    for (size_t i = at + kPts.size(); i < path.size(); ++i)
        if (path[i] < L'0' || path[i] > L'9')
            return false;
    return true;
}

namespace {

// Whether Wine maps the open port onto a pseudo-terminal on the Linux side, by the name of the
// file it opened there. On Windows a port has no such name and the answer is no.
bool PortIsWinePseudoTerminal(HANDLE hPort)
{
    if (!RunningUnderWine())
        return false;
    wchar_t path[MAX_PATH] = {};
    const DWORD n = ::GetFinalPathNameByHandleW(hPort, path, MAX_PATH, FILE_NAME_NORMALIZED);
    return n > 0 && n < MAX_PATH && IsPseudoTerminalPath(std::wstring(path, n));
}

} // namespace

std::string Win32ErrorText(DWORD error)
{
    char text[512] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                     text, sizeof text, nullptr);
    std::string result(text, n);
    while (!result.empty()
           && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ' || result.back() == '.'))
        result.pop_back();
    if (result.empty())
        result = "error " + std::to_string(error);
    return result;
}

CWin32SerialDevice::~CWin32SerialDevice()
{
    Close();
}

bool CWin32SerialDevice::Fail(const std::string& what, DWORD error)
{
    m_lastError = what + ": " + Win32ErrorText(error);
    m_nLastError = error;
    Close();
    ::SetLastError(error);
    return false;
}

bool CWin32SerialDevice::Open(const std::string& path, int baud)
{
    m_lastError.clear();
    m_openNote.clear();
    m_nLastError = 0;
    if (m_hPort != INVALID_HANDLE_VALUE)
        return true;
    if (baud != 9600 && baud != 19200) {
        m_lastError = "unsupported baud rate " + std::to_string(baud);
        m_nLastError = ERROR_INVALID_PARAMETER;
        return false;
    }

    const std::string name = Win32DeviceName(path);
    // Share mode 0: nobody else may have the port while we hold it, nor open it after us.
    m_hPort = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_hPort == INVALID_HANDLE_VALUE)
        return Fail(name, ::GetLastError());

    m_ovRead = OVERLAPPED{};
    m_ovWrite = OVERLAPPED{};
    m_ovRead.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_ovWrite.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (m_ovRead.hEvent == nullptr || m_ovWrite.hEvent == nullptr)
        return Fail(name, ::GetLastError());

    if (!Configure(name, baud))
        return false;
    Arm();
    return true;
}

bool CWin32SerialDevice::Configure(const std::string& name, int baud)
{
    // A handle to a port whose device has vanished (an adaptor pulled out and the name not yet
    // gone) opens, yet answers no request. Asking for the state first catches that here rather
    // than at the first exchange.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(m_hPort, &dcb))
        return Fail(name + ": reading the line settings", ::GetLastError());

    const bool even = m_parity == Parity::Even;
    // Wine runs the program on Linux, where a COM port may be a pseudo-terminal (the virtual
    // panel's): it carries bytes, not bits, and has no parity to keep. Only there is parity let
    // go; a real adaptor, under Wine or on Windows, keeps it or the open fails.
    const bool bParityMayDrop = even && PortIsWinePseudoTerminal(m_hPort);
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = 8;
    dcb.Parity = even ? EVENPARITY : NOPARITY;
    dcb.fParity = even ? TRUE : FALSE;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    // No flow control of any kind: the panel has no handshake lines, and XON/XOFF (0x11, 0x13)
    // are ordinary bytes of its blocks. DTR and RTS keep their level when they are not
    // handshakes, since changing modem lines is not possible on every port.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    if (DtrIsHandshake(dcb))
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
    if (RtsIsHandshake(dcb))
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    // A line error must not abort the reads that follow it (every status query clears it
    // anyway), and a 0x00 byte is data, not something to strip.
    dcb.fAbortOnError = FALSE;
    dcb.fNull = FALSE;
    if (!::SetCommState(m_hPort, &dcb)) {
        const DWORD error = ::GetLastError();
        // Under Wine the Linux side may refuse even parity outright rather than drop it: glibc
        // reports a pseudo-terminal that did not keep PARENB as an invalid argument. Such a
        // port is then set up without parity, which the check below takes for it only.
        DCB withoutParity = dcb;
        withoutParity.Parity = NOPARITY;
        withoutParity.fParity = FALSE;
        if (!bParityMayDrop || error != ERROR_INVALID_PARAMETER || !::SetCommState(m_hPort, &withoutParity))
            return Fail(name + ": applying the line settings", error);
    }

    // Some drivers accept settings they do not keep (parity on a port without it, for one).
    // The panel cannot be talked to with anything else, so what the port reports is checked.
    DCB actual{};
    actual.DCBlength = sizeof actual;
    if (!::GetCommState(m_hPort, &actual))
        return Fail(name + ": reading the line settings back", ::GetLastError());
    const bool taken = LineSettingsTaken(dcb, actual, bParityMayDrop);
    if (!taken) {
        const std::string got = std::to_string(actual.BaudRate) + " Bd, " + std::to_string(actual.ByteSize)
                                + " data bits, parity " + std::to_string(actual.Parity) + ", stop bits "
                                + std::to_string(actual.StopBits);
        return Fail(name + ": the port did not take the line settings (it reports " + got + ")",
                    ERROR_INVALID_PARAMETER);
    }
    if (even && actual.Parity == NOPARITY)
        m_openNote = name + ": even parity dropped: Wine maps this port onto a pseudo-terminal, which has no parity";

    // A read of one byte ends when its byte has arrived, at once when one is queued: the read
    // kept under way while the line is quiet is what a wait blocks on. A write that the driver
    // cannot finish gives up after 5 s, and WriteByte stops waiting for it after 1 s anyway.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kWriteTotalTimeoutMs;
    // With time-outs of its own the driver could end the read under way with nothing and leave
    // the wait without its event: refused, the port is of no use to the block procedure.
    if (!::SetCommTimeouts(m_hPort, &timeouts))
        return Fail(name + ": setting the time-outs", ::GetLastError());

    // Queues that hold far more than the longest block, so that writes finish at once.
    if (!::SetupComm(m_hPort, kQueueBytes, kQueueBytes))
        return Fail(name + ": sizing the driver queues", ::GetLastError());

    // A newly opened port starts with empty queues and no line error: a report that the panel
    // sent while nobody listened would otherwise be read as the answer to our first STX.
    ::PurgeComm(m_hPort, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    DWORD errors = 0;
    ::ClearCommError(m_hPort, &errors, nullptr);
    m_bGone = false;
    return true;
}

void CWin32SerialDevice::Close()
{
    if (m_hPort != INVALID_HANDLE_VALUE && m_readState == ReadState::Pending)
        Settle(&m_ovRead);
    m_readState = ReadState::Idle;
    if (m_hPort != INVALID_HANDLE_VALUE) {
        // Output still queued is dropped: closing must not wait for a stuck line.
        ::PurgeComm(m_hPort, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
        ::CloseHandle(m_hPort);
        m_hPort = INVALID_HANDLE_VALUE;
    }
    for (OVERLAPPED* pOv : {&m_ovRead, &m_ovWrite}) {
        if (pOv->hEvent != nullptr)
            ::CloseHandle(pOv->hEvent);
        *pOv = OVERLAPPED{};
    }
    m_bGone = false;
}

void CWin32SerialDevice::Settle(OVERLAPPED* pOv)
{
    // Cancelled, the request ends promptly; its outcome is collected so that the record and
    // the byte it points at are free again when this returns. A driver that ignores the
    // cancel still ends a write within its 5 s time-out, and a read at once.
    ::CancelIoEx(m_hPort, pOv);
    DWORD n = 0;
    ::GetOverlappedResult(m_hPort, pOv, &n, TRUE);
}

void CWin32SerialDevice::WriteByte(uint8_t byte)
{
    if (m_hPort == INVALID_HANDLE_VALUE || m_bGone)
        return;
    m_writeByte = byte;
    DWORD n = 0;
    if (::WriteFile(m_hPort, &m_writeByte, 1, &n, &m_ovWrite))
        return;
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) {
        // The port refuses writes: a pulled adaptor. The next status query reports it, and
        // the read that follows closes the link.
        m_bGone = true;
        return;
    }
    if (::WaitForSingleObject(m_ovWrite.hEvent, kWriteWaitMs) == WAIT_OBJECT_0) {
        if (!::GetOverlappedResult(m_hPort, &m_ovWrite, &n, FALSE) && ::GetLastError() != ERROR_OPERATION_ABORTED
            && ::GetLastError() != ERROR_TIMEOUT)
            m_bGone = true;
        return;
    }
    // Still not out after a second: the byte is abandoned, as a lost one would be.
    Settle(&m_ovWrite);
}

void CWin32SerialDevice::Arm(DWORD nBytes)
{
    if (m_hPort == INVALID_HANDLE_VALUE || m_bGone || m_readState != ReadState::Idle)
        return;
    DWORD n = 0;
    m_nNext = 0;
    m_nRead = 0;
    // ReadFile resets the event as it starts; it is signalled when the read ends.
    if (::ReadFile(m_hPort, m_readBuffer, nBytes < kReadChunk ? nBytes : kReadChunk, &n, &m_ovRead)) {
        m_nRead = n;
        m_readState = n > 0 ? ReadState::Held : ReadState::Idle;
        // Ended at once: whoever waits wakes and reads it (or arms again).
        ::SetEvent(m_ovRead.hEvent);
        return;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
        m_readState = ReadState::Pending;
        return;
    }
    // The port refuses reads: a pulled adaptor. The wait wakes, and the read tells the link.
    m_bGone = true;
    ::SetEvent(m_ovRead.hEvent);
}

void CWin32SerialDevice::Collect()
{
    if (m_readState != ReadState::Pending)
        return;
    DWORD n = 0;
    if (::GetOverlappedResult(m_hPort, &m_ovRead, &n, FALSE)) {
        m_nNext = 0;
        m_nRead = n;
        m_readState = n > 0 ? ReadState::Held : ReadState::Idle;
        return;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_INCOMPLETE)
        return;
    m_readState = ReadState::Idle;
    // A read cancelled by a purge is no failure of the port; anything else is.
    if (error != ERROR_OPERATION_ABORTED)
        m_bGone = true;
}

int CWin32SerialDevice::InputQueued()
{
    if (m_hPort == INVALID_HANDLE_VALUE)
        return 0;
    Collect();
    if (m_bGone)
        return 1;
    // Bytes read already are told without asking the port again: under Wine every question is a
    // round trip to its server, and the block procedure asks before each byte.
    if (m_readState == ReadState::Held)
        return static_cast<int>(m_nRead - m_nNext);
    // A read under way has not ended: what the port counts now may be the very byte that read is
    // taking (Wine counts it a moment before the read ends, and sometimes keeps counting it after),
    // and a second read for it would wait for a byte that never comes. The read's event tells.
    if (m_readState == ReadState::Pending)
        return 0;
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(m_hPort, &errors, &status)) {
        // The port no longer answers. Reported as empty, an idle poll would never read and the
        // link would pass for connected; as one byte, the read meets the failure and closes it.
        m_bGone = true;
        return 1;
    }
    // Line errors (parity, framing, overrun) are cleared by the call above and dropped.
    int nQueued = static_cast<int>(status.cbInQue);
    m_nQueued = status.cbInQue;
    if (nQueued == 0) {
        // Everything is read: the read under way from now on signals the next byte.
        Arm();
        if (m_readState == ReadState::Held || m_bGone)
            nQueued = 1;
    }
    return nQueued;
}

ISerialDevice::ReadStatus CWin32SerialDevice::ReadByte(uint8_t* byte)
{
    if (m_hPort == INVALID_HANDLE_VALUE)
        return ReadStatus::Error;
    // Nothing queued is nothing to read (and the read under way is started for the next byte).
    // A port that is gone reports a byte here and fails the read.
    if (InputQueued() == 0)
        return ReadStatus::Nothing;
    if (m_bGone)
        return ReadStatus::Error;
    // Bytes are queued: one read takes them all (as many as the buffer holds), and ends at once.
    if (m_readState == ReadState::Idle)
        Arm(m_nQueued);
    // A byte has arrived and the read under way has not taken it yet: under Wine the read ends a
    // moment after the port already counts the byte. It is waited for, boundedly, rather than
    // told as nothing, which would cut a block short.
    if (m_readState == ReadState::Pending && ::WaitForSingleObject(m_ovRead.hEvent, kReadWaitMs) == WAIT_OBJECT_0)
        Collect();
    if (m_bGone)
        return ReadStatus::Error;
    if (m_readState != ReadState::Held)
        return ReadStatus::Nothing; // still under way: it stays the read that signals the byte
    *byte = m_readBuffer[m_nNext++];
    if (m_nNext >= m_nRead)
        m_readState = ReadState::Idle;
    return ReadStatus::Byte;
}

ISerialDevice::WaitStatus CWin32SerialDevice::WaitReadable(int timeoutMs)
{
    if (m_hPort == INVALID_HANDLE_VALUE)
        return WaitStatus::HungUp;
    // Asking arms the read under way when nothing is queued; its event ends the wait.
    if (InputQueued() == 0)
        ::WaitForSingleObject(m_ovRead.hEvent, static_cast<DWORD>(timeoutMs < 0 ? 0 : timeoutMs));
    const int nQueued = InputQueued();
    if (m_bGone)
        return WaitStatus::HungUp;
    return nQueued > 0 ? WaitStatus::Readable : WaitStatus::TimedOut;
}
