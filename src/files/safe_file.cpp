#include "safe_file.h"

#include "native_file.h"

#include <QRandomGenerator>

// The steps of every write, once for every system, on the system's own calls (native_file.h),
// as QSaveFile stands on Qt's file engines. QSaveFile itself is not used: it cannot refuse a
// FIFO or a device name before it opens it, cannot take a name exclusively, gives the new file
// to whoever writes it (root, on a user's configuration) and knows file names only as QString,
// which loses bytes that are not UTF-8.

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
    const qsizetype dot = strPath.lastIndexOf(QLatin1Char('.'));
    const QString number = QStringLiteral("-%1").arg(n);
    return dot >= native::FileNameStart(strPath) ? strPath.left(dot) + number + strPath.mid(dot) : strPath + number;
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

namespace {

using native::CFile;
using native::CPathInfo;

// A new file of our own in the folder, taken exclusively; a random name, so that writers in the
// same folder at the same moment never meet.
CFile CreateTemporary(const QString& folder, QString* pTempPath, QString* pError)
{
    native::Error error = native::TakenError();
    for (int attempt = 0; attempt < 100 && native::IsTaken(error); ++attempt) {
        *pTempPath = folder + QStringLiteral("/.kova_en-")
                     + QString::number(QRandomGenerator::global()->generate64(), 36) + QStringLiteral(".tmp");
        const CFile file = native::CreateExclusive(*pTempPath, &error);
        if (file.IsOpen())
            return file;
    }
    Fail(pError, QStringLiteral("cannot write in %1: %2").arg(native::Shown(folder), native::Reason(error)));
    return {};
}

// Writes data whole to the file and to the disk, then closes it; false and why otherwise.
bool WriteAllAndClose(CFile file, const QByteArray& data, const QString& what, QString* pError)
{
    native::Error error = native::WriteAll(file, data);
    if (error == 0)
        error = native::Sync(file);
    const native::Error closed = native::Close(file);
    if (error == 0)
        error = closed;
    if (error != 0)
        return Fail(pError, QStringLiteral("cannot write %1: %2").arg(what, native::Reason(error)));
    return true;
}

// A name the system takes for a device whatever the disk holds is refused before it is used.
bool RefuseDeviceName(const QString& path, QString* pError)
{
    const QString why = native::DeviceName(path);
    return !why.isEmpty() && !Fail(pError, QStringLiteral("%1 is a device (%2)").arg(path, why));
}

} // namespace

QString WritableTarget(const QString& strPath, QString* pError)
{
    QString path = strPath;
    // As many links as the kernel follows itself; a loop of links ends here too. The file
    // written is the link's target, and the link stays.
    for (int hop = 0; hop < 40; ++hop) {
        const CPathInfo info = native::LookAt(path);
        switch (info.kind) {
        case CPathInfo::Kind::Missing: return path; // made afresh; an unreachable folder fails the write
        case CPathInfo::Kind::File: return path;
        case CPathInfo::Kind::Link:
            if (info.strTarget.isEmpty())
                return path; // changed under us or unreadable: the write that follows says what it finds
            path = info.strTarget;
            continue;
        case CPathInfo::Kind::Folder:
        case CPathInfo::Kind::Other: break;
        }
        Fail(pError, path == strPath ? QStringLiteral("%1 is %2").arg(strPath, info.strWhat)
                                     : QStringLiteral("%1 is a link to %2, %3").arg(strPath, path, info.strWhat));
        return {};
    }
    Fail(pError, QStringLiteral("%1 is a loop of symbolic links").arg(strPath));
    return {};
}

bool CheckWritableFolder(const QString& folder, bool bMakeFolder, QString* pError)
{
    if (bMakeFolder) {
        if (!native::MakeFolder(folder, pError))
            return false;
    } else {
        const CPathInfo info = native::LookThrough(folder);
        if (info.kind == CPathInfo::Kind::Missing)
            return Fail(pError, QStringLiteral("cannot write in %1: %2").arg(folder, native::Reason(info.error)));
        if (info.kind != CPathInfo::Kind::Folder)
            return Fail(pError, QStringLiteral("%1 is %2, not a folder").arg(folder, info.strWhat));
    }
    // Tried for real: permissions alone do not tell a read-only mount, root passes them all,
    // and the read-only attribute of a folder means nothing to Windows.
    QString temp;
    const CFile file = CreateTemporary(folder, &temp, pError);
    if (!file.IsOpen())
        return false;
    native::Close(file);
    native::Remove(temp);
    return true;
}

