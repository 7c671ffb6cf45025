// The panel's line going away under a connected window and coming back: the virtual panel on
// a pseudo-terminal is unplugged (its link path disappears and the line hangs up) or killed,
// then plugged in again at the same path. The window is the model in a view whose paint runs
// the real link check, so the one-time notice is counted exactly as the user would see it.
#include "posix_serial_device.h"
#include "pty_pair.h"
#include "reliability_util.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

#ifndef KOVA_SIM_BINARY
#error "KOVA_SIM_BINARY must name the simulator binary"
#endif

namespace {

constexpr int kTicksPerSecond = 5;

class UnplugTest : public ::testing::Test {
protected:
    ~UnplugTest() override
    {
        m_model.m_link.Close();
        m_sim.Stop();
        ::unsetenv("KOVA_COM1");
    }

    void SetUp() override
    {
        m_view.m_pModel = &m_model;
        m_model.InitState();
        std::string error;
        ASSERT_TRUE(m_sim.Start(KOVA_SIM_BINARY, {}, &error)) << error;
        ::setenv("KOVA_COM1", m_sim.LinkPath().c_str(), 1);
        // Start-up: settings dialog, connect, then the first tick paints the connected state.
        m_model.OnSerialPort();
        ASSERT_EQ(m_model.m_link.m_bOpen, 1) << m_model.m_link.LastOpenError();
        ASSERT_TRUE(m_view.m_messages.empty());
        m_model.OnTimer();
        ASSERT_FALSE(m_view.m_bStatusShown);
    }

    // A second's worth of poll ticks, one after the other; returns the processor time they
    // took. Nothing but a tick acts on the line, so the pauses between them would prove
    // nothing; a tick that spun on a dead line until the reply time-out would cost over a
    // third of a second of processor time.
    long TickForASecond()
    {
        const long cpuBefore = CpuMs();
        for (int i = 0; i < kTicksPerSecond; ++i)
            m_model.OnTimer();
        return CpuMs() - cpuBefore;
    }

    void Replug()
    {
        ASSERT_TRUE(m_sim.Command("replug"));
        ASSERT_TRUE(WaitForPath(m_sim.LinkPath(), 5000));
    }

