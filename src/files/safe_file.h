#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

// Every file the program writes (the configuration of --save-port, the reports, the trace file
// the user names) goes through here. A path given by a user may name anything, and the program
// often runs as root on a test station, so:
//   - the target is looked at before anything is opened for writing: after its symbolic links
//     it must be missing or a regular file, never a device node, a FIFO, a socket or a folder;
//   - nothing ever waits on a file: opens are non-blocking and the type is checked again on the
//     descriptor;
//   - every write, the flush to disk and the rename are checked, and a failure leaves the old
//     file whole and says why in the system's own words.
// On Windows the same holds with Windows' kinds of file: a name Windows keeps for a device
// (NUL, CON, COM1, "C:\x\nul.json") or a path in its device namespace ("\\.\COM1") is
// refused before the system sees it (windows_device.h), a folder or device by its attributes,
// and a file opened for appending must be a file on a disk. Windows has no owner and mode to
// keep: a new file takes its folder's access rules.

// A file name as the system sees it, and back: bytes that are not UTF-8 (a name written under
// another locale) travel as lone surrogates U+DC80..U+DCFF, so they come back byte for byte
// instead of as U+FFFD, as QFile::decodeName would make of them.
QString PathFromBytes(const QByteArray& bytes);
QByteArray PathToBytes(const QString& path);
// The value of an environment variable naming a path, decoded as above; empty when unset.
QString PathFromEnvironment(const char* pszName);

// What strPath leads to after every symbolic link: the file that would be written. Empty, with
// *pError saying why, when that is anything but a regular file or nothing yet, or when the
// links loop.
QString WritableTarget(const QString& strPath, QString* pError);

// Whether a new file could be written in the folder now: it exists (made when bMakeFolder) and
// takes a new file. Nothing is left behind but the folder.
bool CheckWritableFolder(const QString& folder, bool bMakeFolder, QString* pError);
// Whether strPath could be written now: its target is a regular file or missing, its folder
// exists (made when bMakeFolder) and takes a new file. Nothing is left behind but the folder.
bool CheckWritable(const QString& strPath, bool bMakeFolder, QString* pError);

// Replaces the target of strPath (links followed, the link kept) with data, whole or not at
// all: a new file is written beside it, flushed to disk and renamed over it, with the old
// file's owner and mode (*pOwnerKept false when the owner could not be given back; Windows has
// neither to keep). Makes the folder when it is missing.
bool WriteFileSafely(const QString& strPath, const QByteArray& data, QString* pError, bool* pOwnerKept = nullptr);

// Writes data under a name no file has yet: strPath itself, else with "-2", "-3", ... before
// its extension. The name is taken atomically, so processes writing at the same moment never
// share one. Returns the path written, or an empty string and *pError.
QString WriteNewFileSafely(const QString& strPath, const QByteArray& data, QString* pError);

// A file that lines are appended to (the trace). Opened without waiting, and only when it is a
// regular file or missing; every write is checked, and the first failure ends the writing and
// is kept in Error().
class CAppendFile {
public:
    static std::unique_ptr<CAppendFile> Open(const QString& strPath, QString* pError);
    ~CAppendFile();
    CAppendFile(const CAppendFile&) = delete;
    CAppendFile& operator=(const CAppendFile&) = delete;

    bool Write(const QByteArray& data);
    bool Failed() const { return !m_strError.isEmpty(); }
    const QString& Error() const { return m_strError; }

private:
    CAppendFile() = default;
    intptr_t m_nFile = -1; // the descriptor, or Windows' HANDLE
    QString m_strError;
};
