// The one writer of every file: special files refused untouched and never waited on, the old
// file whole after any failure, new names taken once, file names that are not UTF-8 kept.
#include "safe_file.h"
#include "scoped_tmpfs.h"
#include "windows_device.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

mode_t Kind(const QString& path)
{
    struct stat st {};
    return ::lstat(PathToBytes(path).constData(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

QByteArray Read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

TEST(SafeFileTest, SpecialTargetsAreRefusedUntouchedWithoutWaiting)
{
    QTemporaryDir dir;
    const QString d = dir.path() + QLatin1Char('/');
    ASSERT_EQ(::mkfifo(PathToBytes(d + "fifo").constData(), 0600), 0);
    // A stand-in for a device node, made here and never under /dev: the numbers of /dev/null.
    const bool bNode = ::mknod(PathToBytes(d + "node").constData(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    ASSERT_EQ(::symlink("fifo", PathToBytes(d + "to-fifo").constData()), 0);
    ASSERT_EQ(::symlink("node", PathToBytes(d + "to-node").constData()), 0);
    ASSERT_EQ(::symlink("loop", PathToBytes(d + "loop").constData()), 0);
    ASSERT_EQ(::mkdir(PathToBytes(d + "folder").constData(), 0700), 0);

    struct Case {
        const char* name;
        const char* why;
        const char* stays; // what must still be there, of the kind it was
        mode_t kind;
    };
    for (const Case& c :
         {Case{"fifo", "is a FIFO", "fifo", S_IFIFO}, Case{"to-fifo", "a link to", "fifo", S_IFIFO},
          Case{"node", "is a device node", "node", S_IFCHR}, Case{"to-node", "a link to", "node", S_IFCHR},
          Case{"folder", "is a folder", "folder", S_IFDIR}, Case{"loop", "loop of symbolic links", "loop", S_IFLNK}}) {
        SCOPED_TRACE(c.name);
        if (c.kind == S_IFCHR && !bNode)
            continue; // mknod needs root
        const QString path = d + QLatin1String(c.name);
        QString error;
        EXPECT_FALSE(WriteFileSafely(path, "x", &error));
        EXPECT_TRUE(error.contains(QLatin1String(c.why))) << error.toStdString();
        error.clear();
        EXPECT_FALSE(CheckWritable(path, false, &error));
        EXPECT_TRUE(error.contains(QLatin1String(c.why))) << error.toStdString();
        EXPECT_EQ(CAppendFile::Open(path, &error), nullptr);
        EXPECT_EQ(Kind(d + QLatin1String(c.stays)), c.kind);
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral(".tmp")), QStringList());
}

// A full disk and a read-only one: the failure is said in the system's words, and the old file,
// the link to it and the folder stay as they were.
TEST(SafeFileTest, FileSystemsThatTakeNothingLeaveTheOldFileWhole)
{
    QTemporaryDir dir;
    const CScopedTmpfs disk((dir.path() + "/disk").toStdString(), 64);
    const CScopedTmpfs readOnly((dir.path() + "/ro").toStdString(), 64, true);
    if (!disk.Mounted() || !readOnly.Mounted())
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    const QString conf = dir.path() + "/disk/kova_en.conf";
    QString error;
    ASSERT_TRUE(WriteFileSafely(conf, "[ports]\nCOM1=/dev/ttyUSB0\n", &error)) << error.toStdString();
    ASSERT_EQ(::symlink("kova_en.conf", PathToBytes(dir.path() + "/disk/link").constData()), 0);

    const QByteArray tooBig(256 * 1024, 'x');
    EXPECT_FALSE(WriteFileSafely(dir.path() + "/disk/link", tooBig, &error));
    EXPECT_TRUE(error.contains(QLatin1String("No space left on device"))) << error.toStdString();
    EXPECT_EQ(Read(conf), "[ports]\nCOM1=/dev/ttyUSB0\n");
    EXPECT_EQ(Kind(dir.path() + "/disk/link"), static_cast<mode_t>(S_IFLNK));
    EXPECT_TRUE(WriteNewFileSafely(dir.path() + "/disk/report.json", tooBig, &error).isEmpty());
    auto trace = CAppendFile::Open(dir.path() + "/disk/trace", &error);
    ASSERT_NE(trace, nullptr);
    EXPECT_FALSE(trace->Write(tooBig));
    EXPECT_TRUE(trace->Failed());
    EXPECT_EQ(QDir(dir.path() + "/disk").entryList(QDir::Files | QDir::Hidden | QDir::System),
              (QStringList{"kova_en.conf", "link", "trace"}));

    EXPECT_FALSE(CheckWritable(dir.path() + "/ro/report.json", true, &error));
    EXPECT_TRUE(error.contains(QLatin1String("Read-only file system"))) << error.toStdString();
}

// A file system that will not give the new file the old one's permissions (played here by a
// seccomp filter in a child process): the write fails and the old file stays as it was, rather
// than being replaced by one with other rights.
TEST(SafeFileTest, PermissionsThatCannotBeKeptFailTheWrite)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("kept.conf"));
    QString why;
    ASSERT_TRUE(WriteFileSafely(path, "old", &why)) << why.toStdString();
    ASSERT_EQ(::chmod(PathToBytes(path).constData(), 0640), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fchmod, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0
            || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            ::_exit(3);
        ::_exit(WriteFileSafely(path, "new", &why) ? 1 : why.contains(QStringLiteral("permissions")) ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    EXPECT_EQ(Read(path), "old");
    struct stat st {};
    ASSERT_EQ(::stat(PathToBytes(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST(SafeFileTest, NewNamesAreTakenOnceAndNamesKeepTheirBytes)
{
    QTemporaryDir dir;
    const QByteArray raw = PathToBytes(dir.path()) + "/rep\xff.json";
    const QString name = PathFromBytes(raw);
    EXPECT_EQ(PathToBytes(name), raw);
    EXPECT_EQ(PathFromBytes("caf\xc3\xa9 \xf0\x9f\x98\x80"), QStringLiteral("caf\u00e9 \U0001F600"));

    QString error;
    EXPECT_EQ(WriteNewFileSafely(name, "first", &error), name) << error.toStdString();
    EXPECT_EQ(PathToBytes(WriteNewFileSafely(name, "second", &error)), PathToBytes(dir.path()) + "/rep\xff-2.json");
    struct stat st {};
    ASSERT_EQ(::stat(raw.constData(), &st), 0);
    EXPECT_EQ(st.st_size, 5);

    // Replacing keeps the old file's mode, and its owner where the writer may give it back.
    ASSERT_EQ(::chmod(raw.constData(), 0640), 0);
    const bool bRoot = ::geteuid() == 0 && ::chown(raw.constData(), 4321, 4321) == 0;
    bool bOwnerKept = false;
    ASSERT_TRUE(WriteFileSafely(name, "third", &error, &bOwnerKept)) << error.toStdString();
    ASSERT_EQ(::stat(raw.constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_size, 5);
    if (bRoot) {
        EXPECT_TRUE(bOwnerKept);
        EXPECT_EQ(st.st_uid, 4321u);
    }
    // A file where a folder is to be is said to be one.
    EXPECT_FALSE(WriteFileSafely(name + "/x.json", "x", &error));
    EXPECT_TRUE(error.endsWith(QLatin1String("is a file, not a folder"))) << error.toStdString();
    // QTemporaryDir knows names only as QString and could not remove these.
    ::unlink(raw.constData());
    ::unlink((PathToBytes(dir.path()) + "/rep\xff-2.json").constData());
}

// What Windows would open as a device, whatever folder the name is in: the Windows half refuses
// these before the system sees them. The rule is plain text, so it is held to here.
TEST(SafeFileTest, WindowsDeviceNamesAndNamespacesAreTold)
{
    struct Case {
        const char16_t* path;
        const char* why; // nullptr: a file
    };
    for (const Case& c : {
             Case{u"NUL", "name NUL"},
             Case{u"C:\\x\\con.json", "name CON"},
             Case{u"d:/reports/Com1.json", "name COM1"},
             Case{u"LPT0", "name LPT0"},
             Case{u"aux.tar.gz", "name AUX"},
             Case{u"prn. . ", "name PRN"},
             Case{u"nul .txt", "name NUL"},
             Case{u"nul:stream", "name NUL"},
             Case{u"C:nul", "name NUL"},
             Case{u"CONOUT$", "name CONOUT$"},
             Case{u"com\u00B3.log", "name COM\u00B3"},
             Case{u"\\\\?\\C:\\x\\nul", "name NUL"},
             Case{u"\\\\.\\COM1", "device namespace"},
             Case{u"//./pipe/x", "device namespace"},
             Case{u"\\\\?\\GLOBALROOT\\Device\\Serial0", "device namespace"},
             Case{u"\\??\\COM1", "device namespace"},
             Case{u"C:\\x\\report.json", nullptr},
             Case{u"C:\\nul\\report.json", nullptr},
             Case{u"console.json", nullptr},
             Case{u"COM10", nullptr},
             Case{u"com1x.json", nullptr},
             Case{u"LPT", nullptr},
             Case{u"\\\\?\\C:\\x\\report.json", nullptr},
             Case{u"\\\\?\\unc\\server\\share\\r.json", nullptr},
             Case{u"\\\\server\\share\\r.json", nullptr},
             Case{u"", nullptr},
         }) {
        const QString path = QString::fromUtf16(c.path);
        SCOPED_TRACE(path.toStdString());
        const QString why = WindowsDeviceIn(path);
        if (c.why == nullptr)
            EXPECT_EQ(why, QString());
        else
            EXPECT_TRUE(why.contains(QString::fromUtf8(c.why))) << why.toStdString();
    }
}

} // namespace
