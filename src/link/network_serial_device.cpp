#include "network_serial_device.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include "win32_serial_device.h"
#else
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/epoll.h>
#include <sys/eventfd.h>
#endif
#endif

namespace {

#ifdef _WIN32
using Socket = SOCKET;
const Socket kNoSocket = INVALID_SOCKET;
int NetError()
{
    return WSAGetLastError();
}
bool WouldBlock(int error)
{
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}
bool Interrupted(int error)
{
    return error == WSAEINTR;
}
std::string NetErrorText(int error)
{
    return Win32ErrorText(static_cast<DWORD>(error));
}
void CloseSocket(Socket s)
{
    ::closesocket(s);
}
int PollOne(Socket s, short events, int timeoutMs)
{
    WSAPOLLFD fd{s, events, 0};
    const int rc = ::WSAPoll(&fd, 1, timeoutMs);
    return rc > 0 ? (fd.revents != 0 ? 1 : 0) : rc;
}
#else
using Socket = int;
const Socket kNoSocket = -1;
int NetError()
{
    return errno;
}
bool WouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS;
}
bool Interrupted(int error)
{
    return error == EINTR;
}
std::string NetErrorText(int error)
{
    return std::strerror(error);
}
void CloseSocket(Socket s)
{
    ::close(s);
}
int PollOne(Socket s, short events, int timeoutMs)
{
    pollfd fd{s, events, 0};
    return ::poll(&fd, 1, timeoutMs);
}
#endif

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, INT_MAX)) : 0;
}

} // namespace

struct CNetworkSerialDevice::CPlatform {
    Socket sock = kNoSocket;
#ifdef _WIN32
    WSAEVENT event = WSA_INVALID_EVENT;
    bool bStarted = false;
#elif defined(__linux__)
    int epoll = -1;
    int signal = -1; // eventfd: readable while data waits in the device
    bool bSignalled = false;
#endif
};

CNetworkSerialDevice::CNetworkSerialDevice() : m_p(std::make_unique<CPlatform>())
{
#ifdef _WIN32
    WSADATA data;
    m_p->bStarted = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
#endif
}

CNetworkSerialDevice::~CNetworkSerialDevice()
{
    Close();
#ifdef _WIN32
    if (m_p->bStarted)
        ::WSACleanup();
#endif
}

bool CNetworkSerialDevice::Fail(const std::string& why, int error)
{
    Close();
    m_lastError = m_strPath + ": " + why;
    m_nLastError = error;
    return false;
}

bool CNetworkSerialDevice::Open(const std::string& path, int baud)
{
    m_lastError.clear();
    m_nLastError = 0;
    if (m_bOpen)
        return true;
    m_strPath = path;
    CNetPortName name;
    std::string why;
    if (!ParseNetPortName(path, &name, &why))
        return Fail(why, EINVAL);
    if (baud != 9600 && baud != 19200)
        return Fail("unsupported baud rate " + std::to_string(baud), EINVAL);
    m_session = CRfc2217Session(name.kind == CNetPortName::Kind::Raw);
    m_bGone = false;
    m_held.clear();
    m_notes.clear();
    if (!Connect(name))
        return false;
    m_bOpen = true;
    if (name.kind == CNetPortName::Kind::Rfc2217 && !Negotiate(baud))
        return false;
    // The purge asked of the server covers its buffers; what reached us before it is dropped
    // here, as a local port drops what waited in the terminal.
    m_session.DropData();
    UpdateSignal();
    return true;
}

