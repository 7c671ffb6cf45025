#include "port_diagnosis.h"

#include "net_port_name.h"
#include "port_discovery.h"

#include <QFile>

#include <cerrno>
#ifdef _WIN32
#include <windows.h>
#else
#include <grp.h>
#include <sys/stat.h>
#endif

#ifndef _WIN32
namespace {

// The group a device belongs to. Windows grants ports to users, not to groups one could join.
QString DeviceGroup(const std::string& strPath)
{
    struct stat st {};
    if (::stat(strPath.c_str(), &st) != 0)
        return {};
    if (const group* pGroup = ::getgrgid(st.st_gid))
        return QString::fromLocal8Bit(pGroup->gr_name);
    return QString::number(st.st_gid);
}

} // namespace
#endif

QString OpenFailureDetail(const std::string& strPath, int nErrno, const std::string& strReason)
{
    const QString path = QFile::decodeName(QByteArray::fromStdString(strPath));
    if (IsNetPortName(strPath)) {
        // The server's reason as the network gave it (it names the URL), then what to look at.
        const QString reason = QString::fromStdString(strReason.empty() ? strPath : strReason);
        return QStringLiteral("%1\nThe port is on a serial device server: check that the server runs and "
                              "serves this port, for rfc2217:// with Telnet COM Port Control (ser2net: "
                              "an accepter telnet(rfc2217),tcp,HOST,PORT), for socket:// as raw TCP "
                              "(ser2net: tcp,HOST,PORT), and that no firewall is in between.")
            .arg(reason);
    }
#ifdef _WIN32
    // The Win32 device hands over GetLastError()'s code, not an errno value: the same number
    // means something else here (5 is EIO there, "access denied" here).
    switch (static_cast<DWORD>(nErrno)) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return QStringLiteral("%1 is in use by another program, or you may not open it. Close that "
                              "program, or choose the other port.")
            .arg(path);
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_DEV_NOT_EXIST:
        return QStringLiteral("No such port: %1.\nPlug in the adaptor, or point the port at the right "
                              "one (kova_en --save-port, or KOVA_COM1 or KOVA_COM2; kova_en --list-ports "
                              "shows the ports Windows has).")
            .arg(path);
    default: return QString::fromStdString(strReason.empty() ? strPath : strReason);
    }
#else
    switch (nErrno) {
    case EACCES:
    case EPERM: {
        const QString group = DeviceGroup(strPath);
        if (group.isEmpty())
            return QStringLiteral("Permission denied for %1.").arg(path);
        return QStringLiteral("Permission denied for %1.\n"
                              "The device belongs to the group \"%2\". Add your user to it "
                              "(sudo usermod -aG %2 $USER) and log in again: the new group "
                              "takes effect only in a new login session.")
            .arg(path, group);
    }
    case EBUSY:
        return QStringLiteral("%1 is in use by another program (device busy). Close that program, or "
                              "choose the other port.")
            .arg(path);
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return QStringLiteral("No such device: %1.\nPlug in the adaptor, or point the port at the "
                              "right device (kova_en --save-port, or KOVA_COM1 or KOVA_COM2; for "
                              "USB adaptors a name under /dev/serial/by-id/).")
            .arg(path);
    case ENOTTY: {
        // Say what it is instead, so that a typing slip in the configuration is easy to see.
        struct stat st {};
        const bool bKnown = ::stat(strPath.c_str(), &st) == 0;
        if (bKnown && S_ISDIR(st.st_mode))
            return QStringLiteral("%1 is a directory, not a serial device.").arg(path);
        if (bKnown && S_ISREG(st.st_mode))
            return QStringLiteral("%1 is a regular file, not a serial device.").arg(path);
        if (bKnown && S_ISCHR(st.st_mode))
            return QStringLiteral("%1 is a character device but no terminal, so not a serial device.").arg(path);
        return QStringLiteral("%1 is not a serial device.").arg(path);
    }
    default: return QString::fromStdString(strReason.empty() ? strPath : strReason);
    }
#endif
}

QString PortOpenFailureDetail(int nPort, const std::string& strPath, int nErrno, const std::string& strReason,
                              const CPortSetup& setup)
{
    return OpenFailureDetail(strPath, nErrno, strReason) + QStringLiteral("\n\n") + PortGuidance(nPort, setup);
}
