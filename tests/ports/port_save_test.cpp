// --save-port against what a careful or a hostile user puts where the configuration or the
// port should be, and the one-line edit that keeps everything else of the file.
#include "ini_line_edit.h"
#include "port_config.h"
#include "port_names.h"
#include "port_test_tree.h"
#include "pty_pair.h"
#include "scoped_env.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

QByteArray FileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

unsigned NodeType(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

class PortSaveTest : public ::testing::Test {
protected:
    PortSaveTest()
        : m_home("XDG_CONFIG_HOME", QFile::encodeName(m_tree.ConfigHome()).constData()), m_com1("KOVA_COM1", nullptr)
    {
        m_roots.strDevRoot = m_tree.DevRoot();
        m_roots.strSysRoot = m_tree.SysRoot();
        m_roots.strProcRoot = m_tree.ProcRoot();
        QDir().mkpath(QFileInfo(m_tree.ConfigFile()).path());
        // A terminal stand-in: a link to the slave of a pseudo-terminal, as the virtual panel
        // makes one.
        m_port = m_tree.Path(QStringLiteral("panel-link"));
        QFile::link(QString::fromStdString(m_pty.Path()), m_port);
    }

    int Save(int nPort, const QString& path)
    {
        m_message.clear();
        return SavePortConfig(nPort, path, m_roots, &m_message);
    }

    CFakePortTree m_tree;
    CScopedEnv m_home;
    CScopedEnv m_com1;
    PtyPair m_pty;
    CPortScanRoots m_roots;
    QString m_port;
    QString m_message;
};

// Whatever the file's path leads to that is not a regular file is refused before anything opens
// it, and stays what it was: a device node stays a node, a FIFO is not waited on.
TEST_F(PortSaveTest, ConfigurationThatIsNoRegularFileIsRefusedUntouched)
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
        EXPECT_EQ(Save(1, m_port), 1) << c.what;
        EXPECT_TRUE(m_message.contains(QStringLiteral("nothing saved"))) << c.what << ": " << m_message.toStdString();
        EXPECT_EQ(NodeType(c.victim), c.type) << c.what;
        QFile::remove(conf);
        QDir().rmdir(conf);
    }
}

// A configuration that is a link, as dotfile managers make it, is written through: the link
// stays and its target gets the text, also when the target does not exist yet.
TEST_F(PortSaveTest, ConfigurationLinkStaysAndItsTargetIsWritten)
{
    for (const bool bTargetExists : {true, false}) {
        const QString target = m_tree.Path(bTargetExists ? QStringLiteral("dotfiles/kova.conf")
                                                         : QStringLiteral("dotfiles/new/kova.conf"));
        if (bTargetExists) {
            ASSERT_TRUE(m_tree.WriteFile(target, "; mine\n"));
        }
        QFile::remove(m_tree.ConfigFile());
        ASSERT_TRUE(QFile::link(target, m_tree.ConfigFile()));
        ASSERT_EQ(Save(2, m_port), 0) << m_message.toStdString();
        EXPECT_EQ(QFileInfo(m_tree.ConfigFile()).symLinkTarget(), target);
        EXPECT_EQ(FileBytes(target),
                  (bTargetExists ? "; mine\n\n[ports]\nCOM2=" : "[ports]\nCOM2=") + QFile::encodeName(m_port) + "\n");
        EXPECT_EQ(ReadPortConfig()[2], m_port);
    }
}

// Only a terminal can be a port: checked from its device numbers, never by opening it.
TEST_F(PortSaveTest, OnlyTerminalsAreSaved)
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
    // The pseudo-terminal itself and the link to it.
    EXPECT_EQ(Save(1, QString::fromStdString(m_pty.Path())), 0) << m_message.toStdString();
    EXPECT_EQ(Save(1, m_port), 0) << m_message.toStdString();
    EXPECT_EQ(ReadPortConfig()[1], m_port);
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

// Through --save-port: the same file, and the saved path reads back whatever it holds.
TEST_F(PortSaveTest, SaveKeepsTheUsersFileAndReadsBack)
{
    const QByteArray user = "; my notes\r\n# COM1 is the FTDI\r\n\r\n[other stuff]\r\nname=x\r\n[ports]\r\nCOM1=a\r\n";
    ASSERT_TRUE(m_tree.WriteFile(m_tree.ConfigFile(), user));
    const QString odd = m_tree.Path(QStringLiteral("a b,c;d#e\"f"));
    ASSERT_TRUE(QFile::link(QString::fromStdString(m_pty.Path()), odd));
    ASSERT_EQ(Save(1, odd), 0) << m_message.toStdString();
    const QByteArray written = FileBytes(m_tree.ConfigFile());
    EXPECT_TRUE(
        written.startsWith("; my notes\r\n# COM1 is the FTDI\r\n\r\n[other stuff]\r\nname=x\r\n[ports]\r\nCOM1="))
        << written.constData();
    EXPECT_TRUE(written.endsWith("\r\n"));
    EXPECT_EQ(written.count('\n'), user.count('\n'));
    EXPECT_EQ(ReadPortConfig()[1], odd);
}

// Path bytes that are not UTF-8 cannot pass through a QString: the device named by the
// environment reaches the link byte for byte, and a configuration home made of them is not
// written under another name.
TEST_F(PortSaveTest, PathBytesOutsideUtf8AreNotMisread)
{
    const QByteArray raw = QFile::encodeName(m_tree.Path(QStringLiteral("caf"))) + "\xe9";
    {
        const CScopedEnv device("KOVA_COM1", raw.constData());
        InstallPortResolver();
        EXPECT_EQ(PortDevicePath(1), raw.toStdString());
        SetPortResolver({});
    }
    const CScopedEnv home("XDG_CONFIG_HOME", raw.constData());
    EXPECT_EQ(Save(1, m_port), 1) << m_message.toStdString();
    EXPECT_TRUE(QDir(m_tree.Path({})).entryList({QStringLiteral("caf*")}).isEmpty());
}

// A relative XDG_CONFIG_HOME is to be ignored: the file lives below the home folder then.
TEST(PortConfigPathTest, RelativeConfigHomeIsIgnored)
{
    const CScopedEnv home("HOME", "/home/kova-test");
    const CScopedEnv relative("XDG_CONFIG_HOME", "relative/config");
    EXPECT_EQ(PortConfigFilePath(), QStringLiteral("/home/kova-test/.config/kova_en/kova_en.conf"));
}

} // namespace
