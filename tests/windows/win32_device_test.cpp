// The Win32 serial device and the block procedure on it, against the virtual panel through
// Wine's COM1 (a pseudo-terminal on the Linux side). Each test starts on a fresh
// pseudo-terminal with every fault off. The simulator accepts one block-check variant; the
// driver script runs this binary once for each.
#include "serial_link.h"
#include "win32_serial_device.h"
#include "wine_sim.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// Processor time of this process in milliseconds.
long long CpuMs()
{
    FILETIME created{}, exited{}, kernel{}, user{};
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& t) {
        return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32 | t.dwLowDateTime)
                                      / 10000);
    };
    return ms(kernel) + ms(user);
}

// Handles this process holds open. Wine answers GetProcessHandleCount with 0, so there they
// are counted by asking after each handle value in turn; Wine hands out low values first,
// and a leak of a few hundred handles stays well inside the range asked about.
DWORD HandleCount()
{
    DWORD count = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &count) && count > 0)
        return count;
    for (ULONG_PTR value = 4; value < 0x4000; value += 4) {
        DWORD flags = 0;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++count;
    }
    return count;
}

class WineSimLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(m_sim.Attach(&error)) << error;
        ASSERT_TRUE(m_sim.Command("faults off"));
        ASSERT_TRUE(m_sim.Command("replug")) << "the simulator could not make a new pseudo-terminal";
        ASSERT_TRUE(m_sim.Command("clear"));
        ASSERT_EQ(m_link.Open(PortDevicePath(1), 9600), 1) << m_link.LastOpenError();
    }

    int Other() const { return m_sim.Variant() == 1 ? 0 : 1; }

    // Waits, as the poll tick does, until the panel has sent something; false after timeoutMs.
    bool AwaitInput(int timeoutMs)
    {
        const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
        while (m_link.m_bOpen && m_link.BytesWaiting() == 0) {
            if (::GetTickCount64() >= deadline)
                return false;
            ::Sleep(5);
        }
        return true;
    }

    CWineSim m_sim;
    // Even parity, as the program asks for it: a pseudo-terminal cannot keep parity, and the
    // device takes that from Wine.
    CWin32SerialDevice m_device;
    CSerialLink m_link{&m_device};
};

TEST_F(WineSimLink, BlocksGoBothWaysInTheAcceptedVariantAndTheOtherIsRefused)
{
    const uint8_t identify[] = {'#'};
    ASSERT_EQ(m_link.SendBlock(identify, 1, m_sim.Variant()), kBlockDone);
    // The panel answers the identification with its own block.
    ASSERT_TRUE(AwaitInput(5000));
    uint8_t reply[kReplyBufferSize] = {};
    int count = -1;
    EXPECT_EQ(m_link.ReceiveBlock(reply, &count), kBlockDone);
    EXPECT_GE(count, 3);

    // DLE and 0x11/0x13 in the data cross the line untouched: nothing is escaped or swallowed
    // below the block procedure.
    const uint8_t row[] = {'l', '0', 0x10, 0x11, 0x13, 'x'};
    EXPECT_EQ(m_link.SendBlock(row, sizeof row, m_sim.Variant()), kBlockDone);
    std::vector<std::string> history;
    ASSERT_TRUE(m_sim.Command("history", &history));
    ASSERT_FALSE(history.empty());
    EXPECT_NE(history.back().find("6C3010111378"), std::string::npos) << history.back();

    // The block check of the other variant is wrong for this panel: it answers NAK.
    EXPECT_EQ(m_link.SendBlock(identify, 1, Other()), kBlockWrongByte);
    EXPECT_EQ(m_link.m_bOpen, 1);
}

TEST_F(WineSimLink, AReadWithNothingQueuedEndsAtOnce)
{
    // A stray byte before a block is dropped by reading until nothing is left: a read that
    // waited for the next byte would hold up the link each time a key report crossed a telegram.
    uint8_t byte = 0;
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(m_device.ReadByte(&byte), ISerialDevice::ReadStatus::Nothing);
    EXPECT_LT(::GetTickCount64() - start, CWin32SerialDevice::kReadWaitMs / 2);
    EXPECT_EQ(m_link.m_bOpen, 1);
}

TEST_F(WineSimLink, RefusalsLeaveTheLinkOpenAndAPanelThatAnswersNothingClosesItWithoutSpinning)
{
    const uint8_t identify[] = {'#'};
    ASSERT_TRUE(m_sim.Command("fault nak-stx on"));
    EXPECT_EQ(m_link.SendBlock(identify, 1, m_sim.Variant()), kBlockWrongByte);
    EXPECT_EQ(m_link.m_bOpen, 1);

    ASSERT_TRUE(m_sim.Command("faults off"));
    ASSERT_TRUE(m_sim.Command("fault silent on"));
    const ULONGLONG start = ::GetTickCount64();
    const long long cpuBefore = CpuMs();
    EXPECT_EQ(m_link.SendBlock(identify, 1, m_sim.Variant()), kBlockClosed);
    const long long elapsed = static_cast<long long>(::GetTickCount64() - start);
    EXPECT_EQ(m_link.m_bOpen, 0);
    // The reply time-out has passed; GetTickCount64 may run up to one tick behind the link's
    // own clock.
    EXPECT_GE(elapsed, m_link.ReplyTimeoutMs() - 16);
    // The wait slept: a spinning wait would use the whole time-out of processor time.
    EXPECT_LT(CpuMs() - cpuBefore, elapsed / 2) << "elapsed " << elapsed << " ms";
    EXPECT_EQ(m_link.SendBlock(identify, 1, m_sim.Variant()), kBlockClosed);
}

