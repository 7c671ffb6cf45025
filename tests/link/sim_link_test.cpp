// The real link over a real pseudo-terminal against the virtual panel: both block-check
// variants, the panel's faults, a peer that goes away, exclusive use and descriptor leaks.
// Wall-clock bounds are loose on purpose: only "at least the reply time-out" is checked
// tightly; where the peer going away must end a wait, the link runs on a clock that stands
// still instead of being timed.
#include "fake_clock.h"
#include "link_exchange.h"
#include "process_probe.h"
#include "serial_link.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef KOVA_SIM_BINARY
#error "KOVA_SIM_BINARY must name the simulator binary"
#endif

namespace {

using Clock = std::chrono::steady_clock;

class SimLinkTest : public ::testing::Test {
protected:
    void StartSim(const std::vector<std::string>& args)
    {
        std::string error;
        ASSERT_TRUE(m_sim.Start(KOVA_SIM_BINARY, args, &error)) << error;
        ::setenv("KOVA_COM1", m_sim.LinkPath().c_str(), 1);
        ASSERT_EQ(m_link.Open(PortDevicePath(1), 9600), 1) << m_link.LastOpenError();
    }
    void TearDown() override
    {
        m_link.Close();
        m_stillLink.Close();
        m_sim.Stop();
        ::unsetenv("KOVA_COM1");
    }

    int Send(const Bytes& telegram, int variant) { return SendTelegram(m_link, telegram, variant); }
    int Receive(Bytes* pTelegram) { return ReceiveTelegram(m_link, pTelegram); }
    std::string History()
    {
        std::vector<std::string> out;
        EXPECT_TRUE(m_sim.Command("history", &out));
        return out.empty() ? std::string() : out.front();
    }
    // A link on a clock that stands still, in place of m_link: its reply time-out cannot
    // strike, so if a wait on it ends with the link closed, the peer's going away closed it.
    void UseStillLink()
    {
        m_link.Close();
        ASSERT_EQ(m_stillLink.Open(PortDevicePath(1), 9600), 1) << m_stillLink.LastOpenError();
    }
    // The end of a wait on that link, which the peer's going away must have ended.
    void ExpectClosedByThePeer(int result, long cpuBefore)
    {
        EXPECT_EQ(result, kBlockClosed);
        EXPECT_EQ(m_stillLink.m_bOpen, 0);
        EXPECT_LT(CpuMs() - cpuBefore, 100) << "the wait must sleep, not poll";
    }

    CSimProcess m_sim;
    CSerialLink m_link;
    CFakeClock m_stillClock;
    CSerialLink m_stillLink{nullptr, &m_stillClock};
};

TEST_F(SimLinkTest, Variant1PanelIdentifiesWithItsSelectors)
{
    StartSim({"--variant", "1"});
    ASSERT_TRUE(m_sim.Command("sel1 3"));
    ASSERT_TRUE(m_sim.Command("sel2 5"));
    // Each turn of a selector comes as a report block: 'A' + n - 1 and 'Q' + n - 1.
    Bytes t;
    ASSERT_EQ(Receive(&t), kBlockDone);
    EXPECT_EQ(t, (Bytes{'C'}));
    ASSERT_EQ(Receive(&t), kBlockDone);
    EXPECT_EQ(t, (Bytes{'U'}));

    ASSERT_EQ(Send({'#'}, 1), kBlockDone);
    ASSERT_EQ(Receive(&t), kBlockDone);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[1], 'C');
    EXPECT_EQ(t[2], 'U');
    EXPECT_EQ(m_link.m_bOpen, 1);
    EXPECT_NE(m_sim.State().find("\"variant\":1"), std::string::npos);
}

TEST_F(SimLinkTest, Variant0PanelRefusesVariant1WithNak)
{
    StartSim({"--variant", "0"});
    EXPECT_EQ(Send({'#'}, 1), kBlockWrongByte);
    EXPECT_EQ(m_link.m_bOpen, 1);
    ASSERT_EQ(Send({'#'}, 0), kBlockDone);
    Bytes t;
    ASSERT_EQ(Receive(&t), kBlockDone);
    EXPECT_EQ(t.size(), 3u);
    EXPECT_NE(m_sim.State().find("\"variant\":0"), std::string::npos);
}

TEST_F(SimLinkTest, Variant1PanelRefusesVariant0)
{
    StartSim({"--variant", "1"});
    EXPECT_EQ(Send({'@'}, 0), kBlockWrongByte);
    EXPECT_EQ(Send({'@'}, 1), kBlockDone);
    EXPECT_EQ(m_link.m_bOpen, 1);
}

