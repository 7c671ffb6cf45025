// The network device built for Windows (Winsock), under Wine, against ser2net on the Linux side
// in front of the virtual panel: tests/windows/run-wine-tests.sh starts both and names the port
// in KOVA_WINE_NET_URL, and a port nobody listens on in KOVA_WINE_NET_REFUSED.
#include "network_serial_device.h"
#include "serial_link.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

class WineNetwork : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (Env("KOVA_WINE_NET_URL").empty())
            GTEST_SKIP() << "KOVA_WINE_NET_URL is not set (run-wine-tests.sh sets it)";
        ASSERT_EQ(m_link.Open(Env("KOVA_WINE_NET_URL"), 9600), 1) << m_link.LastOpenError();
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
    CSerialLink m_link;
};

TEST_F(WineNetwork, HandshakeA0xFFCellAndTheWaitEvent)
{
    ASSERT_EQ(Send({'#'}), kBlockDone);
    Bytes reply;
    ASSERT_EQ(Receive(&reply), kBlockDone);
    EXPECT_EQ(reply, (Bytes{'K', 'A', 'Q'}));
    ASSERT_EQ(Send({'l', 0x27, '0', '0', 'A', 'C', 0xFF}), kBlockDone);
    ASSERT_EQ(Receive(&reply), kBlockDone) << "the key status that answers an LCD telegram";

    // The event a wait blocks on is signalled when the panel's DLE to our STX is on its way.
    CNetworkSerialDevice device;
    ASSERT_TRUE(device.Open(Env("KOVA_WINE_NET_URL"), 9600)) << device.LastError();
    ASSERT_NE(device.WaitEvent(), nullptr);
    EXPECT_EQ(device.InputQueued(), 0);
    device.WriteByte(0x02);
    const auto start = std::chrono::steady_clock::now();
    bool bByte = false;
    while (!bByte && std::chrono::steady_clock::now() - start < std::chrono::seconds(2)) {
        ASSERT_EQ(::WaitForSingleObject(static_cast<HANDLE>(device.WaitEvent()), 2000), WAIT_OBJECT_0);
        bByte = device.InputQueued() > 0; // a Telnet command alone may set it too
    }
    ASSERT_TRUE(bByte);
    uint8_t dle = 0;
    EXPECT_EQ(device.ReadByte(&dle), ISerialDevice::ReadStatus::Byte);
    EXPECT_EQ(dle, 0x10);
}

// Telegrams back to back, as a permanence test sends them: none lost, the rate said.
TEST_F(WineNetwork, HundredsOfExchangesInARow)
{
    // The panel may still be in the middle of the block an earlier test left half sent; its own
    // time-out ends that, and a reconnect starts clean, as the runs do after a lost link.
    Bytes first;
    if (Send({'#'}) != kBlockDone || Receive(&first) != kBlockDone) {
        m_link.Close();
        ASSERT_EQ(m_link.Open(Env("KOVA_WINE_NET_URL"), 9600), 1) << m_link.LastOpenError();
    }
    const auto start = std::chrono::steady_clock::now();
    int nDone = 0;
    for (int i = 0; i < 200; ++i) {
        Bytes reply;
        nDone += Send({'#'}) == kBlockDone && Receive(&reply) == kBlockDone && reply == Bytes{'K', 'A', 'Q'};
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(nDone, 200);
    std::printf("200 exchanges over RFC 2217 under Wine in %lld ms (%.2f ms each)\n", static_cast<long long>(ms),
                static_cast<double>(ms) / 200.0);
}

TEST(WineNetworkOpen, RefusedPortSaysSo)
{
    if (Env("KOVA_WINE_NET_REFUSED").empty())
        GTEST_SKIP() << "KOVA_WINE_NET_REFUSED is not set";
    CNetworkSerialDevice device;
    EXPECT_FALSE(device.Open(Env("KOVA_WINE_NET_REFUSED"), 9600));
    EXPECT_NE(device.LastError().find("cannot connect to 127.0.0.1"), std::string::npos) << device.LastError();
}

} // namespace