TEST_F(WineSimLink, APanelStallingInsideItsBlockClosesTheLinkAfterTheReplyTimeOut)
{
    ASSERT_TRUE(m_sim.Command("fault stall on"));
    ASSERT_TRUE(m_sim.Command("press 3"));
    ASSERT_TRUE(AwaitInput(5000));
    uint8_t reply[kReplyBufferSize] = {};
    int count = -1;
    const long long cpuBefore = CpuMs();
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(m_link.ReceiveBlock(reply, &count), kBlockClosed);
    const long long elapsed = static_cast<long long>(::GetTickCount64() - start);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(m_link.m_bOpen, 0);
    EXPECT_LT(CpuMs() - cpuBefore, elapsed / 2 + 20) << "elapsed " << elapsed << " ms";
}

TEST_F(WineSimLink, APanelThatVanishesClosesTheLinkWithoutSpinning)
{
    ASSERT_TRUE(m_sim.Command("unplug"));
    const long long cpuBefore = CpuMs();
    const ULONGLONG start = ::GetTickCount64();
    // What the poll tick and a click do: look for input, send a telegram. One of them meets
    // the vanished port and the link closes.
    const uint8_t led[] = {'A'};
    const ULONGLONG deadline = start + 5000;
    while (m_link.m_bOpen && ::GetTickCount64() < deadline) {
        if (m_link.BytesWaiting() > 0) {
            uint8_t reply[kReplyBufferSize];
            int count = 0;
            m_link.ReceiveBlock(reply, &count);
        } else {
            m_link.SendBlock(led, 1, m_sim.Variant());
        }
        ::Sleep(50);
    }
    const long long elapsed = static_cast<long long>(::GetTickCount64() - start);
    EXPECT_EQ(m_link.m_bOpen, 0) << "the link still passes for open " << elapsed << " ms after the panel vanished";
    EXPECT_LT(CpuMs() - cpuBefore, elapsed / 2 + 20) << "elapsed " << elapsed << " ms";

    // Plugged in again, the port opens afresh.
    ASSERT_TRUE(m_sim.Command("replug"));
    ASSERT_EQ(m_link.Open(PortDevicePath(1), 9600), 1) << m_link.LastOpenError();
    const uint8_t identify[] = {'#'};
    EXPECT_EQ(m_link.SendBlock(identify, 1, m_sim.Variant()), kBlockDone);
}

TEST_F(WineSimLink, AHundredOpensAndClosesLeaveNoHandleBehind)
{
    m_link.Close();
    // The first cycle may create handles that the process keeps for good (the timer, the
    // comm layer); they are not leaks of the device.
    ASSERT_EQ(m_link.Open(PortDevicePath(1), 19200), 1) << m_link.LastOpenError();
    m_link.Close();
    const DWORD before = HandleCount();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(m_link.Open(PortDevicePath(1), i % 2 == 0 ? 9600 : 19200), 1)
            << "cycle " << i << ": " << m_link.LastOpenError();
        m_link.Close();
    }
    EXPECT_GT(before, 0u);
    EXPECT_EQ(HandleCount(), before);
    // Failed opens release everything too.
    CWin32SerialDevice missing;
    for (int i = 0; i < 20; ++i)
        EXPECT_FALSE(missing.Open("COM250", 9600));
    EXPECT_EQ(HandleCount(), before);
}

