// The network device against real serial device servers on 127.0.0.1: Debian's ser2net
// (RFC 2217 and raw accepters) and pyserial's PortManager, each in front of the virtual panel's
// pseudo-terminal. Handshake and a 0xFF byte both ways, the wait's descriptor, the faults of an
// open (refused, silent, raw when RFC 2217 was asked), a server gone and back, and a
// connection gone silent (half-open), found by the panel's own reply time-out.
#include "link_exchange.h"
#include "network_serial_device.h"
#include "process_probe.h"
#include "serial_server.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#ifndef KOVA_SIM_BINARY
#error "KOVA_SIM_BINARY must name the simulator binary"
#endif

namespace {

// A socket listening on 127.0.0.1 on a port the system chose (*pPort); -1 when that failed.
int ListenOnLoopback(int nBacklog, int* pPort)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, nBacklog) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        *pPort = 0;
        return -1;
    }
    *pPort = ntohs(a.sin_port);
    return fd;
}

// A listener on 127.0.0.1 that accepts and then says nothing, or forwards to another port
// until frozen: a server whose host went silent with the connection still open.
class CSilentPeer {
public:
    explicit CSilentPeer(int forwardTo = 0) : m_nForward(forwardTo)
    {
        m_listen = ListenOnLoopback(4, &m_nPort);
        m_thread = std::thread([this] { Run(); });
    }
    ~CSilentPeer()
    {
        m_bStop = true;
        m_thread.join();
        ::close(m_listen);
    }
    int Port() const { return m_nPort; }
    void Freeze() { m_bFrozen = true; }

private:
    void Run()
    {
        int client = -1;
        int server = -1;
        while (!m_bStop) {
            pollfd fds[3] = {{m_listen, POLLIN, 0}, {client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(fds, 3, 50) <= 0 || m_bFrozen)
                continue;
            if (fds[0].revents & POLLIN) {
                client = ::accept(m_listen, nullptr, nullptr);
                if (m_nForward != 0) {
                    server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                    sockaddr_in a{};
                    a.sin_family = AF_INET;
                    a.sin_port = htons(static_cast<uint16_t>(m_nForward));
                    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                    ::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a);
                }
            }
            char buf[4096];
            for (const auto& [from, to] : {std::pair{1, 2}, std::pair{2, 1}}) {
                if ((fds[from].revents & POLLIN) == 0)
                    continue;
                const ssize_t n = ::read(fds[from].fd, buf, sizeof buf);
                if (n > 0 && fds[to].fd >= 0)
                    (void)!::write(fds[to].fd, buf, static_cast<size_t>(n));
            }
        }
        for (const int fd : {client, server})
            if (fd >= 0)
                ::close(fd);
    }

    int m_listen = -1;
    int m_nPort = 0;
    int m_nForward = 0;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bFrozen{false};
    std::thread m_thread;
};

class NetworkDeviceTest : public ::testing::TestWithParam<CSerialServer::Kind> {
protected:
    void SetUp() override
    {
        const bool bPy = GetParam() == CSerialServer::Kind::Pyserial;
        if (bPy ? !CSerialServer::HavePyserial() : !CSerialServer::HaveSer2net())
            GTEST_SKIP() << (bPy ? "python3-serial" : "ser2net") << " is not installed (scripts/packages.txt, test)";
        std::string error;
        ASSERT_TRUE(m_sim.Start(KOVA_SIM_BINARY, {}, &error)) << error;
        CSerialServer::COptions options;
        options.kind = GetParam();
        ASSERT_TRUE(m_server.Start(m_sim.LinkPath(), options, &error)) << error;
    }
    void TearDown() override
    {
        m_link.Close();
        m_server.Stop();
        m_sim.Stop();
    }
    int Send(const Bytes& telegram) { return SendTelegram(m_link, telegram); }
    int Receive(Bytes* pTelegram) { return ReceiveTelegram(m_link, pTelegram); }
    // "#" answered by the identify block: the panel is there, both ways.
    void Identify()
    {
        ASSERT_EQ(Send({'#'}), kBlockDone);
        Bytes reply;
        ASSERT_EQ(Receive(&reply), kBlockDone);
        EXPECT_EQ(reply, (Bytes{'K', 'A', 'Q'}));
    }