TEST_F(SimLinkTest, ControlByteValuesInTheDataArriveIntactInBothVariants)
{
    StartSim({"--variant", "any"});
    const Bytes awkward[] = {{0x41, 0x10, 0x42}, {0x10}, {0x02, 0x03, 0x10, 0x10, 0x03}, {0x10, 0x03}, {}};
    for (int variant : {0, 1}) {
        for (const Bytes& telegram : awkward)
            EXPECT_EQ(Send(telegram, variant), kBlockDone) << "variant " << variant;
    }
    EXPECT_EQ(History(), "HISTORY 411042 10 0203101003 1003 - 411042 10 0203101003 1003 -");

    // The other way round: the panel's stuffing undone, a data 10 kept as one byte.
    ASSERT_TRUE(m_sim.Command("send 41 10 03 10 42"));
    Bytes t;
    ASSERT_EQ(Receive(&t), kBlockDone);
    EXPECT_EQ(t, (Bytes{0x41, 0x10, 0x03, 0x10, 0x42}));
}

TEST_F(SimLinkTest, SilentPanelClosesTheLinkAfterTheReplyTimeOutWithoutBurningCpu)
{
    StartSim({});
    ASSERT_TRUE(m_sim.Command("fault silent on"));
    const long cpuBefore = CpuMs();
    const auto start = Clock::now();
    EXPECT_EQ(Send({'#'}, 1), kBlockClosed);
    const long elapsed = MsSince(start);
    EXPECT_GE(elapsed, 364);
    EXPECT_LT(elapsed, 3000);
    EXPECT_LT(CpuMs() - cpuBefore, 100) << "the wait must sleep, not poll";
    EXPECT_EQ(m_link.m_bOpen, 0);
    EXPECT_EQ(Send({'#'}, 1), kBlockClosed);
}

TEST_F(SimLinkTest, GarbageIsDroppedAndTheNextBlockIsTaken)
{
    StartSim({});
    ASSERT_TRUE(m_sim.Command("raw 55 AA FF"));
    ASSERT_EQ(m_link.WaitForInput(), 1);
    Bytes t;
    EXPECT_EQ(Receive(&t), kBlockWrongByte);
    EXPECT_EQ(m_link.m_bOpen, 1);
    EXPECT_EQ(m_link.BytesWaiting(), 0);

    ASSERT_TRUE(m_sim.Command("send 31"));
    ASSERT_EQ(Receive(&t), kBlockDone);
    EXPECT_EQ(t, (Bytes{0x31}));
}

TEST_F(SimLinkTest, GarbageFaultBeforeABlockIsRefusedQuietly)
{
    StartSim({});
    ASSERT_TRUE(m_sim.Command("fault garbage on"));
    ASSERT_TRUE(m_sim.Command("send 31"));
    ASSERT_EQ(m_link.WaitForInput(), 1);
    Bytes t;
    EXPECT_EQ(Receive(&t), kBlockWrongByte);
    EXPECT_EQ(m_link.m_bOpen, 1);
    EXPECT_NE(m_sim.State().find("\"received\":0"), std::string::npos) << "we must not have answered";
}

TEST_F(SimLinkTest, NaksAreRefusalsAndTheLinkStaysUsable)
{
    StartSim({});
    ASSERT_TRUE(m_sim.Command("fault nak-stx on"));
    EXPECT_EQ(Send({'@'}, 1), kBlockWrongByte);
    EXPECT_EQ(m_link.m_bOpen, 1);
    ASSERT_TRUE(m_sim.Command("fault nak-stx off"));
    ASSERT_TRUE(m_sim.Command("fault nak-block on"));
    EXPECT_EQ(Send({'@'}, 1), kBlockWrongByte);
    EXPECT_EQ(m_link.m_bOpen, 1);
    ASSERT_TRUE(m_sim.Command("faults off"));
    EXPECT_EQ(Send({'@'}, 1), kBlockDone);
}

TEST_F(SimLinkTest, StallInTheMiddleOfAPanelBlockClosesTheLink)
{
    StartSim({});
    ASSERT_TRUE(m_sim.Command("fault stall on"));
    ASSERT_TRUE(m_sim.Command("send 31 32 33 34 35 36"));
    const auto start = Clock::now();
    Bytes t;
    EXPECT_EQ(Receive(&t), kBlockClosed);
    EXPECT_GE(MsSince(start), 364);
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_EQ(m_link.m_bOpen, 0);
}

