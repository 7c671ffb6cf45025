// What the user is told when the port will not open: the message stays the one of the
// string table, and the system's reason comes with it as detail text that says what to do.
#include "port_diagnosis.h"
#include "pty_pair.h"
#include "reliability_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A file standing for a device node, owned by a given group.
class CDeviceStandIn {
public:
    CDeviceStandIn()
    {
        char pattern[] = "/tmp/kova-port-XXXXXX";
        const int fd = ::mkstemp(pattern);
        if (fd >= 0)
            ::close(fd);
        m_path = pattern;
    }
    ~CDeviceStandIn() { ::unlink(m_path.c_str()); }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

std::string GroupNameOf(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    const group* g = ::getgrgid(st.st_gid);
    return g != nullptr ? g->gr_name : std::to_string(st.st_gid);
}

TEST(PortErrorDetail, PermissionDeniedNamesTheDevicesGroupAndSaysToLogInAgain)
{
    CDeviceStandIn device;
    // Serial ports belong to "dialout" on Debian; where that group exists the file gets it,
    // otherwise the detail must name whatever group the file has.
    if (const group* dialout = ::getgrnam("dialout"); dialout != nullptr && ::geteuid() == 0) {
        ASSERT_EQ(::chown(device.Path().c_str(), static_cast<uid_t>(-1), dialout->gr_gid), 0);
    }
    const std::string groupName = GroupNameOf(device.Path());
    ASSERT_FALSE(groupName.empty());

    for (int error : {EACCES, EPERM}) {
        const QString detail = OpenFailureDetail(device.Path(), error, device.Path() + ": Permission denied");
        EXPECT_TRUE(detail.contains(QStringLiteral("Permission denied"))) << detail.toStdString();
        EXPECT_TRUE(detail.contains(QString::fromStdString(device.Path()))) << detail.toStdString();
        EXPECT_TRUE(detail.contains(QStringLiteral("\"%1\"").arg(QString::fromStdString(groupName))))
            << detail.toStdString();
        EXPECT_TRUE(detail.contains(QStringLiteral("log in again"))) << detail.toStdString();
    }
}

TEST(PortErrorDetail, BusyAndMissingDevicesSayWhatIsWrongAndWhatToDo)
{
    const QString busy = OpenFailureDetail("/dev/ttyUSB0", EBUSY, "/dev/ttyUSB0 is in use: Device or resource busy");
    EXPECT_TRUE(busy.contains(QStringLiteral("/dev/ttyUSB0")));
    EXPECT_TRUE(busy.contains(QStringLiteral("in use")));
    EXPECT_TRUE(busy.contains(QStringLiteral("busy")));

    for (int error : {ENOENT, ENODEV, ENXIO}) {
        const QString missing = OpenFailureDetail("/dev/ttyUSB7", error, "");
        EXPECT_TRUE(missing.contains(QStringLiteral("No such device"))) << missing.toStdString();
        EXPECT_TRUE(missing.contains(QStringLiteral("/dev/ttyUSB7")));
        EXPECT_TRUE(missing.contains(QStringLiteral("KOVA_COM1")));
    }
    // Anything else passes the system's own words through rather than nothing at all.
    EXPECT_EQ(OpenFailureDetail("/dev/ttyS0", EIO, "/dev/ttyS0: Input/output error"),
              QStringLiteral("/dev/ttyS0: Input/output error"));
}

// The reconnect sequence as the user meets it, on real devices: the message of the string
// table, then "not found", with the reason as the first box's detail.
class PortErrorReconnectTest : public ::testing::Test {
protected:
    PortErrorReconnectTest()
    {
        m_view.m_pModel = &m_model;
        m_model.InitState();
    }
    ~PortErrorReconnectTest() override { ::unsetenv("KOVA_COM1"); }

    QString ConnectAndTakeDetail()
    {
        m_model.OnSerialPort();
        EXPECT_EQ(m_model.m_link.m_bOpen, 0);
        EXPECT_EQ(m_view.m_messages.size(), 2u);
        if (m_view.m_messages.size() != 2u)
            return {};
        EXPECT_EQ(m_view.m_messages[0].nId, IDS_PORT_NOT_OPENED);
        EXPECT_EQ(m_view.m_messages[1].nId, IDS_PANEL_NOT_FOUND);
        EXPECT_TRUE(m_view.m_messages[1].strDetail.isEmpty());
        return m_view.m_messages[0].strDetail;
    }

    CTestView m_view;
    CPanelModel m_model{m_view};
};

TEST_F(PortErrorReconnectTest, MissingDevice)
{
    ::setenv("KOVA_COM1", "/dev/kova-no-such-port", 1);
    const QString detail = ConnectAndTakeDetail();
    EXPECT_TRUE(detail.contains(QStringLiteral("No such device: /dev/kova-no-such-port"))) << detail.toStdString();
    EXPECT_EQ(LoadString(IDS_PORT_NOT_OPENED), QStringLiteral("Serial Port could not be opened !"));
}

TEST_F(PortErrorReconnectTest, NonTerminalPathsAreRefusedAndLeftAsTheyWere)
{
    char pattern[] = "/tmp/kova-not-a-port-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string file = dir + "/file";
    const std::string fifo = dir + "/fifo";
    {
        FILE* f = std::fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("keep me", f);
        std::fclose(f);
    }
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);

    const std::pair<std::string, std::string> cases[] = {
        {dir, " is a directory, not a serial device."},
        {file, " is a regular file, not a serial device."},
        {fifo, " is not a serial device."},
        {"/dev/null", " is a character device but no terminal"},
    };
    for (const auto& [path, what] : cases) {
        ::setenv("KOVA_COM1", path.c_str(), 1);
        m_view.m_messages.clear();
        const QString detail = ConnectAndTakeDetail();
        EXPECT_TRUE(detail.startsWith(QString::fromStdString(path + what))) << detail.toStdString();
        EXPECT_EQ(m_model.m_nPort, 0);
    }

    // Looked at, never opened for writing: the file is as it was.
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    ::unlink(fifo.c_str());
    ::unlink(file.c_str());
    ::rmdir(dir.c_str());
}

TEST_F(PortErrorReconnectTest, DetailListsThePortsAndHowToChooseOne)
{
    ::setenv("KOVA_COM1", "/dev/kova-no-such-port", 1);
    const QString detail = ConnectAndTakeDetail();
    EXPECT_TRUE(detail.contains(QStringLiteral("\n\nSerial devices on this computer:\n"))) << detail.toStdString();
    EXPECT_TRUE(detail.contains(QStringLiteral("/dev/kova-no-such-port: not present; COM1 from environment KOVA_COM1")))
        << detail.toStdString();
    // Either a device to save, or where to look once the adapter is in.
    EXPECT_TRUE(detail.contains(QStringLiteral("kova_en --save-port 1 "))
                || detail.contains(QStringLiteral("kova_en --list-ports")))
        << detail.toStdString();
}

TEST_F(PortErrorReconnectTest, DeviceHeldByAnotherProgram)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    pty.CloseSlave();
    const std::string& name = pty.Path();
    ::setenv("KOVA_COM1", name.c_str(), 1);
    CSerialLink holder;
    ASSERT_EQ(holder.Open(PortDevicePath(1), 9600), 1) << holder.LastOpenError();

    const QString detail = ConnectAndTakeDetail();
    EXPECT_TRUE(detail.contains(QStringLiteral("in use"))) << detail.toStdString();
    EXPECT_TRUE(detail.contains(QString::fromStdString(name))) << detail.toStdString();
    holder.Close();
}

} // namespace
