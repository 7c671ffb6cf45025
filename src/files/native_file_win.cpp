#include "native_file.h"

#include "windows_device.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <string>
#include <utility>

#include <windows.h>

// The safe writer's calls on Windows: names are wide strings with backslashes, files are
// HANDLEs, errors are Windows' codes and words. Windows has no owner and mode to give back: a
// new file takes its folder's inherited access rules.

namespace native {

namespace {

std::wstring Wide(const QString& path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

Error LastError()
{
    return ::GetLastError();
}

HANDLE Handle(CFile file)
{
    return reinterpret_cast<HANDLE>(file.value);
}

CFile FileOf(HANDLE h)
{
    return {reinterpret_cast<intptr_t>(h)};
}

QString KindOf(DWORD attributes)
{
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? QStringLiteral("a folder")
           : (attributes & FILE_ATTRIBUTE_DEVICE) != 0  ? QStringLiteral("a device")
                                                        : QStringLiteral("a file");
}

CPathInfo InfoOf(DWORD attributes)
{
    CPathInfo info;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        info.error = LastError();
        return info;
    }
    info.kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? CPathInfo::Kind::Folder
                : (attributes & FILE_ATTRIBUTE_DEVICE) != 0  ? CPathInfo::Kind::Other
                                                             : CPathInfo::Kind::File;
    info.strWhat = KindOf(attributes);
    return info;
}

} // namespace

QString Reason(Error error)
{
    wchar_t* pText = nullptr;
    const DWORD n =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<LPWSTR>(&pText), 0, nullptr);
    QString reason = n > 0 && pText != nullptr ? QString::fromWCharArray(pText, static_cast<qsizetype>(n)).trimmed()
                                               : QStringLiteral("error %1").arg(error);
    if (pText != nullptr)
        ::LocalFree(pText);
    if (reason.endsWith(QLatin1Char('.')))
        reason.chop(1);
    return reason;
}

bool IsTaken(Error error)
{
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

Error TakenError()
{
    return ERROR_FILE_EXISTS;
}

CPathInfo LookAt(const QString& path)
{
    // The name rule first: opening "NUL" or "C:\x\com1.json" for writing opens the device,
    // whatever is on the disk.
    if (const QString why = DeviceName(path); !why.isEmpty()) {
        CPathInfo info;
        info.kind = CPathInfo::Kind::Other;
        info.strWhat = QStringLiteral("a device (%1)").arg(why);
        return info;
    }
    const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
    CPathInfo info = InfoOf(attributes);
    // Junctions and mount points are folders, and a link to a folder is one too.
    if (info.kind != CPathInfo::Kind::File || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return info;
    const QFileInfo file(path);
    if (!file.isSymLink())
        return info;
    info.kind = CPathInfo::Kind::Link;
    info.strWhat.clear();
    info.strTarget = file.symLinkTarget();
    return info;
}

CPathInfo LookThrough(const QString& path)
{
    return InfoOf(::GetFileAttributesW(Wide(path).c_str()));
}

QString DeviceName(QStringView path)
{
    return WindowsDeviceIn(path);
}

QString FolderOf(const QString& path)
{
    return QFileInfo(path).absolutePath();
}

qsizetype FileNameStart(QStringView path)
{
    return std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\'))) + 1;
}

QString Shown(const QString& folder)
{
    return QDir::toNativeSeparators(folder);
}

bool MakeFolder(const QString& folder, QString* pError)
{
    const auto fail = [pError](const QString& text) {
        if (pError != nullptr)
            *pError = text;
        return false;
    };
    QStringList missing;
    QString existing = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    DWORD attributes = ::GetFileAttributesW(Wide(existing).c_str());
    while (attributes == INVALID_FILE_ATTRIBUTES) {
        const QString up = QFileInfo(existing).absolutePath();
        if (up == existing)
            break; // a drive or share that is not there: its CreateDirectoryW says so
        missing.prepend(existing);
        existing = up;
        attributes = ::GetFileAttributesW(Wide(existing).c_str());
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return fail(QStringLiteral("%1 is %2, not a folder").arg(Shown(existing), KindOf(attributes)));
    if (attributes == INVALID_FILE_ATTRIBUTES)
        missing.prepend(existing);
    for (const QString& part : std::as_const(missing)) {
        if (!::CreateDirectoryW(Wide(part).c_str(), nullptr) && LastError() != ERROR_ALREADY_EXISTS)
            return fail(QStringLiteral("cannot make the folder %1: %2").arg(Shown(part), Reason(LastError())));
    }
    return true;
}

CFile CreateExclusive(const QString& path, Error* pError)
{
    const HANDLE h =
        ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        *pError = LastError();
    return FileOf(h);
}

CFile OpenAppend(const QString& path, Error* pError)
{
    // Others may read the trace while it is written, and remove it.
    const HANDLE h =
        ::CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        *pError = LastError();
    return FileOf(h);
}

QString NotAFile(CFile file)
{
    return ::GetFileType(Handle(file)) == FILE_TYPE_DISK ? QString() : QStringLiteral("no regular file");
}

Error WriteAll(CFile file, const QByteArray& data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<qsizetype>(data.size() - done, 1 << 30));
        DWORD written = 0;
        if (!::WriteFile(Handle(file), data.constData() + done, chunk, &written, nullptr))
            return LastError();
        if (written == 0)
            return ERROR_WRITE_FAULT;
        done += written;
    }
    return 0;
}

Error Sync(CFile file)
{
    return ::FlushFileBuffers(Handle(file)) ? 0 : LastError();
}

Error Close(CFile file)
{
    return ::CloseHandle(Handle(file)) ? 0 : LastError();
}

bool KeepModeAndOwner(CFile, const QString&, Error*, bool*)
{
    return true; // the new file took its folder's access rules, as the old one did
}

Error Replace(const QString& from, const QString& to)
{
    return ::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : LastError();
}

Error LinkNew(const QString& from, const QString& to)
{
    // A move never replaces a file without MOVEFILE_REPLACE_EXISTING.
    return ::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_WRITE_THROUGH) ? 0 : LastError();
}

void Remove(const QString& path)
{
    ::DeleteFileW(Wide(path).c_str());
}

void SyncFolder(const QString&)
{
    // MOVEFILE_WRITE_THROUGH returned only once the move was on the disk.
}

} // namespace native
