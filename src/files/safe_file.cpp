#include "safe_file.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#ifdef _WIN32
#include "windows_device.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <string>

#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// The system's calls are made here rather than through QSaveFile: it cannot refuse a FIFO or a
// device name before it opens it, cannot take a name exclusively, gives the new file to
// whoever writes it (root, on a user's configuration) and knows file names only as QString,
// which loses bytes that are not UTF-8. The Windows half below does the same steps with
// Windows' calls, and reports Windows' own words for its errors.

namespace {

bool IsContinuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 sequence at p (at most n bytes), or 0.
int Utf8SequenceLength(const unsigned char* p, qsizetype n)
{
    const unsigned char c = p[0];
    int len = 0;
    unsigned char lo = 0x80, hi = 0xBF; // the range of the second byte
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        len = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0; // no overlong forms
        else if (c == 0xED)
            hi = 0x9F; // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F; // nothing beyond U+10FFFF
    } else
        return 0;
    if (n < len || p[1] < lo || p[1] > hi)
        return 0;
    for (int i = 2; i < len; ++i)
        if (!IsContinuation(p[i]))
            return 0;
    return len;
}

#ifndef _WIN32
// The system's words for an errno; the Windows half has its own for Windows' error codes.
QString Reason(int nErrno)
{
    return QString::fromLocal8Bit(std::strerror(nErrno));
}
#endif

bool Fail(QString* pError, const QString& text)
{
    if (pError != nullptr)
        *pError = text;
    return false;
}

// The name WriteNewFileSafely tries n-th: strPath itself, then "-n" before the extension of its
// file name (a dot in a folder's name is no extension).
QString NumberedName(const QString& strPath, int n)
{
    if (n == 1)
        return strPath;
    qsizetype nameStart = strPath.lastIndexOf(QLatin1Char('/'));
#ifdef _WIN32
    nameStart = std::max(nameStart, strPath.lastIndexOf(QLatin1Char('\\')));
#endif
    const qsizetype dot = strPath.lastIndexOf(QLatin1Char('.'));
    const QString number = QStringLiteral("-%1").arg(n);
    return dot > nameStart ? strPath.left(dot) + number + strPath.mid(dot) : strPath + number;
}

} // namespace

QString PathFromBytes(const QByteArray& bytes)
{
    QString path;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        const int len = Utf8SequenceLength(p + i, n - i);
        if (len == 0) {
            path += QChar(static_cast<char16_t>(0xDC00 + p[i]));
            ++i;
        } else {
            path += QString::fromUtf8(reinterpret_cast<const char*>(p + i), len);
            i += len;
        }
    }
    return path;
}

QByteArray PathToBytes(const QString& path)
{
    QByteArray bytes;
    const qsizetype n = path.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = path[i].unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < n && QChar::isLowSurrogate(path[i + 1].unicode())) {
            bytes += QStringView(path).mid(i, 2).toUtf8();
            ++i;
        } else if (u >= 0xDC80 && u <= 0xDCFF) {
            bytes += static_cast<char>(u - 0xDC00);
        } else {
            bytes += QStringView(path).mid(i, 1).toUtf8();
        }
    }
    return bytes;
}

QString PathFromEnvironment(const char* pszName)
{
#ifdef _WIN32
    return qEnvironmentVariable(pszName);
#else
    return PathFromBytes(qgetenv(pszName));
#endif
}

#ifndef _WIN32