    CSimProcess m_sim;
    CSerialServer m_server;
    CSerialLink m_link;
};

TEST_P(NetworkDeviceTest, HandshakeAnd0xFFBothWaysAndTheWaitsDescriptor)
{
    ASSERT_EQ(m_link.Open(m_server.Url(), 9600), 1) << m_link.LastOpenError();
    Identify();
    // A cell code of 255 is 0xFF on the line, doubled for Telnet: the panel must get it whole
    // (its block check comes out right only then) and show it.
    ASSERT_EQ(Send({'l', 0x27, '0', '0', 'A', 'C', 0xFF}), kBlockDone);
    Bytes status;
    ASSERT_EQ(Receive(&status), kBlockDone) << "the panel answers an LCD telegram with its key status";
    EXPECT_TRUE(m_sim.StateShows("\"lcd_hex\":[\"FF80")) << m_sim.State();
    // A block of the panel's own with 0xFF in it comes back whole.
    ASSERT_TRUE(m_sim.Command("send 4B FF 10 FF")) << "the virtual panel cannot send a block";
    Bytes report;
    ASSERT_EQ(Receive(&report), kBlockDone);
    EXPECT_EQ(report, (Bytes{'K', 0xFF, 0x10, 0xFF}));

    // Nothing waiting: the descriptor does not poll readable; a reply on the way: it does, and
    // until it has been read, even once the socket itself is drained into the device.
    const int fd = m_link.PollDescriptor();
    ASSERT_GE(fd, 0);
    pollfd idle{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&idle, 1, 100), 0);
    m_link.WriteByte(0x02);
    pollfd busy{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&busy, 1, 2000), 1);
    EXPECT_GT(m_link.BytesWaiting(), 0);
    pollfd still{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&still, 1, 0), 1) << "a byte taken into the device must keep the descriptor readable";
    uint8_t dle = 0;
    EXPECT_EQ(m_link.ReadByte(&dle), 1);
    EXPECT_EQ(dle, 0x10);
    pollfd drained{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&drained, 1, 0), 0);
}

TEST_P(NetworkDeviceTest, ServerGoneIsALostLinkAndBackIsAnOpen)
{
    ASSERT_EQ(m_link.Open(m_server.Url(), 9600), 1) << m_link.LastOpenError();
    Identify();
    m_server.Stop();
    const auto start = SteadyClock::now();
    EXPECT_EQ(Send({'#'}), kBlockClosed);
    EXPECT_EQ(m_link.m_bOpen, 0);
    EXPECT_LT(MsSince(start), 2000);
    EXPECT_EQ(m_link.Open(m_server.Url(), 9600), 0);
    std::string error;
    ASSERT_TRUE(m_server.Restart(&error)) << error;
    ASSERT_EQ(m_link.Open(m_server.Url(), 9600), 1) << m_link.LastOpenError();
    Identify();
}

INSTANTIATE_TEST_SUITE_P(Servers, NetworkDeviceTest,
                         ::testing::Values(CSerialServer::Kind::Ser2netRfc2217, CSerialServer::Kind::Pyserial,
                                           CSerialServer::Kind::Ser2netRaw),
                         [](const auto& info) {
                             switch (info.param) {
                             case CSerialServer::Kind::Ser2netRfc2217: return "ser2net";
                             case CSerialServer::Kind::Pyserial: return "pyserial";
                             case CSerialServer::Kind::Ser2netRaw: return "ser2net_raw";
                             }
                             return "";
                         });

