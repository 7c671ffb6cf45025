#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <cstdint>

// The few things the safe writer (safe_file.cpp) asks of the system, one set for each system
// (native_file_posix.cpp, native_file_win.cpp). The writer's steps are the same everywhere:
// where the path leads, a new file of its own beside the target, written, flushed to disk and
// closed, moved over the target or onto a free name, removed on failure. Only these calls,
// their flags and their error words differ. Paths are the program's QString (PathFromBytes);
// each system turns them into its own kind of name here.
namespace native {

// An error as the system reports it: errno, or Windows' GetLastError(); 0 none.
using Error = unsigned long;
// The system's words for it, as strerror gives them: no full stop, no line end.
QString Reason(Error error);
// The name asked for is taken already (EEXIST, ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS).
bool IsTaken(Error error);
// The error that says a name is taken, for a message when every name was.
Error TakenError();

// An open file: a descriptor, or a HANDLE.
struct CFile {
    intptr_t value = -1;
    bool IsOpen() const { return value != -1; }
};

// What a path is.
struct CPathInfo {
    enum class Kind {
        Missing, // nothing there, or nothing that can be looked at (error says why)
        File,    // a regular file
        Link,    // a symbolic link (target says where it leads)
        Folder,
        Other, // a device, FIFO or socket: never written
    };
    Kind kind = Kind::Missing;
    // The words for it in a message ("a folder", "a FIFO", "a device node", "a device (COM1 is
    // one of the names Windows keeps for devices)"); empty for Missing and Link.
    QString strWhat;
    // Link: where it leads, a relative link taken from the link's folder; empty when it could
    // not be read (changed meanwhile, or not a link Qt can follow).
    QString strTarget;
    Error error = 0; // Missing: why
};
// The path itself, a link as a link. A name that the system takes for a device whatever the
// disk holds (Windows' NUL, COM1, \\.\) is Other before the disk is asked.
CPathInfo LookAt(const QString& path);
// What the path leads to after its links, as the folder of a file to be written.
CPathInfo LookThrough(const QString& path);
// Why the name alone is a device on this system (Windows' names and namespaces); empty on
// systems where only what is on the disk decides.
QString DeviceName(QStringView path);

// The folder a file of this path is in, and where its name begins (after the last separator,
// 0 when there is none).
QString FolderOf(const QString& path);
qsizetype FileNameStart(QStringView path);
// A folder as the system's messages show it (Windows' backslashes).
QString Shown(const QString& folder);

// Makes the folder and those above it that are missing; false and why when it is not there
// afterwards, or is something else than a folder.
bool MakeFolder(const QString& folder, QString* pError);

// A new file, only if no file of that name is there, and not through a link.
CFile CreateExclusive(const QString& path, Error* pError);
// Opened for appending (made when missing), without waiting on whatever the path names; the
// caller checks it is a file (NotAFile) before it writes.
CFile OpenAppend(const QString& path, Error* pError);
// Empty when the open file is a file on a disk; otherwise the words for what it is.
QString NotAFile(CFile file);
// Writes data whole, again after an interrupted call.
Error WriteAll(CFile file, const QByteArray& data);
// Flushes the file to the disk: a full disk may only show here, when the data leaves the cache.
Error Sync(CFile file);
// Closes the file in every case; the error, if any, of the close.
Error Close(CFile file);

// Gives the new file the mode and owner of the file at target, when that is a regular file,
// so a file of a user that root rewrites stays the user's; false and why when the mode cannot
// be given. *pOwnerKept false when the owner could not be (left as it is otherwise). Nothing to
// keep on systems whose new files take their folder's access rules.
bool KeepModeAndOwner(CFile file, const QString& target, Error* pError, bool* pOwnerKept);

// Moves from over to, in one step: to is the old file or the new one, never neither.
Error Replace(const QString& from, const QString& to);
// Gives the written file at from the name to, only if no file has that name: the name is taken
// in one step, so two writers never share it. Afterwards from is gone.
Error LinkNew(const QString& from, const QString& to);
// Removes a file of our own; a failure leaves a hidden temporary file, nothing more.
void Remove(const QString& path);
// Makes a rename in the folder reach the disk; a failure here loses nothing written.
void SyncFolder(const QString& folder);

} // namespace native
