#pragma once

#include <QString>
#include <QStringView>

// Whether Windows would take a path for a device rather than a file. Plain string logic, built
// on every system so the Linux suite checks it too; the safe writer's Windows half asks it
// before anything is opened, because opening "NUL" or "COM1" for writing opens the device.
//
// Empty when the path names a file; otherwise why it is a device, as the end of a sentence:
//   - the last name (the folders before it do not count) is one Windows keeps for a device,
//     in any case, with any extension, with trailing dots or spaces, or with a stream after a
//     colon: CON, PRN, AUX, NUL, COM0-9, LPT0-9 (also with the superscript digits 1-3),
//     CONIN$, CONOUT$ ("NUL.txt", "C:\x\com1.json", "con .json", "nul:");
//   - the path is in a device namespace: "\\.\" with anything after it, or "\\?\" and "\??\"
//     with anything but a drive ("\\?\C:\...") or a share ("\\?\UNC\...") after them, such as
//     "\\?\GLOBALROOT\Device\..." or "\\?\Volume{...}\..."; forward slashes count the same.
QString WindowsDeviceIn(QStringView path);