namespace {

QString Folder(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QStringLiteral(".");
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
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

// mkdir -p on the path's bytes. True when the folder is there afterwards.
bool MakeFolder(const QString& folder, QString* pError)
{
    const QByteArray bytes = PathToBytes(folder);
    struct stat st {};
    if (::stat(bytes.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        return Fail(pError, QStringLiteral("%1 is %2, not a folder").arg(folder, KindOf(st.st_mode)));
    }
    for (qsizetype i = 1; i <= bytes.size(); ++i) {
        if (i < bytes.size() && bytes[i] != '/')
            continue;
        const QByteArray part = bytes.left(i);
        if (::mkdir(part.constData(), 0777) != 0 && errno != EEXIST)
            return Fail(pError,
                        QStringLiteral("cannot make the folder %1: %2").arg(PathFromBytes(part), Reason(errno)));
    }
    if (::stat(bytes.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Fail(pError, QStringLiteral("cannot make the folder %1: %2").arg(folder, Reason(ENOTDIR)));
    return true;
}

// A new file of our own beside the target, opened exclusively and without following links.
int CreateTemporary(const QString& folder, QByteArray* pTempPath, QString* pError)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        *pTempPath = PathToBytes(folder) + "/.kova_en-"
                     + QByteArray::number(QRandomGenerator::global()->generate64(), 36) + ".tmp";
        const int fd = ::open(pTempPath->constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST) {
            Fail(pError, QStringLiteral("cannot write in %1: %2").arg(folder, Reason(errno)));
            return -1;
        }
    }
    Fail(pError, QStringLiteral("cannot write in %1: %2").arg(folder, Reason(EEXIST)));
    return -1;
}

// Writes data whole to fd, again after an interrupted call: 0, or the errno of the failure.
int WriteAll(int fd, const QByteArray& data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, static_cast<size_t>(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        done += n;
    }
    return 0;
}

// Writes data whole to fd and to the disk, then closes it; false and the reason otherwise.
bool WriteAllAndClose(int fd, const QByteArray& data, const QString& what, QString* pError)
{
    if (const int error = WriteAll(fd, data); error != 0) {
        ::close(fd);
        return Fail(pError, QStringLiteral("cannot write %1: %2").arg(what, Reason(error)));
    }
    // A full disk may only show here, when the data leaves the cache.
    if (::fsync(fd) != 0 && errno != EINVAL) {
        const int error = errno;
        ::close(fd);
        return Fail(pError, QStringLiteral("cannot write %1: %2").arg(what, Reason(error)));
    }
    if (::close(fd) != 0 && errno != EINTR)
        return Fail(pError, QStringLiteral("cannot write %1: %2").arg(what, Reason(errno)));
    return true;
}

void SyncFolder(const QString& folder)
{
    // The rename itself reaches the disk with the folder; a failure here loses nothing written.
    const int fd = ::open(PathToBytes(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
}

} // namespace

QString WritableTarget(const QString& strPath, QString* pError)
{
    QString path = strPath;
    // As many links as the kernel follows itself; a loop of links ends here too.
    for (int hop = 0; hop < 40; ++hop) {
        const QByteArray bytes = PathToBytes(path);
        struct stat st {};
        if (::lstat(bytes.constData(), &st) != 0)
            return path; // nothing there yet: made afresh; an unreachable folder fails the write
        if (S_ISREG(st.st_mode))
            return path;
        if (!S_ISLNK(st.st_mode)) {
            Fail(pError, path == strPath
                             ? QStringLiteral("%1 is %2").arg(strPath, KindOf(st.st_mode))
                             : QStringLiteral("%1 is a link to %2, %3").arg(strPath, path, KindOf(st.st_mode)));
            return {};
        }
        QByteArray link(static_cast<qsizetype>(st.st_size > 0 ? st.st_size : 256) + 1, '\0');
        const ssize_t n = ::readlink(bytes.constData(), link.data(), static_cast<size_t>(link.size()));
        if (n < 0 || n >= link.size())
            return path; // changed under us; the write that follows says what it finds
        link.truncate(n);
        path = link.startsWith('/') ? PathFromBytes(link) : Folder(path) + QLatin1Char('/') + PathFromBytes(link);
    }
    Fail(pError, QStringLiteral("%1 is a loop of symbolic links").arg(strPath));
    return {};
}

bool CheckWritableFolder(const QString& folder, bool bMakeFolder, QString* pError)
{
    if (bMakeFolder) {
        if (!MakeFolder(folder, pError))
            return false;
    } else {
        struct stat st {};
        if (::stat(PathToBytes(folder).constData(), &st) != 0)
            return Fail(pError, QStringLiteral("cannot write in %1: %2").arg(folder, Reason(errno)));
        if (!S_ISDIR(st.st_mode))
            return Fail(pError, QStringLiteral("%1 is %2, not a folder").arg(folder, KindOf(st.st_mode)));
    }
    // Tried for real: permissions alone do not tell a read-only mount, and root passes them all.
    QByteArray temp;
    const int fd = CreateTemporary(folder, &temp, pError);
    if (fd < 0)
        return false;
    ::close(fd);
    ::unlink(temp.constData());
    return true;
}

bool CheckWritable(const QString& strPath, bool bMakeFolder, QString* pError)
{
    const QString target = WritableTarget(strPath, pError);
    return !target.isEmpty() && CheckWritableFolder(Folder(target), bMakeFolder, pError);
}

bool WriteFileSafely(const QString& strPath, const QByteArray& data, QString* pError, bool* pOwnerKept)
{
    if (pOwnerKept != nullptr)
        *pOwnerKept = true;
    const QString target = WritableTarget(strPath, pError);
    if (target.isEmpty())
        return false;
    const QString folder = Folder(target);
    if (!MakeFolder(folder, pError))
        return false;
    QByteArray temp;
    const int fd = CreateTemporary(folder, &temp, pError);
    if (fd < 0)
        return false;
    // The new file takes the old one's mode and owner: run by root on a user's file it would
    // otherwise become root's, and the user could no longer edit it.
    struct stat old {};
    if (::stat(PathToBytes(target).constData(), &old) == 0 && S_ISREG(old.st_mode)) {
        // A file that silently lost its mode (a config readable by its group, a report a
        // service reads) is a file the writer damaged: the old one is kept instead.
        if (::fchmod(fd, old.st_mode & 07777) != 0) {
            const int error = errno;
            ::close(fd);
            ::unlink(temp.constData());
            return Fail(
                pError,
                QStringLiteral("cannot write %1: its permissions cannot be kept: %2").arg(strPath, Reason(error)));
        }
        if ((old.st_uid != ::geteuid() || old.st_gid != ::getegid()) && ::fchown(fd, old.st_uid, old.st_gid) != 0
            && pOwnerKept != nullptr)
            *pOwnerKept = false;
    }
    if (!WriteAllAndClose(fd, data, strPath, pError)) {
        ::unlink(temp.constData());
        return false;
    }
    if (::rename(temp.constData(), PathToBytes(target).constData()) != 0) {
        const int error = errno;
        ::unlink(temp.constData());
        return Fail(pError, QStringLiteral("cannot write %1: %2").arg(strPath, Reason(error)));
    }
    SyncFolder(folder);
    return true;
}

QString WriteNewFileSafely(const QString& strPath, const QByteArray& data, QString* pError)
{
    const QString folder = Folder(strPath);
    if (!MakeFolder(folder, pError))
        return {};
    QByteArray temp;
    const int fd = CreateTemporary(folder, &temp, pError);
    if (fd < 0 || !WriteAllAndClose(fd, data, strPath, pError)) {
        if (fd >= 0)
            ::unlink(temp.constData());
        return {};
    }
    for (int n = 1; n < 1000; ++n) {
        const QString name = NumberedName(strPath, n);
        const QByteArray bytes = PathToBytes(name);
        // A hard link is made only where no name is: two runs can never take the same one, and
        // the file appears whole. Where the file system has no hard links, the name is taken
        // with an exclusive create and the written file renamed onto it.
        int rc = ::link(temp.constData(), bytes.constData());
        if (rc != 0 && errno != EEXIST) {
            const int reserved = ::open(bytes.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (reserved >= 0) {
                ::close(reserved);
                rc = ::rename(temp.constData(), bytes.constData());
                if (rc != 0)
                    ::unlink(bytes.constData());
            }
        }
        if (rc == 0) {
            ::unlink(temp.constData());
            SyncFolder(folder);
            return name;
        }
        if (errno != EEXIST) {
            const int error = errno;
            ::unlink(temp.constData());
            Fail(pError, QStringLiteral("cannot write %1: %2").arg(name, Reason(error)));
            return {};
        }
    }
    ::unlink(temp.constData());
    Fail(pError, QStringLiteral("cannot write %1: %2").arg(strPath, Reason(EEXIST)));
    return {};
}

std::unique_ptr<CAppendFile> CAppendFile::Open(const QString& strPath, QString* pError)
{
    const QString target = WritableTarget(strPath, pError);
    if (target.isEmpty())
        return nullptr;
    // O_NONBLOCK: whatever was swapped in since the look above, nothing waits on it.
    const int fd = ::open(PathToBytes(target).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        Fail(pError, QStringLiteral("cannot open %1: %2").arg(strPath, Reason(errno)));
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        Fail(pError, QStringLiteral("%1 is %2").arg(strPath, KindOf(st.st_mode)));
        return nullptr;
    }
    std::unique_ptr<CAppendFile> file(new CAppendFile);
    file->m_fd = fd;
    return file;
}

CAppendFile::~CAppendFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool CAppendFile::Write(const QByteArray& data)
{
    if (m_fd < 0 || Failed())
        return false;
    if (const int error = WriteAll(m_fd, data); error != 0) {
        m_strError = Reason(error);
        return false;
    }
    return true;
}

#else // _WIN32

namespace {

std::wstring Native(const QString& path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// The system's words for a Windows error code, as strerror gives them on Linux: no full stop,
// no line end.
QString Reason(DWORD code)
{
    wchar_t* pText = nullptr;
    const DWORD n =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, code, 0, reinterpret_cast<LPWSTR>(&pText), 0, nullptr);
    QString reason = n > 0 && pText != nullptr ? QString::fromWCharArray(pText, static_cast<qsizetype>(n)).trimmed()
                                               : QStringLiteral("error %1").arg(code);
    if (pText != nullptr)
        ::LocalFree(pText);
    if (reason.endsWith(QLatin1Char('.')))
        reason.chop(1);
    return reason;
}

QString Folder(const QString& path)
{
    return QFileInfo(path).absolutePath();
}

QString KindOf(DWORD attributes)
{
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? QStringLiteral("a folder")
           : (attributes & FILE_ATTRIBUTE_DEVICE) != 0 ? QStringLiteral("a device")
                                                       : QStringLiteral("a file");
}

// The name rule, before the system sees the path at all: opening "NUL" or "C:\x\com1.json"
// for writing opens the device, whatever is on the disk.
bool RefuseDevice(const QString& path, const QString& strAsked, QString* pError)
{
    const QString why = WindowsDeviceIn(path);
    if (why.isEmpty())
        return false;
    Fail(pError, path == strAsked ? QStringLiteral("%1 is a device (%2)").arg(strAsked, why)
                                  : QStringLiteral("%1 is a link to %2, a device (%3)").arg(strAsked, path, why));
    return true;
}

// Makes the folder and those above it that are missing. True when the folder is there.
bool MakeFolder(const QString& folder, QString* pError)
{
    QStringList missing;
    QString existing = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    DWORD attributes = ::GetFileAttributesW(Native(existing).c_str());
    while (attributes == INVALID_FILE_ATTRIBUTES) {
        const QString up = QFileInfo(existing).absolutePath();
        if (up == existing)
            break; // a drive or share that is not there: its CreateDirectoryW says so
        missing.prepend(existing);
        existing = up;
        attributes = ::GetFileAttributesW(Native(existing).c_str());
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return Fail(
            pError,
            QStringLiteral("%1 is %2, not a folder").arg(QDir::toNativeSeparators(existing), KindOf(attributes)));
    if (attributes == INVALID_FILE_ATTRIBUTES)
        missing.prepend(existing);
    for (const QString& part : std::as_const(missing)) {
        if (!::CreateDirectoryW(Native(part).c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            return Fail(pError, QStringLiteral("cannot make the folder %1: %2")
                                    .arg(QDir::toNativeSeparators(part), Reason(::GetLastError())));
    }
    return true;
}

// A new file of our own in the folder, taken exclusively.
HANDLE CreateTemporary(const QString& folder, QString* pTempPath, QString* pError)
{
    DWORD error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100 && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS); ++attempt) {
        *pTempPath = folder + QStringLiteral("/.kova_en-")
                     + QString::number(QRandomGenerator::global()->generate64(), 36) + QStringLiteral(".tmp");
        const HANDLE h = ::CreateFileW(Native(*pTempPath).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            return h;
        error = ::GetLastError();
    }
    Fail(pError, QStringLiteral("cannot write in %1: %2").arg(QDir::toNativeSeparators(folder), Reason(error)));
    return INVALID_HANDLE_VALUE;
}

void Remove(const QString& path)
{
    ::DeleteFileW(Native(path).c_str());
}

// Writes data whole to h: 0, or the error code of the failure.
DWORD WriteAll(HANDLE h, const QByteArray& data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<qsizetype>(data.size() - done, 1 << 30));
        DWORD written = 0;
        if (!::WriteFile(h, data.constData() + done, chunk, &written, nullptr))
            return ::GetLastError();
        if (written == 0)
            return ERROR_WRITE_FAULT;
        done += written;
    }
    return 0;
}

// Writes data whole to h and to the disk, then closes it; false and the reason otherwise.
bool WriteAllAndClose(HANDLE h, const QByteArray& data, const QString& what, QString* pError)
{
    DWORD error = WriteAll(h, data);
    // A full disk may only show here, when the data leaves the cache.
    if (error == 0 && !::FlushFileBuffers(h))
        error = ::GetLastError();
    if (!::CloseHandle(h) && error == 0)
        error = ::GetLastError();
    if (error != 0)
        return Fail(pError, QStringLiteral("cannot write %1: %2").arg(what, Reason(error)));
    return true;
}

} // namespace

QString WritableTarget(const QString& strPath, QString* pError)
{
    QString path = strPath;
    // Symbolic links are followed as the POSIX half follows them: the file written is the
    // link's target, and the link stays. Junctions and mount points are folders.
    for (int hop = 0; hop < 40; ++hop) {
        if (RefuseDevice(path, strPath, pError))
            return {};
        const DWORD attributes = ::GetFileAttributesW(Native(path).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return path; // nothing there yet: made afresh; an unreachable folder fails the write
        if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
            Fail(pError, path == strPath
                             ? QStringLiteral("%1 is %2").arg(strPath, KindOf(attributes))
                             : QStringLiteral("%1 is a link to %2, %3").arg(strPath, path, KindOf(attributes)));
            return {};
        }
        const QFileInfo info(path);
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 || !info.isSymLink())
            return path;
        path = info.symLinkTarget();
        if (path.isEmpty())
            return info.filePath(); // unreadable link: the write that follows says what it finds
    }
    Fail(pError, QStringLiteral("%1 is a loop of symbolic links").arg(strPath));
    return {};
}

bool CheckWritableFolder(const QString& folder, bool bMakeFolder, QString* pError)
{
    if (bMakeFolder) {
        if (!MakeFolder(folder, pError))
            return false;
    } else {
        const DWORD attributes = ::GetFileAttributesW(Native(folder).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return Fail(pError, QStringLiteral("cannot write in %1: %2").arg(folder, Reason(::GetLastError())));
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return Fail(pError, QStringLiteral("%1 is %2, not a folder").arg(folder, KindOf(attributes)));
    }
    // Tried for real: the read-only attribute of a folder means nothing to Windows, its
    // access rules do, and only a file made there tells them.
    QString temp;
    const HANDLE h = CreateTemporary(folder, &temp, pError);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(h);
    Remove(temp);
    return true;
}

bool CheckWritable(const QString& strPath, bool bMakeFolder, QString* pError)
{
    const QString target = WritableTarget(strPath, pError);
    return !target.isEmpty() && CheckWritableFolder(Folder(target), bMakeFolder, pError);
}

bool WriteFileSafely(const QString& strPath, const QByteArray& data, QString* pError, bool* pOwnerKept)
{
    // The new file takes the folder's inherited access rules; Windows has no owner and mode to
    // give back as POSIX does.
    if (pOwnerKept != nullptr)
        *pOwnerKept = true;
    const QString target = WritableTarget(strPath, pError);
    if (target.isEmpty())
        return false;
    const QString folder = Folder(target);
    if (!MakeFolder(folder, pError))
        return false;
    QString temp;
    const HANDLE h = CreateTemporary(folder, &temp, pError);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    if (!WriteAllAndClose(h, data, strPath, pError)) {
        Remove(temp);
        return false;
    }
    // Replaced in one step, or not at all: the old file is whole until the new one is.
    if (!::MoveFileExW(Native(temp).c_str(), Native(target).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = ::GetLastError();
        Remove(temp);
        return Fail(pError, QStringLiteral("cannot write %1: %2").arg(strPath, Reason(error)));
    }
    return true;
}

QString WriteNewFileSafely(const QString& strPath, const QByteArray& data, QString* pError)
{
    const QString folder = Folder(strPath);
    if (RefuseDevice(strPath, strPath, pError) || !MakeFolder(folder, pError))
        return {};
    // Written whole under a name of our own first, then moved onto a free name: a move never
    // replaces a file, so two runs never share a name, and no empty or half file is ever seen
    // under the report's name.
    QString temp;
    const HANDLE h = CreateTemporary(folder, &temp, pError);
    if (h == INVALID_HANDLE_VALUE)
        return {};
    if (!WriteAllAndClose(h, data, strPath, pError)) {
        Remove(temp);
        return {};
    }
    DWORD error = ERROR_FILE_EXISTS;
    QString name = strPath;
    for (int n = 1; n < 1000 && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS); ++n) {
        name = NumberedName(strPath, n);
        if (RefuseDevice(name, name, pError)) {
            Remove(temp);
            return {};
        }
        if (::MoveFileExW(Native(temp).c_str(), Native(name).c_str(), MOVEFILE_WRITE_THROUGH))
            return name;
        error = ::GetLastError();
    }
    Remove(temp);
    Fail(pError, QStringLiteral("cannot write %1: %2").arg(name, Reason(error)));
    return {};
}

std::unique_ptr<CAppendFile> CAppendFile::Open(const QString& strPath, QString* pError)
{
    const QString target = WritableTarget(strPath, pError);
    if (target.isEmpty())
        return nullptr;
    // Others may read the trace while it is written, and remove it.
    const HANDLE h =
        ::CreateFileW(Native(target).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        Fail(pError, QStringLiteral("cannot open %1: %2").arg(strPath, Reason(::GetLastError())));
        return nullptr;
    }
    // Whatever was swapped in since the look above: only a file on a disk is written.
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        ::CloseHandle(h);
        Fail(pError, QStringLiteral("%1 is no regular file").arg(strPath));
        return nullptr;
    }
    std::unique_ptr<CAppendFile> file(new CAppendFile);
    file->m_pHandle = h;
    return file;
}

CAppendFile::~CAppendFile()
{
    if (m_pHandle != nullptr)
        ::CloseHandle(m_pHandle);
}

bool CAppendFile::Write(const QByteArray& data)
{
    if (m_pHandle == nullptr || Failed())
        return false;
    if (const DWORD error = WriteAll(m_pHandle, data); error != 0) {
        m_strError = Reason(error);
        return false;
    }
    return true;
}

#endif // _WIN32
