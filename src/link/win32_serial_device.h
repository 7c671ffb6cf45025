#pragma once

#include "serial_device.h"

#include <string>
#include <utility>
#include <vector>
#include <windows.h>

// Whether the program runs under Wine rather than on Windows: Wine's ntdll has
// wine_get_version, Windows' has not.
bool RunningUnderWine();

// Whether a port's settings as read back (`actual`) are what was asked for (`asked`): the
// panel cannot be talked to with anything else. `bParityMayDrop` lets even parity that came
// back as none pass, and nothing else: for a port that Wine maps onto a pseudo-terminal, which
// carries bytes and has no parity to keep.
bool LineSettingsTaken(const DCB& asked, const DCB& actual, bool bParityMayDrop);

// Whether a file's final path, as Wine names the Linux file behind a handle
// (GetFinalPathNameByHandle: "\\?\Z:\dev\pts\3"), is a pseudo-terminal's. Windows names no
// COM port that way, so there the answer is always no.
bool IsPseudoTerminalPath(const std::wstring& path);

// The real serial device on Windows: a COM port opened exclusively with overlapped requests,
// so that every read and write is bounded by a wait on its event rather than by the driver.
// While nothing is waiting to be read, a read of one byte stays under way: its event is what a
// wait blocks on (WaitEvent), and it is signalled the moment the panel's next byte arrives, so
// nobody polls the port and the system timer keeps its normal pace.
class CWin32SerialDevice final : public ISerialDevice {
public:
    // Even parity is what the panel speaks and what the program always asks for; under Wine a
    // port that drops it is taken (LineSettingsTaken). Parity::None makes the open insist on
    // no parity instead, for test beds, and it still fails on any other mismatch.
    enum class Parity { Even, None };

    explicit CWin32SerialDevice(Parity parity = Parity::Even) : m_parity(parity) {}
    ~CWin32SerialDevice() override;
    CWin32SerialDevice(const CWin32SerialDevice&) = delete;
    CWin32SerialDevice& operator=(const CWin32SerialDevice&) = delete;

    bool Open(const std::string& path, int baud) override;
    void Close() override;
    void WriteByte(uint8_t byte) override;
    int InputQueued() override;
    ReadStatus ReadByte(uint8_t* byte) override;
    WaitStatus WaitReadable(int timeoutMs) override;
    void* WaitEvent() const override { return m_hPort != INVALID_HANDLE_VALUE ? m_ovRead.hEvent : nullptr; }
    std::string LastError() const override { return m_lastError; }
    // The parity given up at the last Open (a pseudo-terminal behind Wine), told once.
    std::vector<CDeviceNote> TakeNotes() override
    {
        std::vector<CDeviceNote> notes;
        if (!m_openNote.empty())
            notes.push_back({false, std::exchange(m_openNote, {})});
        return notes;
    }
    int LastErrorNumber() const override { return static_cast<int>(m_nLastError); }

    // True once a status query or a write has failed: the port is gone (an adaptor pulled
    // out) and only closing it is left.
    bool IsGone() const { return m_bGone; }

    // Bounds of the single operations.
    static constexpr DWORD kWriteWaitMs = 1000;
    static constexpr DWORD kReadWaitMs = 2000;
    static constexpr DWORD kWriteTotalTimeoutMs = 5000;
    static constexpr DWORD kQueueBytes = 10000;

private:
    bool Fail(const std::string& what, DWORD error);
    bool Configure(const std::string& name, int baud);
    // Ends a request still under way so that its OVERLAPPED record and byte can be reused.
    void Settle(OVERLAPPED* pOv);
    // Starts a read of nBytes (at most kReadChunk), which waits for its first byte when none is
    // queued, unless a read is under way or bytes are held.
    void Arm(DWORD nBytes = 1);
    // Takes the outcome of the read under way if it has ended: its byte is held, or the port is gone.
    void Collect();

    enum class ReadState { Idle, Pending, Held };

    Parity m_parity;
    HANDLE m_hPort = INVALID_HANDLE_VALUE;
    OVERLAPPED m_ovRead{};
    OVERLAPPED m_ovWrite{};
    // Requests read into and write from these, never the caller's storage, so a request that
    // outlives its call cannot touch memory the caller has moved on from.
    static constexpr DWORD kReadChunk = 256;
    uint8_t m_readBuffer[kReadChunk] = {};
    DWORD m_nRead = 0;   // bytes the last read took into the buffer
    DWORD m_nNext = 0;   // the next of them to hand on
    DWORD m_nQueued = 0; // what the port counted at the last question
    uint8_t m_writeByte = 0;
    ReadState m_readState = ReadState::Idle;
    bool m_bGone = false;
    std::string m_lastError;
    DWORD m_nLastError = 0;
    std::string m_openNote;
};

// The Windows wording of an error number, without the trailing line break.
std::string Win32ErrorText(DWORD error);