// The port's event: quiet while nothing comes, signalled by the panel's next byte (a key report)
// with nobody polling, and quiet again once everything is read.
TEST_F(WineSimLink, ThePortsEventFiresOnThePanelsNextByteAndNotBefore)
{
    const HANDLE hEvent = static_cast<HANDLE>(m_device.WaitEvent());
    ASSERT_NE(hEvent, nullptr);
    EXPECT_EQ(m_device.InputQueued(), 0);
    EXPECT_EQ(::WaitForSingleObject(hEvent, 200), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(m_sim.Command("press 3"));
    ASSERT_EQ(::WaitForSingleObject(hEvent, 5000), WAIT_OBJECT_0) << "no event for the panel's report";
    EXPECT_GT(m_device.InputQueued(), 0);
    uint8_t reply[kReplyBufferSize] = {};
    int count = -1;
    EXPECT_EQ(m_link.ReceiveBlock(reply, &count), kBlockDone);
    while (m_link.BytesWaiting() > 0)
        (void)m_link.ReceiveBlock(reply, &count);
    EXPECT_EQ(::WaitForSingleObject(hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    m_device.Close();
    EXPECT_EQ(m_device.WaitEvent(), nullptr);
}

// Under Wine the pseudo-terminal behind COM1 has no parity to keep: the open lets it go and says
// so for the trace. A real adaptor (any name but /dev/pts/N) keeps its parity or fails the open.
TEST_F(WineSimLink, ParityIsLetGoOnlyForAPseudoTerminalAndTheOpenSaysSo)
{
    EXPECT_TRUE(IsPseudoTerminalPath(L"\\\\?\\Z:\\dev\\pts\\3"));
    EXPECT_TRUE(IsPseudoTerminalPath(L"\\\\?\\unix\\dev\\pts\\12"));
    for (const wchar_t* other : {L"\\\\?\\Z:\\dev\\ttyUSB0", L"\\\\?\\Z:\\dev\\ttyS0", L"\\\\?\\Z:\\dev\\pts\\",
                                 L"\\\\?\\Z:\\dev\\pts\\ptmx", L"\\\\?\\Z:\\tmp\\dev\\pts\\3x", L""})
        EXPECT_FALSE(IsPseudoTerminalPath(other)) << other;
    // The link passes the open's notes on to its observers at once; the device alone keeps them.
    m_link.Close();
    ASSERT_TRUE(m_device.Open(PortDevicePath(1), 9600)) << m_device.LastError();
    const std::vector<CDeviceNote> notes = m_device.TakeNotes();
    m_device.Close();
    if (RunningUnderWine()) {
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_NE(notes[0].strText.find("parity dropped"), std::string::npos) << notes[0].strText;
        EXPECT_TRUE(m_device.TakeNotes().empty()); // told once
    } else {
        EXPECT_TRUE(notes.empty());
    }
}

TEST(Win32SerialDevice, EvenParityDroppedByThePortPassesUnderWineOnlyAndNoOtherMismatchEver)
{
    DCB asked{};
    asked.BaudRate = 9600;
    asked.ByteSize = 8;
    asked.Parity = EVENPARITY;
    asked.fParity = TRUE;
    asked.StopBits = ONESTOPBIT;
    EXPECT_TRUE(LineSettingsTaken(asked, asked, false));
    // A pseudo-terminal behind Wine's COM1 reports no parity: taken for it, never otherwise.
    DCB dropped = asked;
    dropped.Parity = NOPARITY;
    dropped.fParity = FALSE;
    EXPECT_FALSE(LineSettingsTaken(asked, dropped, false));
    EXPECT_TRUE(LineSettingsTaken(asked, dropped, true));
    // Odd parity, another rate, seven bits or a handshake are refused under Wine as well.
    for (const auto& change : std::vector<void (*)(DCB&)>{
             [](DCB& d) { d.Parity = ODDPARITY; }, [](DCB& d) { d.BaudRate = 19200; }, [](DCB& d) { d.ByteSize = 7; },
             [](DCB& d) { d.fOutxCtsFlow = TRUE; }, [](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; }}) {
        DCB other = dropped;
        change(other);
        EXPECT_FALSE(LineSettingsTaken(asked, other, true));
    }
    // Asked for none, none it must be.
    EXPECT_TRUE(LineSettingsTaken(dropped, dropped, false));
    EXPECT_FALSE(LineSettingsTaken(dropped, asked, true));
}

TEST_F(WineSimLink, ASecondOpenOfTheSamePortIsRefused)
{
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine does not enforce share mode 0 on serial ports; on Windows the second "
                        "CreateFileA fails with ERROR_ACCESS_DENIED";
    CWin32SerialDevice second(CWin32SerialDevice::Parity::None);
    EXPECT_FALSE(second.Open("COM1", 9600));
    EXPECT_EQ(second.LastErrorNumber(), static_cast<int>(ERROR_ACCESS_DENIED));
}

TEST(Win32SerialDevice, AMissingPortOrAnUnsupportedBaudRateFailsTheOpenWithAReason)
{
    CWin32SerialDevice device;
    EXPECT_FALSE(device.Open("COM250", 9600));
    EXPECT_NE(device.LastErrorNumber(), 0);
    EXPECT_NE(device.LastError().find("COM250"), std::string::npos) << device.LastError();
    EXPECT_FALSE(device.Open("COM1", 4800));
    EXPECT_EQ(device.LastErrorNumber(), static_cast<int>(ERROR_INVALID_PARAMETER));

    // Closed, the device reports nothing waiting and every read as a failure; writes vanish.
    uint8_t byte = 0;
    EXPECT_EQ(device.InputQueued(), 0);
    EXPECT_EQ(device.ReadByte(&byte), ISerialDevice::ReadStatus::Error);
    EXPECT_EQ(device.WaitReadable(10), ISerialDevice::WaitStatus::HungUp);
    device.WriteByte(0x02);
}

} // namespace
