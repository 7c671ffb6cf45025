// Which device COM1 and COM2 lead to, the user's configuration and --save-port against what a
// careful or a hostile user puts where the file or the port should be, and what the program
// tells about the serial devices it finds, against /dev, /sys and /proc trees made by the test.
#include "ini_line_edit.h"
#include "port_config.h"
#include "port_discovery.h"
#include "port_names.h"
#include "port_test_tree.h"
#include "pty_pair.h"
#include "scoped_env.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

unsigned NodeType(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

class PortSetupTest : public ::testing::Test {
protected:
    PortSetupTest()
        : m_configHome("XDG_CONFIG_HOME", m_tree.ConfigHome().toLocal8Bit().constData()), m_com1("KOVA_COM1", nullptr),
          m_com2("KOVA_COM2", nullptr)
    {
        QDir().mkpath(QFileInfo(m_tree.ConfigFile()).path());
    }

    // Two terminals to save: pseudo-terminals, which the real /proc lists too.
    QString Terminal(int n) const { return QString::fromStdString(m_ptys[n].Path()); }

    int Save(int nPort, const QString& path)
    {
        m_message.clear();
        return SavePortConfig(nPort, path, m_setup, &m_message);
    }

    void Configure(const QByteArray& ini) { ASSERT_TRUE(m_tree.WriteFile(m_tree.ConfigFile(), ini)); }

    CPortScanRoots Roots(const QString& refused = {}) const
    {
        CPortScanRoots roots;
        roots.strDevRoot = m_tree.DevRoot();
        roots.strSysRoot = m_tree.SysRoot();
        roots.strProcRoot = m_tree.ProcRoot();
        // Root opens everything, so who may open what is decided here.
        roots.canOpen = [refused](const QString& path) { return refused.isEmpty() || !path.endsWith(refused); };
        return roots;
    }

    CFakePortTree m_tree;
    CScopedEnv m_configHome;
    CScopedEnv m_com1;
    CScopedEnv m_com2;
    PtyPair m_ptys[2];
    QString m_message;
    // The setup a program would hand down: no options unless a test gives some.
    CPortSetup m_setup{{}, Roots()};
};

TEST_F(PortSetupTest, OptionBeatsEnvironmentBeatsConfigurationBeatsDefault)
{
    Configure("[ports]\nCOM1=/dev/from-config\n");
    const CScopedEnv env("KOVA_COM1", "/dev/from-env");
    m_setup = CPortSetup({{1, QStringLiteral("/dev/from-option")}}, Roots());
    EXPECT_EQ(m_setup.Resolve(1).strPath, QStringLiteral("/dev/from-option"));
    EXPECT_EQ(m_setup.Resolve(1).source, PortSource::Option);

    m_setup = CPortSetup({}, Roots());
    EXPECT_EQ(m_setup.Resolve(1).strPath, QStringLiteral("/dev/from-env"));
    EXPECT_EQ(m_setup.Resolve(1).source, PortSource::Environment);

    {
        const CScopedEnv unset("KOVA_COM1", nullptr);
        EXPECT_EQ(m_setup.Resolve(1).strPath, QStringLiteral("/dev/from-config"));
        EXPECT_EQ(m_setup.Resolve(1).source, PortSource::Configuration);
        // The serial link is handed what the port setup names.
        EXPECT_EQ(m_setup.ResolveDevice(1), "/dev/from-config");
    }

    // COM2 has none of them.
    EXPECT_EQ(m_setup.Resolve(2).strPath, QStringLiteral("/dev/ttyS1"));
    EXPECT_EQ(m_setup.Resolve(2).source, PortSource::Default);
}

TEST_F(PortSetupTest, BrokenConfigurationsCountAsEmpty)
{
    // Missing.
    EXPECT_TRUE(m_setup.ReadConfig().empty());

    // Unreadable as a file: a directory where the file should be.
    ASSERT_TRUE(QDir().mkpath(m_tree.ConfigFile()));
    QString warning;
    EXPECT_TRUE(m_setup.ReadConfig(&warning).empty());
    EXPECT_TRUE(warning.isEmpty());
    ASSERT_TRUE(QDir().rmdir(m_tree.ConfigFile()));

    // Not INI at all: one line of warning, and the defaults.
    Configure("[ports\nCOM1=/dev/ttyUSB0\n\x01\x02=\n");
    const std::map<int, QString> ports = m_setup.ReadConfig(&warning);
    EXPECT_TRUE(ports.empty());
    EXPECT_TRUE(warning.contains(m_tree.ConfigFile())) << warning.toStdString();
    EXPECT_FALSE(warning.contains(QLatin1Char('\n')));
    EXPECT_EQ(m_setup.Resolve(1).source, PortSource::Default);

    // Nor is it rewritten, which would lose whatever the user meant by it.
    const QByteArray before = m_tree.ReadFile(m_tree.ConfigFile());
    QString message;
    EXPECT_EQ(SavePortConfig(1, Terminal(0), m_setup, &message), 1);
    EXPECT_TRUE(message.contains(QStringLiteral("not a valid configuration file"))) << message.toStdString();
    EXPECT_EQ(m_tree.ReadFile(m_tree.ConfigFile()), before);
}

TEST_F(PortSetupTest, SavedPortIsUsedAndOtherEntriesStay)
{
    QString message;
    ASSERT_EQ(SavePortConfig(2, Terminal(1), m_setup, &message), 0) << message.toStdString();
    EXPECT_TRUE(message.contains(m_tree.ConfigFile())) << message.toStdString();
    ASSERT_EQ(SavePortConfig(1, Terminal(0), m_setup, &message), 0) << message.toStdString();

    EXPECT_EQ(m_setup.Resolve(1).strPath, Terminal(0));
    EXPECT_EQ(m_setup.Resolve(1).source, PortSource::Configuration);
    EXPECT_EQ(m_setup.Resolve(2).strPath, Terminal(1));
    const QByteArray written = m_tree.ReadFile(m_tree.ConfigFile());
    EXPECT_TRUE(written.contains("[ports]")) << written.constData();
    EXPECT_TRUE(written.contains("COM1=" + QFile::encodeName(Terminal(0)))) << written.constData();
}

TEST_F(PortSetupTest, SaveRefusesWhatCannotBeASerialPortAndLeavesTheFile)
{
    Configure("[ports]\nCOM1=/dev/ttyUSB0\n");
    const QByteArray before = m_tree.ReadFile(m_tree.ConfigFile());
    ASSERT_TRUE(m_tree.WriteFile(m_tree.Path(QStringLiteral("plain")), "x"));

    const QString refused[] = {m_tree.Path(QStringLiteral("missing")), m_tree.Path(QStringLiteral("plain")),
                               m_tree.DevRoot(), QString()};
    for (const QString& path : refused) {
        QString message;
        EXPECT_EQ(SavePortConfig(1, path, m_setup, &message), 2) << path.toStdString();
        EXPECT_FALSE(message.isEmpty());
        EXPECT_EQ(m_tree.ReadFile(m_tree.ConfigFile()), before) << path.toStdString();
    }
    QString message;
    EXPECT_EQ(SavePortConfig(3, Terminal(0), m_setup, &message), 2);
    EXPECT_EQ(m_tree.ReadFile(m_tree.ConfigFile()), before);
}

// A serial device server's port is saved as its URL (brackets and all, read back as written),
// resolved and listed like any port; a URL that cannot be read is refused with what is wrong.
TEST_F(PortSetupTest, UrlPortsAreSavedResolvedAndListedOrRefused)
{
    Configure("[ports]\nCOM1=/dev/ttyUSB0\n");
    const QByteArray before = m_tree.ReadFile(m_tree.ConfigFile());
    EXPECT_EQ(Save(1, QStringLiteral("rfc2217://[::1]")), 2);
    EXPECT_TRUE(m_message.contains(QStringLiteral("no port number after the host"))) << m_message.toStdString();
    EXPECT_EQ(m_tree.ReadFile(m_tree.ConfigFile()), before);

    ASSERT_EQ(Save(2, QStringLiteral("rfc2217://[::1]:4001")), 0) << m_message.toStdString();
    EXPECT_EQ(m_tree.ReadFile(m_tree.ConfigFile()), "[ports]\nCOM1=/dev/ttyUSB0\nCOM2=\"rfc2217://[::1]:4001\"\n");
    EXPECT_EQ(m_setup.ResolveDevice(2), "rfc2217://[::1]:4001");
    const CPortMapping mappings[2] = {{QStringLiteral("socket://lab7:4002"), PortSource::Option}, m_setup.Resolve(2)};
    const QString listing = ListPortsText(DiscoverPorts(Roots(), mappings));
    EXPECT_TRUE(listing.contains(QStringLiteral("socket://lab7:4002: raw TCP port on a serial device server")))
        << listing.toStdString();
    EXPECT_TRUE(listing.contains(QStringLiteral("rfc2217://[::1]:4001: RFC 2217 port on a serial device server")))
        << listing.toStdString();
    EXPECT_FALSE(listing.contains(QStringLiteral("you may"))) << "a URL is no file to check";
}

TEST_F(PortSetupTest, SaveIntoAnUnwritableDirectoryFails)
{
    // A configuration home below a regular file can never be made, not even by root.
    ASSERT_TRUE(m_tree.WriteFile(m_tree.Path(QStringLiteral("blocker")), "x"));
    const CScopedEnv home("XDG_CONFIG_HOME", m_tree.Path(QStringLiteral("blocker/config")).toLocal8Bit().constData());
    QString message;
    EXPECT_EQ(SavePortConfig(1, Terminal(0), m_setup, &message), 1);
    // The system's own reason, not only that it failed.
    EXPECT_TRUE(message.contains(QStringLiteral("Not a directory; nothing saved"))) << message.toStdString();
}

// Whatever the file's path leads to that is not a regular file is refused before anything opens
// it, and stays what it was: a device node stays a node, a FIFO is not waited on.
TEST_F(PortSetupTest, ConfigurationThatIsNoRegularFileIsRefusedUntouched)
{
    const QString conf = m_tree.ConfigFile();
    const QString node = m_tree.Path(QStringLiteral("nodes/zero"));
    const QString fifo = m_tree.Path(QStringLiteral("nodes/fifo"));
    if (!m_tree.MakeNode(node, S_IFCHR, 1, 5) || !m_tree.MakeNode(fifo, S_IFIFO))
        GTEST_SKIP() << "making device nodes needs root";
    const struct {
        const char* what;
        std::function<void()> make;
        QString victim; // what must keep its type
        unsigned type;
    } cases[] = {
        {"link to a device node", [&] { QFile::link(node, conf); }, node, S_IFCHR},
        {"FIFO", [&] { m_tree.MakeNode(conf, S_IFIFO); }, conf, S_IFIFO},
        {"link to a FIFO", [&] { QFile::link(fifo, conf); }, fifo, S_IFIFO},
        {"socket", [&] { m_tree.MakeNode(conf, S_IFSOCK); }, conf, S_IFSOCK},
        {"directory", [&] { QDir().mkpath(conf); }, conf, S_IFDIR},
    };
    for (const auto& c : cases) {
        c.make();
        EXPECT_EQ(Save(1, Terminal(0)), 1) << c.what;
        EXPECT_TRUE(m_message.contains(QStringLiteral("nothing saved"))) << c.what << ": " << m_message.toStdString();
        EXPECT_EQ(NodeType(c.victim), c.type) << c.what;
        QFile::remove(conf);
        QDir().rmdir(conf);
    }
}

// A configuration that is a link, as dotfile managers make it, is written through: the link
// stays and its target gets the text, also when the target does not exist yet.
TEST_F(PortSetupTest, ConfigurationLinkStaysAndItsTargetIsWritten)
{
    for (const bool bTargetExists : {true, false}) {
        const QString target = m_tree.Path(bTargetExists ? QStringLiteral("dotfiles/kova.conf")
                                                         : QStringLiteral("dotfiles/new/kova.conf"));
        if (bTargetExists) {
            ASSERT_TRUE(m_tree.WriteFile(target, "; mine\n"));
            // Saved by root, a user's file stays the user's.
            ASSERT_EQ(::chown(QFile::encodeName(target).constData(), 4242, 4243), 0);
        }
        QFile::remove(m_tree.ConfigFile());
        ASSERT_TRUE(QFile::link(target, m_tree.ConfigFile()));
        ASSERT_EQ(Save(2, Terminal(0)), 0) << m_message.toStdString();
        EXPECT_EQ(QFileInfo(m_tree.ConfigFile()).symLinkTarget(), target);
        EXPECT_EQ(m_tree.ReadFile(target), (bTargetExists ? "; mine\n\n[ports]\nCOM2=" : "[ports]\nCOM2=")
                                               + QFile::encodeName(Terminal(0)) + "\n");
        EXPECT_EQ(m_setup.ReadConfig()[2], Terminal(0));
        if (bTargetExists && ::geteuid() == 0) {
            EXPECT_EQ(QFileInfo(target).ownerId(), 4242u);
            EXPECT_EQ(QFileInfo(target).groupId(), 4243u);
        }
    }
}

// Only a terminal can be a port: checked from its device numbers, never by opening it.
TEST_F(PortSetupTest, OnlyTerminalsAreSaved)
{
    const struct {
        const char* name;
        unsigned major, minor;
        int status;
    } nodes[] = {{"ttyS0", 4, 64, 0}, {"ttyUSB3", 188, 3, 0}, {"null", 1, 3, 2},
                 {"zero", 1, 5, 2},   {"ttyS99", 4, 200, 2},  {"ptmx", 5, 2, 2}};
    for (const auto& n : nodes) {
        const QString path = m_tree.Path(QStringLiteral("nodes/") + QLatin1String(n.name));
        if (!m_tree.MakeNode(path, S_IFCHR, n.major, n.minor))
            GTEST_SKIP() << "making device nodes needs root";
        EXPECT_EQ(Save(1, path), n.status) << n.name << ": " << m_message.toStdString();
    }
    EXPECT_TRUE(m_message.contains(QStringLiteral("not a terminal"))) << m_message.toStdString();
    // A pseudo-terminal, and a link to one as the virtual panel makes it.
    const QString link = m_tree.Path(QStringLiteral("panel-link"));
    ASSERT_TRUE(QFile::link(Terminal(0), link));
    EXPECT_EQ(Save(1, Terminal(0)), 0) << m_message.toStdString();
    EXPECT_EQ(Save(1, link), 0) << m_message.toStdString();
    EXPECT_EQ(m_setup.ReadConfig()[1], link);
}

// The one line changes, or is added (with its section when there is none); every other byte
// of the file stays as the user wrote it.
TEST(IniLineEditTest, ChangesOrAddsOneLineAndKeepsEveryOtherByte)
{
    const QByteArray user = "; my notes\r\n"
                            "# COM1 is the FTDI\r\n"
                            "\r\n"
                            "[other stuff]\r\n"
                            "COM1=elsewhere\r\n"
                            "[ports]\r\n"
                            "  COM1 = /dev/ttyUSB0   ; old\r\n"
                            "COM10=x\r\n"
                            "\r\n"
                            "[last]\r\n"
                            "k=v";
    const struct {
        QByteArray text, key, value, expected;
    } cases[] = {
        {user, "COM1", "/dev/ttyS0", QByteArray(user).replace("  COM1 = /dev/ttyUSB0   ; old", "COM1=/dev/ttyS0")},
        {user, "COM2", "/dev/ttyS1", QByteArray(user).replace("COM10=x\r\n", "COM10=x\r\nCOM2=/dev/ttyS1\r\n")},
        {"# only notes\n", "COM2", "/p", "# only notes\n\n[ports]\nCOM2=/p\n"},
        {"[a]\nk=v", "COM1", "/p", "[a]\nk=v\n\n[ports]\nCOM1=/p\n"},
        {"", "COM1", "/p", "[ports]\nCOM1=/p\n"},
        {"[ports]\nCOM1=a\n;COM1=b\n[x]\n[ports]\nCOM1=c\n", "COM1", "/p",
         "[ports]\nCOM1=/p\n;COM1=b\n[x]\n[ports]\nCOM1=/p\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SetIniLine(c.text, "ports", c.key, c.value).toStdString(), c.expected.toStdString());
}

// Through --save-port: the same bytes, and the saved path reads back whatever it holds.
TEST_F(PortSetupTest, SaveKeepsTheUsersFileAndReadsBack)
{
    const QByteArray user = "; my notes\r\n# COM1 is the FTDI\r\n\r\n[other stuff]\r\nname=x\r\n[ports]\r\nCOM1=a\r\n";
    Configure(user);
    const QString odd = m_tree.Path(QStringLiteral("a b,c;d#e\"f"));
    ASSERT_TRUE(QFile::link(Terminal(0), odd));
    ASSERT_EQ(Save(1, odd), 0) << m_message.toStdString();
    EXPECT_EQ(m_tree.ReadFile(m_tree.ConfigFile()),
              QByteArray(user).replace("COM1=a", "COM1=\"" + QFile::encodeName(odd).replace("\"", "\\\"") + '"'));
    EXPECT_EQ(m_setup.ReadConfig()[1], odd);
}

// Path bytes that are not UTF-8 travel byte for byte: the device named by the environment
// reaches the link unchanged, and a configuration home made of them is written under its own
// name, not under another.
TEST_F(PortSetupTest, PathBytesOutsideUtf8AreNotMisread)
{
    const QByteArray raw = QFile::encodeName(m_tree.Path(QStringLiteral("caf"))) + "\xe9";
    {
        const CScopedEnv device("KOVA_COM1", raw.constData());
        EXPECT_EQ(m_setup.ResolveDevice(1), raw.toStdString());
    }
    const CScopedEnv home("XDG_CONFIG_HOME", raw.constData());
    EXPECT_EQ(Save(1, Terminal(0)), 0) << m_message.toStdString();
    struct stat st {};
    EXPECT_EQ(::stat((raw + "/kova_en/kova_en.conf").constData(), &st), 0);
}

// A relative XDG_CONFIG_HOME is to be ignored: the file lives below the home folder then.
TEST(PortConfigPathTest, RelativeConfigHomeIsIgnored)
{
    const CScopedEnv home("HOME", "/home/kova-test");
    const CScopedEnv relative("XDG_CONFIG_HOME", "relative/config");
    EXPECT_EQ(PortConfigFilePath(), QStringLiteral("/home/kova-test/.config/kova_en/kova_en.conf"));
}

// A USB adapter with a stable name, a modem-class device, a ttyS with a UART and one without,
// and an adapter this user may not open.
class PortListingTest : public PortSetupTest {
protected:
    PortListingTest()
    {
        m_byId =
            m_tree.AddUsbAdapter(QStringLiteral("ttyUSB0"), QStringLiteral("0403"), QStringLiteral("6001"),
                                 QStringLiteral("FTDI"), QStringLiteral("FT232R USB UART"), QStringLiteral("A12345"));
        m_tree.AddUsbAdapter(QStringLiteral("ttyACM0"), QStringLiteral("2341"), QStringLiteral("0043"),
                             QStringLiteral("Arduino"), QStringLiteral("Uno"), QStringLiteral("7563"));
        m_tree.AddUsbAdapter(QStringLiteral("ttyUSB1"), QStringLiteral("067b"), QStringLiteral("2303"),
                             QStringLiteral("Prolific"), QStringLiteral("USB-Serial"), QStringLiteral("P1"));
        ::chmod(QFile::encodeName(m_tree.DevRoot() + QStringLiteral("/ttyUSB1")).constData(), 0660);
        m_tree.AddTtyS(QStringLiteral("ttyS0"), 4);
        m_tree.AddTtyS(QStringLiteral("ttyS1"), 0);
        m_tree.AddTtyS(QStringLiteral("ttyS10"), 4, QStringLiteral("0x2f8"));
        Configure("[ports]\nCOM1=" + m_byId.toLocal8Bit() + "\n");
        m_setup = CPortSetup({{2, m_tree.DevRoot() + QStringLiteral("/ttyUSB9")}}, Roots());
    }

    std::vector<CSerialPortInfo> Scan(const QString& refused = {})
    {
        const CPortMapping mappings[2] = {m_setup.Resolve(1), m_setup.Resolve(2)};
        return DiscoverPorts(Roots(refused), mappings);
    }

    QString m_byId;
};

TEST_F(PortListingTest, ListsEachDeviceWithNameOriginMappingAndAccess)
{
    const QStringList lines =
        ListPortsText(Scan(QStringLiteral("/ttyUSB1"))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QString dev = m_tree.DevRoot();
    // No ttyS1: it has no UART behind it.
    const QStringList expected = {
        QStringLiteral("%1/serial/by-id/usb-Arduino_Uno_7563-if00-port0 -> %1/ttyACM0: Arduino Uno, serial 7563 "
                       "(USB 2341:0043); you may open it")
            .arg(dev),
        QStringLiteral("%1/ttyS0: built-in serial port at I/O 0x3f8; you may open it").arg(dev),
        QStringLiteral("%1/ttyS10: built-in serial port at I/O 0x2f8; you may open it").arg(dev),
        QStringLiteral("%1 -> %2/ttyUSB0: FTDI FT232R USB UART, serial A12345 (USB 0403:6001); "
                       "COM1 from configuration %3; you may open it")
            .arg(m_byId, dev, m_tree.ConfigFile()),
        QStringLiteral("%1/serial/by-id/usb-Prolific_USB-Serial_P1-if00-port0 -> %1/ttyUSB1: Prolific USB-Serial, "
                       "serial P1 (USB 067b:2303); you may not open it: it belongs to the group")
            .arg(dev),
        QStringLiteral("%1/ttyUSB9: not present; COM2 from option --com2").arg(dev),
    };
    ASSERT_EQ(lines.size(), expected.size()) << lines.join(QLatin1Char('\n')).toStdString();
    for (int i = 0; i < lines.size(); ++i)
        EXPECT_TRUE(lines[i].startsWith(expected[i])) << lines[i].toStdString();

    // The adapter this user may not open: its group, its mode, and what to do.
    const QString& refused = lines[4];
    EXPECT_TRUE(refused.contains(QStringLiteral("(-rw-rw----)"))) << refused.toStdString();
    EXPECT_TRUE(refused.contains(QStringLiteral("sudo usermod -aG "))
                || refused.contains(QStringLiteral("you are a member")));
    EXPECT_TRUE(refused.endsWith(QStringLiteral("log in again"))) << refused.toStdString();
}

TEST_F(PortListingTest, MappingsToOtherThingsAreListedForWhatTheyAre)
{
    m_setup = CPortSetup({{1, m_tree.DevRoot() + QStringLiteral("/ttyS1")}, {2, m_tree.DevRoot()}}, Roots());
    const std::vector<CSerialPortInfo> ports = Scan();
    ASSERT_EQ(ports.size(), 7u);
    EXPECT_EQ(PortInfoLine(ports[5]).toStdString(),
              (m_tree.DevRoot() + QStringLiteral("/ttyS1: no UART behind it; COM1 from option --com1; you may open it"))
                  .toStdString());
    EXPECT_TRUE(PortInfoLine(ports[6]).contains(QStringLiteral("a directory, not a serial device; COM2")));
}

TEST_F(PortListingTest, ToolTipShowsDeviceDescriptionAndOrigin)
{
    EXPECT_EQ(PortToolTip(1, m_setup).toStdString(),
              QStringLiteral("%1 -> %2/ttyUSB0\nFTDI FT232R USB UART, serial A12345 (USB 0403:6001)\n"
                             "from the configuration %3")
                  .arg(m_byId, m_tree.DevRoot(), m_tree.ConfigFile())
                  .toStdString());
    const QString com2 = PortToolTip(2, m_setup);
    EXPECT_TRUE(com2.startsWith(m_tree.DevRoot() + QStringLiteral("/ttyUSB9\nnot present\nfrom the option --com2")))
        << com2.toStdString();
}

TEST_F(PortListingTest, GuidanceOffersTheAdapterForTheFailedPort)
{
    const QString guidance = PortGuidance(2, m_setup);
    EXPECT_TRUE(guidance.contains(m_tree.DevRoot() + QStringLiteral("/ttyUSB9: not present")));
    // The stable name of an adapter no port uses yet, as a command and as a file entry.
    const QString byId1 = m_tree.DevRoot() + QStringLiteral("/serial/by-id/usb-Arduino_Uno_7563-if00-port0");
    EXPECT_TRUE(guidance.contains(QStringLiteral("kova_en --save-port 2 ") + byId1)) << guidance.toStdString();
    EXPECT_TRUE(guidance.contains(QStringLiteral("[ports]\n  COM2=") + byId1)) << guidance.toStdString();
    EXPECT_TRUE(guidance.contains(m_tree.ConfigFile()));
    // The option comes before the file, which the user must know before editing it.
    EXPECT_TRUE(guidance.contains(QStringLiteral("set now by the option --com2"))) << guidance.toStdString();
}

// Every tty with hardware behind it is listed, whatever its name: the UARTs of ARM boards and
// Bluetooth serial as much as PC ports and USB adaptors. Virtual terminals and UART slots the
// serial core reserves without a UART (type 0) are not.
TEST_F(PortListingTest, ListsEveryFamilyWithADeviceBehindIt)
{
    m_tree.AddTty(QStringLiteral("ttyAMA0"), QStringLiteral("platform/fe201000.serial"), QStringLiteral("amba"),
                  QStringLiteral("uart-pl011"));
    m_tree.AddTty(QStringLiteral("ttymxc1"), QStringLiteral("platform/30890000.serial"), QStringLiteral("platform"),
                  QStringLiteral("imx-uart"));
    m_tree.AddTty(QStringLiteral("ttyTHS2"), QStringLiteral("platform/3100000.serial"), QStringLiteral("platform"),
                  QStringLiteral("serial-tegra"));
    m_tree.AddTty(QStringLiteral("rfcomm0"), QStringLiteral("virtual/bluetooth/hci0"), QStringLiteral("bluetooth"));
    m_tree.AddTty(QStringLiteral("tty1"));
    m_tree.AddTty(QStringLiteral("ttyS5"), QStringLiteral("platform/serial8250"), QStringLiteral("platform"),
                  QStringLiteral("serial8250"));
    m_tree.WriteFile(m_tree.SysRoot() + QStringLiteral("/class/tty/ttyS5/type"), "0\n");
    QStringList names;
    for (const CSerialPortInfo& info : Scan())
        if (info.bFound)
            names << QFileInfo(info.strPath).fileName() + QLatin1Char(' ') + info.strDescription;
    EXPECT_EQ(names.join(QLatin1Char('\n')).toStdString(),
              "rfcomm0 Bluetooth serial port\n"
              "ttyACM0 Arduino Uno, serial 7563 (USB 2341:0043)\n"
              "ttyAMA0 serial port (uart-pl011)\n"
              "ttyS0 built-in serial port at I/O 0x3f8\n"
              "ttyS10 built-in serial port at I/O 0x2f8\n"
              "ttyTHS2 serial port (serial-tegra)\n"
              "ttyUSB0 FTDI FT232R USB UART, serial A12345 (USB 0403:6001)\n"
              "ttyUSB1 Prolific USB-Serial, serial P1 (USB 067b:2303)\n"
              "ttymxc1 serial port (imx-uart)");
}

// What a device or a moved tree hands over is bounded: no link out of the tree is followed,
// nothing but a regular file is read (a FIFO would never end), and no control character
// reaches the terminal that shows the listing.
TEST_F(PortListingTest, HostileSysfsIsBoundedAndCleaned)
{
    const QString usb = m_tree.SysRoot() + QStringLiteral("/devices/pci0000:00/0000:00:14.0/usb1/1-2-ttyUSB1");
    QFile::remove(usb + QStringLiteral("/manufacturer"));
    ASSERT_TRUE(m_tree.WriteFile(usb + QStringLiteral("/product"), "Evil\x1b]0;owned\x07\x1b[2J\r\n"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(usb + QStringLiteral("/manufacturer")).constData(), 0644), 0);
    // ttyACM0's device leads out of the tree, to a USB device with strings of its own.
    const QString outside = m_tree.Path(QStringLiteral("outside/usb"));
    ASSERT_TRUE(m_tree.WriteFile(outside + QStringLiteral("/idVendor"), "dead\n"));
    const QString acmDevice = m_tree.SysRoot() + QStringLiteral("/class/tty/ttyACM0/device");
    ASSERT_TRUE(QFile::remove(acmDevice));
    ASSERT_TRUE(QFile::link(outside, acmDevice));

    const QString text = ListPortsText(Scan());
    EXPECT_FALSE(text.contains(QStringLiteral("dead"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("Evil]0;owned[2J, serial P1 (USB 067b:2303)"))) << text.toStdString();
    for (const QChar c : text)
        EXPECT_TRUE(c == QLatin1Char('\n') || c.category() != QChar::Other_Control) << int(c.unicode());
}

// An FTDI adaptor's latency timer is shown, with a word when it holds each answer back.
TEST_F(PortListingTest, FtdiLatencyTimerIsShown)
{
    const QString timer = m_tree.SysRoot() + QStringLiteral("/class/tty/ttyUSB0/device/latency_timer");
    for (const auto& [value, shown] :
         {std::pair{"16\n", "latency timer 16 ms, above 1 ms"}, std::pair{"1\n", "latency timer 1 ms;"}}) {
        ASSERT_TRUE(m_tree.WriteFile(timer, value));
        const QString line = PortInfoLine(Scan()[3]);
        EXPECT_TRUE(line.contains(QLatin1String(shown))) << line.toStdString();
    }
}

} // namespace
