#pragma once

#include "net_port_name.h"
#include "rfc2217_session.h"
#include "serial_device.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A panel on a serial device server: rfc2217:// (Telnet COM Port Control, the line set to the
// panel's settings by us) or socket:// (raw TCP, the line set up on the server). A device of
// its own beside the termios and Win32 ones, over POSIX sockets or Winsock.
//
// Waits: on Linux Descriptor() is an epoll descriptor over the socket and an eventfd that is
// kept signalled while received data waits in the device, so a poll() or a QSocketNotifier on
// it is readable exactly when input is waiting, as a tty's descriptor is. On Windows
// WaitEvent() is the socket's WSAEventSelect event, set by hand while data waits.
class CNetworkSerialDevice final : public ISerialDevice {
public:
    CNetworkSerialDevice();
    ~CNetworkSerialDevice() override;
    CNetworkSerialDevice(const CNetworkSerialDevice&) = delete;
    CNetworkSerialDevice& operator=(const CNetworkSerialDevice&) = delete;

    bool Open(const std::string& path, int baud) override;
    void Close() override;
    void WriteByte(uint8_t byte) override;
    int InputQueued() override;
    ReadStatus ReadByte(uint8_t* byte) override;
    WaitStatus WaitReadable(int timeoutMs) override;
    std::string LastError() const override { return m_lastError; }
    int LastErrorNumber() const override { return m_nLastError; }
    int Descriptor() const override;
    void* WaitEvent() const override;
    std::vector<CDeviceNote> TakeNotes() override;

    // Bounds of the open: the TCP connect, then the COM port negotiation, each at most this
    // long; and how long SET-CONTROL's acknowledgements are waited for before going on without.
    static constexpr int kConnectMs = 5000;
    static constexpr int kNegotiateMs = 3000;
    static constexpr int kControlGraceMs = 200;
    // How long one write may wait for room in the socket before the bytes are abandoned.
    static constexpr int kWriteWaitMs = 1000;
    // What is held back while the server has suspended our sending.
    static constexpr size_t kMaxHeld = 4096;

private:
    bool Fail(const std::string& why, int error);
    bool Connect(const CNetPortName& name);
    bool Negotiate(int baud);
    // Takes what the socket has into the session, answers what the server is owed and keeps
    // the wait's signal true. Bounded per call, so a flooding server cannot hold us here.
    void Pump();
    // Sends all of bytes or gives up after kWriteWaitMs; a failed send marks the line gone.
    void Send(const uint8_t* pBytes, size_t nLen);
    // Blocks up to timeoutMs until the socket is readable (or writable with bWrite); false on
    // a time-out.
    bool WaitSocket(bool bWrite, int timeoutMs);
    void UpdateSignal();
    void LoseLine(const std::string& why);

    struct CPlatform;
    std::unique_ptr<CPlatform> m_p;
    CRfc2217Session m_session;
    std::string m_strPath;
    bool m_bOpen = false;
    bool m_bGone = false;
    std::vector<uint8_t> m_held;
    std::vector<uint8_t> m_out; // one byte as it goes on the wire, kept to spare an allocation each

    std::vector<CDeviceNote> m_notes;
    std::string m_lastError;
    int m_nLastError = 0;
};