TEST_F(SimLinkTest, OverlongPanelBlockIsReadToItsEndAndAcknowledged)
{
    StartSim({});
    ASSERT_TRUE(m_sim.Command("fault overlong on"));
    ASSERT_TRUE(m_sim.Command("send 31"));
    std::array<uint8_t, 32 + kReplyBufferSize + 32> region;
    region.fill(0xEE);
    uint8_t* buf = region.data() + 32;
    int count = -1;
    EXPECT_EQ(m_link.ReceiveBlock(buf, &count), kBlockDone);
    EXPECT_EQ(count, kReplyBufferSize);
    EXPECT_EQ(buf[0], 0x31);
    EXPECT_TRUE(std::all_of(region.begin(), region.begin() + 32, [](uint8_t b) { return b == 0xEE; }));
    EXPECT_TRUE(std::all_of(region.end() - 32, region.end(), [](uint8_t b) { return b == 0xEE; }));
    EXPECT_TRUE(m_sim.StateShows("\"sent\":1")) << m_sim.State();
    EXPECT_EQ(m_link.m_bOpen, 1);
}

TEST_F(SimLinkTest, PeerClosingDuringAReceivedBlockClosesTheLinkWithoutSpinning)
{
    StartSim({});
    UseStillLink();
    ASSERT_TRUE(m_sim.Command("fault stall on"));
    ASSERT_TRUE(m_sim.Command("send 31 32 33 34 35 36"));
    // The line goes while the panel is stalled in the middle of its block.
    ASSERT_TRUE(m_sim.Post("wait 150"));
    ASSERT_TRUE(m_sim.Post("fault close on"));

    const long cpuBefore = CpuMs();
    std::array<uint8_t, kReplyBufferSize> buf{};
    int count = -1;
    ExpectClosedByThePeer(m_stillLink.ReceiveBlock(buf.data(), &count), cpuBefore);
    EXPECT_EQ(buf[0], 0x31) << "the block had begun";
}

TEST_F(SimLinkTest, PeerClosingWhileWeWaitForTheAnswerClosesTheLinkAndAReplugReconnects)
{
    StartSim({});
    UseStillLink();
    ASSERT_TRUE(m_sim.Command("fault silent on"));
    ASSERT_TRUE(m_sim.Post("wait 100"));
    ASSERT_TRUE(m_sim.Post("fault close on"));

    const long cpuBefore = CpuMs();
    const uint8_t identify = '#';
    ExpectClosedByThePeer(m_stillLink.SendBlock(&identify, 1, 1), cpuBefore);

    // The simulator takes its link path away while unplugged; plugged in again, we reconnect.
    ASSERT_TRUE(m_sim.Command("faults off"));
    ASSERT_EQ(m_link.Open(PortDevicePath(1), 9600), 1) << m_link.LastOpenError();
    EXPECT_EQ(Send({'#'}, 1), kBlockDone);
    Bytes t;
    EXPECT_EQ(Receive(&t), kBlockDone);
    EXPECT_EQ(t.size(), 3u);
}

TEST_F(SimLinkTest, SecondOpenIsRefusedInThisProcessAndInAnother)
{
    StartSim({});
    CSerialLink rival;
    EXPECT_EQ(rival.Open(PortDevicePath(1), 9600), 0);
    EXPECT_EQ(rival.m_bOpen, 0);
    EXPECT_FALSE(rival.LastOpenError().empty());

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CSerialLink other;
        ::_exit(other.Open(PortDevicePath(1), 19200) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "another process opened the panel's port while we held it";

    // Our own link is unharmed by the attempts, and once it lets go the rival gets in.
    EXPECT_EQ(Send({'@'}, 1), kBlockDone);
    m_link.Close();
    EXPECT_EQ(rival.Open(PortDevicePath(1), 9600), 1) << rival.LastOpenError();
    EXPECT_EQ(rival.SendBlock(reinterpret_cast<const uint8_t*>("@"), 1, 1), kBlockDone);
}

TEST_F(SimLinkTest, ManyOpenCloseCyclesLeakNoDescriptors)
{
    StartSim({});
    m_link.Close();
    const int before = OpenDescriptors();
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(m_link.Open(PortDevicePath(1), 9600), 1) << i << ": " << m_link.LastOpenError();
        ASSERT_EQ(m_link.Close(), 1);
    }
    EXPECT_EQ(OpenDescriptors(), before);
    ASSERT_EQ(m_link.Open(PortDevicePath(1), 9600), 1);
    EXPECT_EQ(Send({'@'}, 1), kBlockDone);
}

} // namespace