bool CheckWritable(const QString& strPath, bool bMakeFolder, QString* pError)
{
    const QString target = WritableTarget(strPath, pError);
    return !target.isEmpty() && CheckWritableFolder(native::FolderOf(target), bMakeFolder, pError);
}

bool WriteFileSafely(const QString& strPath, const QByteArray& data, QString* pError, bool* pOwnerKept)
{
    if (pOwnerKept != nullptr)
        *pOwnerKept = true;
    const QString target = WritableTarget(strPath, pError);
    if (target.isEmpty())
        return false;
    const QString folder = native::FolderOf(target);
    if (!native::MakeFolder(folder, pError))
        return false;
    QString temp;
    const CFile file = CreateTemporary(folder, &temp, pError);
    if (!file.IsOpen())
        return false;
    // A file that silently lost its mode (a config readable by its group, a report a service
    // reads) is a file the writer damaged: the old one is kept instead.
    if (native::Error error = 0; !native::KeepModeAndOwner(file, target, &error, pOwnerKept)) {
        native::Close(file);
        native::Remove(temp);
        return Fail(
            pError,
            QStringLiteral("cannot write %1: its permissions cannot be kept: %2").arg(strPath, native::Reason(error)));
    }
    if (!WriteAllAndClose(file, data, strPath, pError)) {
        native::Remove(temp);
        return false;
    }
    // Replaced in one step, or not at all: the old file is whole until the new one is.
    if (const native::Error error = native::Replace(temp, target); error != 0) {
        native::Remove(temp);
        return Fail(pError, QStringLiteral("cannot write %1: %2").arg(strPath, native::Reason(error)));
    }
    native::SyncFolder(folder);
    return true;
}

QString WriteNewFileSafely(const QString& strPath, const QByteArray& data, QString* pError)
{
    const QString folder = native::FolderOf(strPath);
    if (RefuseDeviceName(strPath, pError) || !native::MakeFolder(folder, pError))
        return {};
    // Written whole under a name of our own first, then given a free name in one step: two runs
    // never share a name, and no empty or half file is ever seen under the report's name.
    QString temp;
    const CFile file = CreateTemporary(folder, &temp, pError);
    if (!file.IsOpen())
        return {};
    if (!WriteAllAndClose(file, data, strPath, pError)) {
        native::Remove(temp);
        return {};
    }
    for (int n = 1; n < 1000; ++n) {
        const QString name = NumberedName(strPath, n);
        if (RefuseDeviceName(name, pError))
            break;
        const native::Error error = native::LinkNew(temp, name);
        if (error == 0) {
            native::SyncFolder(folder);
            return name;
        }
        if (!native::IsTaken(error)) {
            Fail(pError, QStringLiteral("cannot write %1: %2").arg(name, native::Reason(error)));
            break;
        }
        if (n == 999)
            Fail(pError, QStringLiteral("cannot write %1: %2").arg(strPath, native::Reason(error)));
    }
    native::Remove(temp);
    return {};
}

std::unique_ptr<CAppendFile> CAppendFile::Open(const QString& strPath, QString* pError)
{
    const QString target = WritableTarget(strPath, pError);
    if (target.isEmpty())
        return nullptr;
    native::Error error = 0;
    const CFile file = native::OpenAppend(target, &error);
    if (!file.IsOpen()) {
        Fail(pError, QStringLiteral("cannot open %1: %2").arg(strPath, native::Reason(error)));
        return nullptr;
    }
    // Whatever was swapped in since the look above: only a file on a disk is written.
    if (const QString what = native::NotAFile(file); !what.isEmpty()) {
        native::Close(file);
        Fail(pError, QStringLiteral("%1 is %2").arg(strPath, what));
        return nullptr;
    }
    std::unique_ptr<CAppendFile> appendFile(new CAppendFile);
    appendFile->m_nFile = file.value;
    return appendFile;
}

CAppendFile::~CAppendFile()
{
    if (m_nFile != -1)
        native::Close({m_nFile});
}

bool CAppendFile::Write(const QByteArray& data)
{
    if (m_nFile == -1 || Failed())
        return false;
    if (const native::Error error = native::WriteAll({m_nFile}, data); error != 0) {
        m_strError = native::Reason(error);
        return false;
    }
    return true;
}