// A server played by the test, byte by byte: it accepts one client on 127.0.0.1 and hands the
// test the connection to read and write.
class CScriptedServer {
public:
    CScriptedServer() { m_listen = ListenOnLoopback(1, &m_nPort); }
    ~CScriptedServer()
    {
        if (m_client >= 0)
            ::close(m_client);
        ::close(m_listen);
    }
    std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(m_nPort); }
    int Listener() const { return m_listen; }
    void Accept() { m_client = ::accept(m_listen, nullptr, nullptr); }
    void Send(const Bytes& bytes) { ASSERT_EQ(::write(m_client, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    // What the client sent within timeoutMs.
    Bytes Take(int timeoutMs)
    {
        Bytes got;
        pollfd pfd{m_client, POLLIN, 0};
        while (::poll(&pfd, 1, timeoutMs) > 0) {
            uint8_t buf[4096];
            const ssize_t n = ::read(m_client, buf, sizeof buf);
            if (n <= 0)
                break;
            got.insert(got.end(), buf, buf + n);
            timeoutMs = 50;
        }
        return got;
    }

private:
    int m_listen = -1;
    int m_client = -1;
    int m_nPort = 0;
};

class CNotes final : public ILinkObserver {
public:
    void OnBlockSent(const uint8_t*, int, int, int) override {}
    void OnBlockReceived(const uint8_t*, int, int) override {}
    void OnDeviceNote(const CDeviceNote& note) override { notes.push_back(note); }
    std::vector<CDeviceNote> notes;
};

// Against hand-worked server bytes: the open's acknowledgements (SET-CONTROL's missing, as from
// ser2net on a pseudo-terminal), a suspend that holds our bytes until the resume, a line error
// told to the trace's observers, and data with 0xFF doubled, undone.
TEST(NetworkDeviceScripted, SuspendResumeLineErrorsAndDoubledData)
{
    CScriptedServer server;
    CNotes notes;
    CSerialLink link;
    link.AddObserver(&notes);
    std::thread serverSide([&] {
        server.Accept();
        const Bytes opening = server.Take(2000);
        EXPECT_GE(opening.size(), 9u);
        server.Send({255, 253, 44,  255, 251, 0,   255,  253,  0, // DO COM-PORT, BINARY
                     255, 250, 44,  101, 0,   0,   0x25, 0x80, 255, 240, 255, 250, 44,  102,
                     8,   255, 240,                                                            // baud, data bits
                     255, 250, 44,  103, 3,   255, 240,  255,  250, 44,  104, 1,   255, 240}); // parity, stop bits
    });
    ASSERT_EQ(link.Open(server.Url(), 9600), 1) << link.LastOpenError();
    serverSide.join();
    ASSERT_FALSE(notes.notes.empty());
    EXPECT_NE(notes.notes[0].strText.find("did not acknowledge SET-CONTROL"), std::string::npos);
    EXPECT_FALSE(notes.notes[0].bLineError);

    // Suspended: what we write waits; resumed: it goes, 0xFF doubled.
    server.Send({255, 250, 44, 108, 255, 240});
    EXPECT_EQ(link.BytesWaiting(), 0); // takes the suspend in
    link.WriteByte(0x02);
    link.WriteByte(0xFF);
    EXPECT_TRUE(server.Take(200).empty());
    server.Send({255, 250, 44, 109, 255, 240});
    EXPECT_EQ(link.BytesWaiting(), 0);
    EXPECT_EQ(server.Take(2000), (Bytes{0x02, 0xFF, 0xFF}));

    // A parity error notified, then a block whose check byte is 0xFF, doubled on the wire: the
    // block arrives whole, and the error reaches the observers with the exchange.
    server.Send({255, 250, 44, 106, 4, 255, 240, 0x02});
    notes.notes.clear();
    std::thread panel([&] {
        EXPECT_EQ(server.Take(2000), Bytes{0x10});
        server.Send({0x4B, 0xFF, 0xFF, 0x10, 0x03, 0xFF, 0xFF});
        EXPECT_EQ(server.Take(2000), Bytes{0x10});
    });
    uint8_t buf[kReplyBufferSize];
    int count = 0;
    EXPECT_EQ(link.ReceiveBlock(buf, &count), kBlockDone);
    panel.join();
    EXPECT_EQ(Bytes(buf, buf + count), (Bytes{0x4B, 0xFF}));
    ASSERT_EQ(notes.notes.size(), 1u);
    EXPECT_TRUE(notes.notes[0].bLineError);
    EXPECT_EQ(notes.notes[0].strText, "line error reported by the server: parity");
}

// The opens that must fail, each with its reason and within the open's bound.
TEST(NetworkDeviceOpen, RefusedSilentAndRawFailClearlyInTime)
{
    CSilentPeer silent;
    CNetworkSerialDevice device;
    auto start = SteadyClock::now();
    ASSERT_FALSE(device.Open("rfc2217://127.0.0.1:" + std::to_string(silent.Port()), 9600));
    EXPECT_NE(device.LastError().find("no answer to RFC 2217's COM port option within 3 s"), std::string::npos)
        << device.LastError();
    EXPECT_LT(MsSince(start), 10000);

    // A port nobody listens on any more.
    int closedPort = 0;
    {
        CSilentPeer gone;
        closedPort = gone.Port();
    }
    start = SteadyClock::now();
    ASSERT_FALSE(device.Open("rfc2217://127.0.0.1:" + std::to_string(closedPort), 9600));
    EXPECT_NE(device.LastError().find("Connection refused"), std::string::npos) << device.LastError();
    EXPECT_LT(MsSince(start), 10000);

    ASSERT_FALSE(device.Open("rfc2217://127.0.0.1", 9600));
    EXPECT_EQ(device.LastError(), "rfc2217://127.0.0.1: no port number after the host (HOST:PORT)");
    ASSERT_FALSE(device.Open("rfc2217://no-such-host.invalid:4001", 9600));
    EXPECT_NE(device.LastError().find("cannot resolve host 'no-such-host.invalid'"), std::string::npos)
        << device.LastError();

    if (!CSerialServer::HaveSer2net())
        GTEST_SKIP() << "ser2net is not installed";
    CSimProcess sim;
    CSerialServer raw;
    std::string error;
    ASSERT_TRUE(sim.Start(KOVA_SIM_BINARY, {}, &error)) << error;
    CSerialServer::COptions options;
    options.kind = CSerialServer::Kind::Ser2netRaw;
    ASSERT_TRUE(raw.Start(sim.LinkPath(), options, &error)) << error;
    const std::string asRfc2217 = "rfc2217://127.0.0.1:" + std::to_string(raw.Port());
    start = SteadyClock::now();
    ASSERT_FALSE(device.Open(asRfc2217, 9600));
    EXPECT_NE(device.LastError().find("a raw TCP port?"), std::string::npos) << device.LastError();
    EXPECT_LT(MsSince(start), 10000);
}

// The server's host goes silent with the connection open: the next exchange ends on the
// panel's reply time-out and closes the link, as an unplugged adaptor does.
TEST(NetworkDeviceOpen, HalfOpenConnectionIsFoundByTheReplyTimeout)
{
    if (!CSerialServer::HaveSer2net())
        GTEST_SKIP() << "ser2net is not installed";
    CSimProcess sim;
    CSerialServer server;
    std::string error;
    ASSERT_TRUE(sim.Start(KOVA_SIM_BINARY, {}, &error)) << error;
    ASSERT_TRUE(server.Start(sim.LinkPath(), {}, &error)) << error;
    CSilentPeer proxy(server.Port());
    CSerialLink link;
    ASSERT_EQ(link.Open("rfc2217://127.0.0.1:" + std::to_string(proxy.Port()), 9600), 1) << link.LastOpenError();
    const uint8_t hash = '#';
    ASSERT_EQ(link.SendBlock(&hash, 1, 1), kBlockDone);
    uint8_t buf[kReplyBufferSize];
    int count = 0;
    ASSERT_EQ(link.ReceiveBlock(buf, &count), kBlockDone);
    proxy.Freeze();
    const auto start = SteadyClock::now();
    EXPECT_EQ(link.SendBlock(&hash, 1, 1), kBlockClosed);
    EXPECT_EQ(link.m_bOpen, 0);
    EXPECT_GE(MsSince(start), link.ReplyTimeoutMs() - 5);
    EXPECT_LT(MsSince(start), 3 * link.ReplyTimeoutMs());
}

} // namespace
