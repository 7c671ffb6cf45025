// The network device against real serial device servers on 127.0.0.1: Debian's ser2net
// (RFC 2217 and raw accepters) and pyserial's PortManager, each in front of the virtual panel's
// pseudo-terminal. Handshake and a 0xFF byte both ways, the wait's descriptor, the faults of an
// open (refused, silent, raw when RFC 2217 was asked), a server gone and back, and a
// connection gone silent (half-open), found by the panel's own reply time-out.
#include "network_serial_device.h"
#include "serial_link.h"
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

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

long MsSince(Clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A listener on 127.0.0.1 that accepts and then says nothing, or forwards to another port
// until frozen: a server whose host went silent with the connection still open.
class CSilentPeer {
public:
    explicit CSilentPeer(int forwardTo = 0) : m_nForward(forwardTo)
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&a), len);
        ::listen(m_listen, 4);
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
        m_nPort = ntohs(a.sin_port);
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
    int Send(const Bytes& telegram) { return m_link.SendBlock(telegram.data(), static_cast<int>(telegram.size()), 1); }
    int Receive(Bytes* pTelegram)
    {
        uint8_t buf[kReplyBufferSize];
        int count = 0;
        const int result = m_link.ReceiveBlock(buf, &count);
        if (result == kBlockDone)
            pTelegram->assign(buf, buf + count);
        return result;
    }
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
    const auto start = Clock::now();
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

// The opens that must fail, each with its reason and within the open's bound.
TEST(NetworkDeviceOpen, RefusedSilentAndRawFailClearlyInTime)
{
    CSilentPeer silent;
    CNetworkSerialDevice device;
    auto start = Clock::now();
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
    start = Clock::now();
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
    start = Clock::now();
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
    const auto start = Clock::now();
    EXPECT_EQ(link.SendBlock(&hash, 1, 1), kBlockClosed);
    EXPECT_EQ(link.m_bOpen, 0);
    EXPECT_GE(MsSince(start), link.ReplyTimeoutMs() - 5);
    EXPECT_LT(MsSince(start), 3 * link.ReplyTimeoutMs());
}

} // namespace
