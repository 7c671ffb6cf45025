// The byte channel: construction, opening and closing, and the byte operations on an open,
// a closed and a failed link.
#include "link_test_util.h"
#include "port_names.h"
#include "scoped_env.h"

#include <cstdlib>
#include <string>

namespace {

// The device a port number stands for when nothing maps it.
std::string DefaultDevice(int nPort)
{
#ifdef _WIN32
    return "\\\\.\\COM" + std::to_string(nPort);
#else
    return "/dev/ttyS" + std::to_string(nPort - 1);
#endif
}

TEST(SerialChannel, NewLinkIsClosedAndEveryByteOperationReportsIt)
{
    CFakeClock clock;
    CFakeSerialDevice device(clock);
    CSerialLink link(&device, &clock);

    EXPECT_EQ(link.m_bOpen, 0);
    EXPECT_EQ(link.BytesWaiting(), 255);
    uint8_t ch = 0x5A;
    EXPECT_EQ(link.ReadByte(&ch), 255);
    EXPECT_EQ(ch, 0x5A);
    EXPECT_EQ(link.WriteByte(0x41), 0);
    EXPECT_EQ(link.Close(), 1);
    EXPECT_EQ(link.m_bOpen, 0);
    EXPECT_TRUE(device.Written().empty());
    EXPECT_EQ(device.OpenCount(), 0);
}

TEST(SerialChannel, PortNumbersMapToEnvironmentOrTtyS)
{
    CFakeClock clock;
    CFakeSerialDevice device(clock);
    CSerialLink link(&device, &clock);
    {
        CScopedEnv com2("KOVA_COM2", nullptr);
        ASSERT_EQ(link.Open(PortDevicePath(2), 19200), 1);
        EXPECT_EQ(device.OpenedPath(), DefaultDevice(2));
        EXPECT_EQ(device.OpenedBaud(), 19200);
        link.Close();
    }
    {
        CScopedEnv com1("KOVA_COM1", "/tmp/some-panel");
        ASSERT_EQ(link.Open(PortDevicePath(1), 9600), 1);
        EXPECT_EQ(device.OpenedPath(), "/tmp/some-panel");
        EXPECT_EQ(link.DevicePath(), "/tmp/some-panel");
        link.Close();
    }
    {
        // An empty variable names no device.
        CScopedEnv com1("KOVA_COM1", "");
        ASSERT_EQ(link.Open(PortDevicePath(1), 9600), 1);
        EXPECT_EQ(device.OpenedPath(), DefaultDevice(1));
    }
}

TEST(SerialChannel, WindowsDeviceNamesReachEveryPortAndKeepGivenPaths)
{
    EXPECT_EQ(Win32DeviceName("COM1"), "\\\\.\\COM1");
    // Ports above COM9 open only under the device namespace.
    EXPECT_EQ(Win32DeviceName("COM17"), "\\\\.\\COM17");
    EXPECT_EQ(Win32DeviceName("\\\\.\\COM3"), "\\\\.\\COM3");
    EXPECT_EQ(Win32DeviceName("Z:\\tmp\\panel"), "Z:\\tmp\\panel");
    EXPECT_EQ(Win32DeviceName(""), "");
}

TEST(SerialChannel, OpenOnAnOpenLinkChangesNothing)
{
    CFakeClock clock;
    CFakeSerialDevice device(clock);
    CSerialLink link(&device, &clock);
    CScopedEnv com1("KOVA_COM1", nullptr);
    CScopedEnv com2("KOVA_COM2", nullptr);

    ASSERT_EQ(link.Open(PortDevicePath(1), 9600), 1);
    EXPECT_EQ(link.Open(PortDevicePath(2), 19200), 1);
    EXPECT_EQ(link.m_bOpen, 1);
    EXPECT_EQ(device.OpenCount(), 1);
    EXPECT_EQ(device.OpenedPath(), DefaultDevice(1));
    EXPECT_EQ(device.OpenedBaud(), 9600);
    EXPECT_TRUE(device.IsOpen());
}

TEST(SerialChannel, FailedOpenLeavesTheLinkClosed)
{
    CFakeClock clock;
    CFakeSerialDevice device(clock);
    CSerialLink link(&device, &clock);

    device.FailNextOpen("No such file or directory");
    EXPECT_EQ(link.Open(PortDevicePath(1), 9600), 0);
    EXPECT_EQ(link.m_bOpen, 0);
    EXPECT_EQ(link.LastOpenError(), "No such file or directory");
    EXPECT_EQ(link.Close(), 1);
    EXPECT_EQ(link.WriteByte(0x02), 0);
    EXPECT_TRUE(device.Written().empty());

    // The next attempt is a fresh one and clears the reason.
    EXPECT_EQ(link.Open(PortDevicePath(1), 9600), 1);
    EXPECT_EQ(link.m_bOpen, 1);
    EXPECT_TRUE(link.LastOpenError().empty());
}

TEST_F(OpenLinkTest, ByteOperationsPassSingleBytesWithoutEscaping)
{
    EXPECT_EQ(m_link.WriteByte(0x10), 1);
    EXPECT_EQ(m_link.WriteByte(0x02), 1);
    EXPECT_EQ(m_device.Written(), (Bytes{0x10, 0x02}));

    uint8_t ch = 0;
    EXPECT_EQ(m_link.BytesWaiting(), 0);
    EXPECT_EQ(m_link.ReadByte(&ch), 0);
    EXPECT_EQ(m_clock.Peek(), 0) << "a read with nothing received must not wait";
    EXPECT_EQ(m_link.m_bOpen, 1);

    m_device.Feed({0x10, 0x03});
    EXPECT_EQ(m_link.BytesWaiting(), 2);
    EXPECT_EQ(m_link.ReadByte(&ch), 1);
    EXPECT_EQ(ch, 0x10);
    EXPECT_EQ(m_link.BytesWaiting(), 1);
    EXPECT_EQ(m_link.ReadByte(&ch), 1);
    EXPECT_EQ(ch, 0x03);
}

TEST_F(OpenLinkTest, ReadErrorClosesTheLinkAndAFreshOpenWorks)
{
    m_device.HangUpAt(0);
    uint8_t ch = 0;
    EXPECT_EQ(m_link.ReadByte(&ch), 0);
    EXPECT_EQ(m_link.m_bOpen, 0);
    EXPECT_FALSE(m_device.IsOpen()) << "the port must be released";
    EXPECT_EQ(m_link.ReadByte(&ch), 255);
    EXPECT_EQ(m_link.BytesWaiting(), 255);

    EXPECT_EQ(m_link.Open(PortDevicePath(1), 9600), 1);
    EXPECT_EQ(m_device.OpenCount(), 2);
    EXPECT_TRUE(m_device.IsOpen());
}

TEST_F(OpenLinkTest, CloseReleasesThePortAndIsIdempotent)
{
    EXPECT_EQ(m_link.Close(), 1);
    EXPECT_EQ(m_link.m_bOpen, 0);
    EXPECT_FALSE(m_device.IsOpen());
    EXPECT_EQ(m_link.Close(), 1);
}

TEST(SerialChannel, DestructorClosesThePort)
{
    CFakeClock clock;
    CFakeSerialDevice device(clock);
    {
        CSerialLink link(&device, &clock);
        ASSERT_EQ(link.Open(PortDevicePath(1), 9600), 1);
        ASSERT_TRUE(device.IsOpen());
    }
    EXPECT_FALSE(device.IsOpen());
}

} // namespace
