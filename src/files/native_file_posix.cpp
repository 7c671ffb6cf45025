#include "native_file.h"

#include "safe_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The safe writer's calls on Linux and the other POSIX systems: names are bytes (PathToBytes),
// files are descriptors, opened with O_CLOEXEC so a child the program starts keeps none.

namespace native {

namespace {

QByteArray Bytes(const QString& path)
{
    return PathToBytes(path);
}

Error LastError()
{
    return static_cast<Error>(errno);
}

int Fd(CFile file)
{
    return static_cast<int>(file.value);
}

QString KindOf(mode_t mode)
{
    return S_ISDIR(mode)                    ? QStringLiteral("a folder")
           : S_ISFIFO(mode)                 ? QStringLiteral("a FIFO")
           : S_ISSOCK(mode)                 ? QStringLiteral("a socket")
           : S_ISCHR(mode) || S_ISBLK(mode) ? QStringLiteral("a device node")
           : S_ISREG(mode)                  ? QStringLiteral("a file")
                                            : QStringLiteral("no regular file");
}

CPathInfo InfoOf(const struct stat& st)
{
    CPathInfo info;
    info.kind = S_ISREG(st.st_mode)   ? CPathInfo::Kind::File
                : S_ISDIR(st.st_mode) ? CPathInfo::Kind::Folder
                                      : CPathInfo::Kind::Other;
    info.strWhat = KindOf(st.st_mode);
    return info;
}

CPathInfo MissingInfo()
{
    CPathInfo info;
    info.error = LastError();
    return info;
}

} // namespace

QString Reason(Error error)
{
    return QString::fromLocal8Bit(std::strerror(static_cast<int>(error)));
}

bool IsTaken(Error error)
{
    return error == EEXIST;
}

Error TakenError()
{
    return EEXIST;
}

CPathInfo LookAt(const QString& path)
{
    const QByteArray bytes = Bytes(path);
    struct stat st {};
    if (::lstat(bytes.constData(), &st) != 0)
        return MissingInfo();
    if (!S_ISLNK(st.st_mode))
        return InfoOf(st);
    CPathInfo info;
    info.kind = CPathInfo::Kind::Link;
    QByteArray link(static_cast<qsizetype>(st.st_size > 0 ? st.st_size : 256) + 1, '\0');
    const ssize_t n = ::readlink(bytes.constData(), link.data(), static_cast<size_t>(link.size()));
    if (n < 0 || n >= link.size())
        return info; // changed under us; the write that follows says what it finds
    link.truncate(n);
    info.strTarget =
        link.startsWith('/') ? PathFromBytes(link) : FolderOf(path) + QLatin1Char('/') + PathFromBytes(link);
    return info;
}

CPathInfo LookThrough(const QString& path)
{
    struct stat st {};
    if (::stat(Bytes(path).constData(), &st) != 0)
        return MissingInfo();
    return InfoOf(st);
}

QString DeviceName(QStringView)
{
    return {}; // a name is a device only when a device node stands there
}

QString FolderOf(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QStringLiteral(".");
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

qsizetype FileNameStart(QStringView path)
{
    return path.lastIndexOf(QLatin1Char('/')) + 1;
}

QString Shown(const QString& folder)
{
    return folder;
}

bool MakeFolder(const QString& folder, QString* pError)
{
    const auto fail = [pError](const QString& text) {
        if (pError != nullptr)
            *pError = text;
        return false;
    };
    // mkdir -p on the path's bytes.
    const QByteArray bytes = Bytes(folder);
    struct stat st {};
    if (::stat(bytes.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        return fail(QStringLiteral("%1 is %2, not a folder").arg(folder, KindOf(st.st_mode)));
    }
    for (qsizetype i = 1; i <= bytes.size(); ++i) {
        if (i < bytes.size() && bytes[i] != '/')
            continue;
        const QByteArray part = bytes.left(i);
        if (::mkdir(part.constData(), 0777) != 0 && errno != EEXIST)
            return fail(QStringLiteral("cannot make the folder %1: %2").arg(PathFromBytes(part), Reason(LastError())));
    }
    if (::stat(bytes.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return fail(QStringLiteral("cannot make the folder %1: %2").arg(folder, Reason(ENOTDIR)));
    return true;
}

CFile CreateExclusive(const QString& path, Error* pError)
{
    const int fd = ::open(Bytes(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        *pError = LastError();
    return {fd};
}

CFile OpenAppend(const QString& path, Error* pError)
{
    // O_NONBLOCK: whatever was swapped in since the writer looked at the path, nothing waits on it.
    const int fd = ::open(Bytes(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        *pError = LastError();
    return {fd};
}

QString NotAFile(CFile file)
{
    struct stat st {};
    if (::fstat(Fd(file), &st) == 0 && S_ISREG(st.st_mode))
        return {};
    return KindOf(st.st_mode);
}

Error WriteAll(CFile file, const QByteArray& data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(Fd(file), data.constData() + done, static_cast<size_t>(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? LastError() : EIO;
        done += n;
    }
    return 0;
}

Error Sync(CFile file)
{
    // EINVAL: a file that cannot be synchronised (a special file system) has nothing to lose.
    return ::fsync(Fd(file)) != 0 && errno != EINVAL ? LastError() : 0;
}

Error Close(CFile file)
{
    return ::close(Fd(file)) != 0 && errno != EINTR ? LastError() : 0;
}

bool KeepModeAndOwner(CFile file, const QString& target, Error* pError, bool* pOwnerKept)
{
    struct stat old {};
    if (::stat(Bytes(target).constData(), &old) != 0 || !S_ISREG(old.st_mode))
        return true;
    if (::fchmod(Fd(file), old.st_mode & 07777) != 0) {
        *pError = LastError();
        return false;
    }
    if ((old.st_uid != ::geteuid() || old.st_gid != ::getegid()) && ::fchown(Fd(file), old.st_uid, old.st_gid) != 0
        && pOwnerKept != nullptr)
        *pOwnerKept = false;
    return true;
}

Error Replace(const QString& from, const QString& to)
{
    return ::rename(Bytes(from).constData(), Bytes(to).constData()) != 0 ? LastError() : 0;
}

Error LinkNew(const QString& from, const QString& to)
{
    const QByteArray source = Bytes(from);
    const QByteArray name = Bytes(to);
    // A hard link is made only where no name is, and the file appears whole.
    if (::link(source.constData(), name.constData()) == 0) {
        ::unlink(source.constData());
        return 0;
    }
    if (errno == EEXIST)
        return EEXIST;
    // Where the file system has no hard links, the name is taken with an exclusive create and
    // the written file renamed onto it.
    const int reserved = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (reserved < 0)
        return LastError();
    ::close(reserved);
    if (::rename(source.constData(), name.constData()) == 0)
        return 0;
    const Error error = LastError();
    ::unlink(name.constData());
    return error;
}

void Remove(const QString& path)
{
    ::unlink(Bytes(path).constData());
}

void SyncFolder(const QString& folder)
{
    const int fd = ::open(Bytes(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
}

} // namespace native