bool CNetworkSerialDevice::Connect(const CNetPortName& name)
{
#ifdef _WIN32
    if (!m_p->bStarted)
        return Fail("Winsock could not be started", WSASYSNOTREADY);
#endif
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* pList = nullptr;
    const std::string service = std::to_string(name.nPort);
    const int rc = ::getaddrinfo(name.strHost.c_str(), service.c_str(), &hints, &pList);
    if (rc != 0 || pList == nullptr) {
#ifdef _WIN32
        return Fail("cannot resolve host '" + name.strHost + "': " + NetErrorText(rc), rc);
#else
        return Fail("cannot resolve host '" + name.strHost + "': " + ::gai_strerror(rc), EHOSTUNREACH);
#endif
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kConnectMs);
    std::string lastWhy = "no address";
    int lastError = 0;
    for (const addrinfo* pAddr = pList; pAddr != nullptr; pAddr = pAddr->ai_next) {
        Socket s = ::socket(pAddr->ai_family, pAddr->ai_socktype, pAddr->ai_protocol);
        if (s == kNoSocket) {
            lastError = NetError();
            lastWhy = NetErrorText(lastError);
            continue;
        }
#ifdef _WIN32
        u_long nonBlocking = 1;
        ::ioctlsocket(s, FIONBIO, &nonBlocking);
#else
        ::fcntl(s, F_SETFD, FD_CLOEXEC);
        ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
#endif
        int error = 0;
        if (::connect(s, pAddr->ai_addr, static_cast<int>(pAddr->ai_addrlen)) != 0) {
            error = NetError();
            if (WouldBlock(error)) {
                error = 0;
#ifdef _WIN32
                // WSAPoll does not report a refused connect on every Windows; select does.
                fd_set writable;
                fd_set failed;
                FD_ZERO(&writable);
                FD_ZERO(&failed);
                FD_SET(s, &writable);
                FD_SET(s, &failed);
                const int left = MsLeft(deadline);
                timeval tv{left / 1000, (left % 1000) * 1000};
                const int n = ::select(0, nullptr, &writable, &failed, &tv);
                if (n == 0)
                    error = WSAETIMEDOUT;
#else
                int n = 0;
                do
                    n = PollOne(s, POLLOUT, MsLeft(deadline));
                while (n < 0 && errno == EINTR && MsLeft(deadline) > 0);
                if (n == 0)
                    error = ETIMEDOUT;
#endif
                if (error == 0) {
                    int soError = 0;
                    socklen_t len = sizeof soError;
                    ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
                    error = soError;
                }
            }
        }
        if (error == 0) {
            m_p->sock = s;
            break;
        }
        CloseSocket(s);
        lastError = error;
        lastWhy = NetErrorText(error);
        if (MsLeft(deadline) == 0)
            break;
    }
    ::freeaddrinfo(pList);
    if (m_p->sock == kNoSocket)
        return Fail("cannot connect to " + name.strHost + " port " + std::to_string(name.nPort) + ": " + lastWhy,
                    lastError);

    // Every byte of the block procedure goes at once: it waits for the panel's answer after it.
    int one = 1;
    ::setsockopt(m_p->sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    // A server whose host went silent is found by the panel's reply time-out in the next
    // exchange; keep-alives find it on an idle link as well, and unacknowledged data after 3 s.
    ::setsockopt(m_p->sock, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
#ifdef __linux__
    int idle = 5;
    int interval = 2;
    int count = 3;
    unsigned int userTimeout = 3000;
    ::setsockopt(m_p->sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(m_p->sock, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(m_p->sock, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(m_p->sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
    m_p->epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_p->signal = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_p->epoll < 0 || m_p->signal < 0)
        return Fail(NetErrorText(errno), errno);
    epoll_event onSocket{};
    onSocket.events = EPOLLIN | EPOLLRDHUP;
    onSocket.data.fd = m_p->sock;
    epoll_event onSignal{};
    onSignal.events = EPOLLIN;
    onSignal.data.fd = m_p->signal;
    if (::epoll_ctl(m_p->epoll, EPOLL_CTL_ADD, m_p->sock, &onSocket) != 0
        || ::epoll_ctl(m_p->epoll, EPOLL_CTL_ADD, m_p->signal, &onSignal) != 0)
        return Fail(NetErrorText(errno), errno);
#elif defined(_WIN32)
    m_p->event = ::WSACreateEvent();
    if (m_p->event == WSA_INVALID_EVENT || ::WSAEventSelect(m_p->sock, m_p->event, FD_READ | FD_CLOSE) != 0)
        return Fail(NetErrorText(NetError()), NetError());
#endif
    return true;
}

bool CNetworkSerialDevice::Negotiate(int baud)
{
    const std::vector<uint8_t> opening = m_session.OpeningBytes(baud);
    Send(opening.data(), opening.size());
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kNegotiateMs);
    for (;;) {
        Pump();
        if (m_session.Failed())
            return Fail(m_session.Why(), EPROTO);
        if (m_session.ComPortAccepted() && m_session.AllSettingsAcknowledged())
            break;
        if (m_bGone)
            return Fail("the server closed the connection while the line was being set up (" + m_lastError + ")",
                        ECONNRESET);
        const int left = MsLeft(deadline);
        if (left == 0) {
            std::string why =
                "no answer to " + m_session.Unanswered() + " within " + std::to_string(kNegotiateMs / 1000) + " s";
            if (!m_session.ComPortAccepted())
                why += " (a raw TCP port? ser2net's accepter must begin with telnet(rfc2217), or use socket://)";
            return Fail(why, ETIMEDOUT);
        }
        WaitSocket(false, left);
    }
    // ser2net gives no acknowledgement of SET-CONTROL on a pseudo-terminal, and the data goes
    // through all the same: a missing one is worth a warning, not a failed open.
    const Clock::time_point grace = Clock::now() + std::chrono::milliseconds(kControlGraceMs);
    while (m_session.ControlAcks() < 3 && !m_bGone && MsLeft(grace) > 0) {
        WaitSocket(false, MsLeft(grace));
        Pump();
    }
    if (m_session.ControlAcks() < 3)
        m_notes.push_back({false, "warning: " + m_strPath
                                      + ": the server did not acknowledge SET-CONTROL (no flow control, DTR and "
                                        "RTS on); going on without"});
    return true;
}

void CNetworkSerialDevice::Close()
{
    if (m_p->sock != kNoSocket)
        CloseSocket(m_p->sock);
    m_p->sock = kNoSocket;
#ifdef _WIN32
    if (m_p->event != WSA_INVALID_EVENT)
        ::WSACloseEvent(m_p->event);
    m_p->event = WSA_INVALID_EVENT;
#elif defined(__linux__)
    if (m_p->epoll >= 0)
        ::close(m_p->epoll);
    if (m_p->signal >= 0)
        ::close(m_p->signal);
    m_p->epoll = -1;
    m_p->signal = -1;
    m_p->bSignalled = false;
#endif
    m_bOpen = false;
    m_session.DropData();
    m_held.clear();
}

void CNetworkSerialDevice::LoseLine(const std::string& why)
{
    if (!m_bGone)
        m_lastError = why;
    m_bGone = true;
}

void CNetworkSerialDevice::Pump()
{
    if (m_p->sock == kNoSocket || m_bGone)
        return;
#ifdef _WIN32
    // Reset before reading: data that arrives after the last read sets the event again.
    ::WSAResetEvent(m_p->event);
#endif
    uint8_t buffer[4096];
    for (int reads = 0; reads < 16 && !m_bGone; ++reads) {
        const size_t room = std::min(sizeof buffer, m_session.Room());
        if (room == 0)
            break; // the rest stays in the socket, which stays readable
        const auto n = ::recv(m_p->sock, reinterpret_cast<char*>(buffer), static_cast<int>(room), 0);
        if (n > 0) {
            m_session.Receive(buffer, static_cast<size_t>(n));
            const std::vector<uint8_t> replies = m_session.TakeReplies();
            if (!replies.empty())
                Send(replies.data(), replies.size());
            if (static_cast<size_t>(n) < room)
                break;
            continue;
        }
        if (n == 0) {
            LoseLine("the server closed the connection");
            break;
        }
        const int error = NetError();
        if (Interrupted(error))
            continue;
        if (!WouldBlock(error))
            LoseLine(NetErrorText(error));
        break;
    }
    for (CDeviceNote& note : m_session.TakeNotes())
        if (m_notes.size() < CRfc2217Session::kMaxNotes)
            m_notes.push_back(std::move(note));
    if (!m_held.empty() && !m_session.Suspended()) {
        const std::vector<uint8_t> held = std::move(m_held);
        m_held.clear();
        Send(held.data(), held.size());
    }
    UpdateSignal();
}

void CNetworkSerialDevice::UpdateSignal()
{
    const bool bWaiting = m_session.DataQueued() > 0 || m_bGone;
#ifdef _WIN32
    if (m_p->event != WSA_INVALID_EVENT && bWaiting)
        ::WSASetEvent(m_p->event);
#elif defined(__linux__)
    if (m_p->signal < 0 || bWaiting == m_p->bSignalled)
        return;
    if (bWaiting) {
        const uint64_t one = 1;
        (void)!::write(m_p->signal, &one, sizeof one);
    } else {
        uint64_t value = 0;
        (void)!::read(m_p->signal, &value, sizeof value);
    }
    m_p->bSignalled = bWaiting;
#endif
}

bool CNetworkSerialDevice::WaitSocket(bool bWrite, int timeoutMs)
{
    if (m_p->sock == kNoSocket)
        return false;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        const int rc = PollOne(m_p->sock, bWrite ? POLLOUT : POLLIN, MsLeft(deadline));
        if (rc > 0)
            return true;
        if (rc == 0 || !Interrupted(NetError()) || MsLeft(deadline) == 0)
            return false;
    }
}

void CNetworkSerialDevice::Send(const uint8_t* pBytes, size_t nLen)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kWriteWaitMs);
    while (nLen > 0 && m_p->sock != kNoSocket && !m_bGone) {
#ifdef _WIN32
        const int n = ::send(m_p->sock, reinterpret_cast<const char*>(pBytes), static_cast<int>(nLen), 0);
#else
        const ssize_t n = ::send(m_p->sock, pBytes, nLen, MSG_NOSIGNAL);
#endif
        if (n > 0) {
            pBytes += n;
            nLen -= static_cast<size_t>(n);
            continue;
        }
        const int error = NetError();
        if (n < 0 && Interrupted(error))
            continue;
        if (n < 0 && WouldBlock(error) && MsLeft(deadline) > 0 && WaitSocket(true, MsLeft(deadline)))
            continue;
        if (n < 0 && !WouldBlock(error))
            LoseLine(NetErrorText(error));
        return; // abandoned: the peer's missing answer tells the block procedure
    }
}

void CNetworkSerialDevice::WriteByte(uint8_t byte)
{
    if (!m_bOpen || m_bGone)
        return;
    m_out.clear();
    m_session.Encode(byte, &m_out);
    if (m_session.Suspended()) {
        if (m_held.size() + m_out.size() <= kMaxHeld)
            m_held.insert(m_held.end(), m_out.begin(), m_out.end());
        return;
    }
    Send(m_out.data(), m_out.size());
}

int CNetworkSerialDevice::InputQueued()
{
    if (!m_bOpen)
        return 0;
    Pump();
    const size_t queued = m_session.DataQueued();
    if (queued > 0)
        return static_cast<int>(std::min<size_t>(queued, INT_MAX));
    // A connection that is gone counts as one byte, so that the next read meets the loss.
    return m_bGone ? 1 : 0;
}

ISerialDevice::ReadStatus CNetworkSerialDevice::ReadByte(uint8_t* byte)
{
    if (!m_bOpen)
        return ReadStatus::Error;
    if (m_session.DataQueued() == 0)
        Pump();
    const bool bTaken = m_session.TakeData(byte);
    if (m_session.DataQueued() == 0)
        UpdateSignal();
    if (bTaken)
        return ReadStatus::Byte;
    return m_bGone ? ReadStatus::Error : ReadStatus::Nothing;
}

ISerialDevice::WaitStatus CNetworkSerialDevice::WaitReadable(int timeoutMs)
{
    if (!m_bOpen)
        return WaitStatus::HungUp;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        if (m_session.DataQueued() > 0)
            return WaitStatus::Readable;
        if (m_bGone)
            return WaitStatus::HungUp;
        // Telnet commands alone make the socket readable without data: they are taken and the
        // wait goes on, so it blocks until data, the loss of the line or the deadline.
        if (!WaitSocket(false, MsLeft(deadline)))
            return WaitStatus::TimedOut;
        Pump();
    }
}

int CNetworkSerialDevice::Descriptor() const
{
#ifdef __linux__
    return m_bOpen ? m_p->epoll : -1;
#elif defined(_WIN32)
    return -1;
#else
    return m_bOpen ? static_cast<int>(m_p->sock) : -1;
#endif
}

void* CNetworkSerialDevice::WaitEvent() const
{
#ifdef _WIN32
    return m_bOpen ? static_cast<void*>(m_p->event) : nullptr;
#else
    return nullptr;
#endif
}

std::vector<CDeviceNote> CNetworkSerialDevice::TakeNotes()
{
    std::vector<CDeviceNote> notes;
    notes.swap(m_notes);
    return notes;
}