    // The panel reports key `key` pressed; it must reach the window within a few ticks.
    bool KeyPressArrives(int key)
    {
        if (!m_sim.Command("press " + std::to_string(key)))
            return false;
        for (int i = 0; i < 20; ++i) {
            m_model.OnTimer();
            if (m_model.m_keyDown[key - 1] == 1)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    CSimProcess m_sim;
    CTestView m_view;
    CPanelModel m_model{m_view};
};

TEST_F(UnplugTest, UnpluggedWhileIdleTheLinkClosesWithOneNoticeAndNoSpinThenResetReconnects)
{
    ASSERT_TRUE(m_sim.Command("unplug"));

    const long cpu = TickForASecond();
    EXPECT_EQ(m_model.m_link.m_bOpen, 0) << "a hung-up line must not pass for a connected panel";
    EXPECT_EQ(m_view.Count(IDS_PANEL_NOT_FOUND), 1);
    EXPECT_EQ(m_view.m_messages.size(), 1u);
    EXPECT_TRUE(m_view.m_bStatusShown) << "demonstration mode is announced by the status line";
    EXPECT_LT(cpu, 300);

    // More ticks in demonstration mode: every one paints, none brings a second notice.
    const long paints = m_view.m_nPaints;
    TickForASecond();
    EXPECT_EQ(m_view.m_nPaints - paints, kTicksPerSecond);
    EXPECT_EQ(m_view.Count(IDS_PANEL_NOT_FOUND), 1);
    EXPECT_TRUE(m_view.m_bStatusShown);

    Replug();
    m_model.OnResetPanel();
    EXPECT_EQ(m_model.m_link.m_bOpen, 1) << m_model.m_link.LastOpenError();
    EXPECT_EQ(m_view.m_messages.size(), 1u) << "a successful reset shows nothing";
    m_model.OnTimer();
    EXPECT_FALSE(m_view.m_bStatusShown);
    EXPECT_TRUE(KeyPressArrives(3));
}

TEST_F(UnplugTest, UnpluggedDuringThePermanenceTestTheTestCyclesOnScreenOnlyAndResetEndsIt)
{
    m_model.OnPermTestStart();
    for (int i = 0; i < 5; ++i)
        m_model.OnTimer();
    ASSERT_EQ(m_model.m_link.m_bOpen, 1);
    ASSERT_EQ(m_model.g_nPermStep, 5);

    ASSERT_TRUE(m_sim.Command("unplug"));
    const long cpu = TickForASecond();
    EXPECT_EQ(m_model.m_link.m_bOpen, 0);
    EXPECT_EQ(m_view.Count(IDS_PANEL_NOT_FOUND), 1);
    EXPECT_TRUE(m_view.m_bStatusShown);
    EXPECT_LT(cpu, 300);

    // The test goes on in the window: the LED cycle moves, the cell counter stands.
    EXPECT_EQ(m_model.m_bPermTest, 1);
    const int32_t step = m_model.g_nPermStep;
    const int8_t cycle = m_model.g_chPermCycle;
    m_model.OnTimer();
    EXPECT_EQ(m_model.g_nPermStep, step);
    EXPECT_NE(m_model.g_chPermCycle, cycle);
    EXPECT_EQ(m_view.Count(IDS_PANEL_NOT_FOUND), 1);

    Replug();
    m_model.OnResetPanel();
    EXPECT_EQ(m_model.m_link.m_bOpen, 1) << m_model.m_link.LastOpenError();
    EXPECT_EQ(m_model.m_bPermTest, 0) << "a reconnect ends the permanence test";
    for (uint8_t led : m_model.m_led)
        EXPECT_EQ(led, 0);
    EXPECT_EQ(m_view.m_messages.size(), 1u);
    EXPECT_TRUE(KeyPressArrives(7));
}

TEST_F(UnplugTest, SimulatorKilledMidTestClosesTheLinkOnceAndANewPanelIsFoundByReset)
{
    m_model.OnPermTestStart();
    m_model.OnTimer();
    ASSERT_EQ(m_model.m_link.m_bOpen, 1);

    m_sim.Stop();
    const long cpu = TickForASecond();
    EXPECT_EQ(m_model.m_link.m_bOpen, 0);
    EXPECT_EQ(m_view.Count(IDS_PANEL_NOT_FOUND), 1);
    EXPECT_LT(cpu, 300);

    // Reset while nothing is there: the port is gone, so both messages, in this order, and
    // the reason offered as detail.
    const size_t before = m_view.m_messages.size();
    m_model.OnResetPanel();
    ASSERT_EQ(m_view.m_messages.size(), before + 2);
    EXPECT_EQ(m_view.m_messages[before].nId, IDS_PORT_NOT_OPENED);
    EXPECT_TRUE(m_view.m_messages[before].strDetail.contains(QStringLiteral("No such device")))
        << m_view.m_messages[before].strDetail.toStdString();
    EXPECT_EQ(m_view.m_messages[before + 1].nId, IDS_PANEL_NOT_FOUND);

    std::string error;
    ASSERT_TRUE(m_sim.Start(KOVA_SIM_BINARY, {}, &error)) << error;
    ::setenv("KOVA_COM1", m_sim.LinkPath().c_str(), 1);
    m_model.OnResetPanel();
    EXPECT_EQ(m_model.m_link.m_bOpen, 1) << m_model.m_link.LastOpenError();
    EXPECT_TRUE(KeyPressArrives(12));
}

TEST(HangUp, ZeroByteReadOnAHungUpLineClosesTheLinkAndLaterCallsSeeItClosed)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    pty.CloseSlave();
    ::setenv("KOVA_COM1", pty.Path().c_str(), 1);
    CSerialLink link;
    ASSERT_EQ(link.Open(PortDevicePath(1), 9600), 1) << link.LastOpenError();
    pty.CloseMaster();

    uint8_t byte = 0xAA;
    EXPECT_EQ(link.ReadByte(&byte), 0);
    EXPECT_EQ(link.m_bOpen, 0);
    EXPECT_EQ(link.ReadByte(&byte), 255);
    EXPECT_EQ(link.BytesWaiting(), 255);
    EXPECT_EQ(link.WriteByte(0x02), 0);
    ::unsetenv("KOVA_COM1");
}

TEST(HangUp, IdleHungUpLineCountsAsInputSoThatThePollTickFindsItOut)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    pty.CloseSlave();
    CPosixSerialDevice device;
    ASSERT_TRUE(device.Open(pty.Path(), 9600)) << device.LastError();
    EXPECT_EQ(device.InputQueued(), 0) << "a live line with nothing received";
    pty.CloseMaster();
    EXPECT_EQ(device.InputQueued(), 1);
    uint8_t byte = 0;
    EXPECT_EQ(device.ReadByte(&byte), ISerialDevice::ReadStatus::Error);
}

} // namespace
