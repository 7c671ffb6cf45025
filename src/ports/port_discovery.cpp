#include "port_discovery.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

QString ReadSysText(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(4096)).trimmed();
}

QByteArray Native(const QString& path)
{
    return QFile::encodeName(path);
}

const QRegularExpression& SerialName()
{
    static const QRegularExpression name(QStringLiteral("^tty(S|USB|ACM)\\d+$"));
    return name;
}

// The sysfs directory of a tty, or empty when the kernel has none.
QString TtyClassDir(const CPortScanRoots& roots, const QString& name)
{
    return roots.strSysRoot + QStringLiteral("/class/tty/") + name;
}

// A ttyS node exists for every port the driver reserves; only those with a UART type other
// than 0 ("unknown") have hardware behind them.
bool HasUart(const CPortScanRoots& roots, const QString& name)
{
    bool ok = false;
    const int type = ReadSysText(TtyClassDir(roots, name) + QStringLiteral("/type")).toInt(&ok);
    return ok && type != 0;
}

QString UsbDescription(const CPortScanRoots& roots, const QString& name)
{
    // The tty's device is a USB interface (ttyACM) or a port below one (ttyUSB); the USB
    // device with the ids and strings is a parent of it.
    QString dir = QFileInfo(TtyClassDir(roots, name) + QStringLiteral("/device")).canonicalFilePath();
    const QString sysRoot = QFileInfo(roots.strSysRoot).canonicalFilePath();
    for (int level = 0; level < 8 && !dir.isEmpty() && dir.length() > sysRoot.length(); ++level) {
        if (QFileInfo::exists(dir + QStringLiteral("/idVendor"))) {
            const auto field = [&](const char* file) {
                return ReadSysText(dir + QLatin1Char('/') + QLatin1String(file));
            };
            QStringList words;
            for (const char* file : {"manufacturer", "product"})
                if (const QString word = field(file); !word.isEmpty())
                    words << word;
            QString text = words.join(QLatin1Char(' '));
            if (const QString serial = field("serial"); !serial.isEmpty())
                text += (text.isEmpty() ? QString() : QStringLiteral(", ")) + QStringLiteral("serial ") + serial;
            const QString ids = QStringLiteral("USB %1:%2").arg(field("idVendor"), field("idProduct"));
            return text.isEmpty() ? ids : QStringLiteral("%1 (%2)").arg(text, ids);
        }
        dir = QFileInfo(dir).path();
    }
    return {};
}

// What a device is, from its kernel name and sysfs.
QString DescribeTty(const CPortScanRoots& roots, const QString& name)
{
    if (name.startsWith(QLatin1String("ttyUSB")) || name.startsWith(QLatin1String("ttyACM"))) {
        const QString usb = UsbDescription(roots, name);
        if (!usb.isEmpty())
            return usb;
        return name.startsWith(QLatin1String("ttyUSB")) ? QStringLiteral("USB serial adapter")
                                                        : QStringLiteral("USB serial device (ACM)");
    }
    if (name.startsWith(QLatin1String("ttyS"))) {
        if (!HasUart(roots, name))
            return QStringLiteral("no UART behind it");
        const QString io = ReadSysText(TtyClassDir(roots, name) + QStringLiteral("/port"));
        return io.isEmpty() || io == QLatin1String("0x0") ? QStringLiteral("built-in serial port")
                                                          : QStringLiteral("built-in serial port at I/O %1").arg(io);
    }
    return {};
}

// What something a mapping names is, when the scan did not find it as a serial device.
QString DescribeOther(const CPortScanRoots& roots, const QString& path)
{
    struct stat st {};
    if (::stat(Native(path).constData(), &st) != 0)
        return QStringLiteral("not present");
    // A kernel serial device the scan left out: a ttyS without a UART.
    const QFileInfo target(QFileInfo(path).canonicalFilePath());
    if (target.path() == QFileInfo(roots.strDevRoot).canonicalFilePath()
        && SerialName().match(target.fileName()).hasMatch())
        return DescribeTty(roots, target.fileName());
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("a directory, not a serial device");
    if (S_ISREG(st.st_mode))
        return QStringLiteral("a regular file, not a serial device");
    if (!S_ISCHR(st.st_mode))
        return QStringLiteral("not a serial device");
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (canonical.startsWith(QFileInfo(roots.strDevRoot).canonicalFilePath() + QStringLiteral("/pts/")))
        return QStringLiteral("pseudo-terminal");
    // The kernel files every character device under its class: only the tty class can be a
    // serial line (/dev/null, for one, is in the mem class).
    const QString subsystem =
        QFileInfo(roots.strSysRoot
                  + QStringLiteral("/dev/char/%1:%2/subsystem").arg(major(st.st_rdev)).arg(minor(st.st_rdev)))
            .canonicalFilePath();
    if (!subsystem.isEmpty() && QFileInfo(subsystem).fileName() != QLatin1String("tty"))
        return QStringLiteral("a character device that is no terminal, not a serial device");
    return QStringLiteral("terminal device");
}

QString ModeText(mode_t mode)
{
    QString text = S_ISCHR(mode) ? QStringLiteral("c") : S_ISDIR(mode) ? QStringLiteral("d") : QStringLiteral("-");
    const char* letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit)
        text += (mode & (0400 >> bit)) ? QLatin1Char(letters[bit]) : QLatin1Char('-');
    return text;
}

void FillAccess(const CPortScanRoots& roots, CSerialPortInfo& info)
{
    struct stat st {};
    info.bExists = ::stat(Native(info.strPath).constData(), &st) == 0;
    if (!info.bExists)
        return;
    info.strMode = ModeText(st.st_mode);
    if (const group* pGroup = ::getgrgid(st.st_gid))
        info.strGroup = QString::fromLocal8Bit(pGroup->gr_name);
    else
        info.strGroup = QString::number(st.st_gid);
    info.bCanOpen = roots.canOpen ? roots.canOpen(info.strPath) : true;
}

// Kernel names in the order a user counts them: ttyS2 before ttyS10.
bool TtyLess(const QString& a, const QString& b)
{
    static const QRegularExpression split(QStringLiteral("^(\\D*)(\\d*)$"));
    const auto ma = split.match(a);
    const auto mb = split.match(b);
    if (ma.captured(1) != mb.captured(1))
        return ma.captured(1) < mb.captured(1);
    return ma.captured(2).toLongLong() < mb.captured(2).toLongLong();
}

// Is the user listed as a member of group gid, and does this session have it already?
void GroupMembership(gid_t gid, bool* pListed, bool* pInSession)
{
    *pInSession = ::getegid() == gid;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? count : 0);
    if (count > 0 && ::getgroups(count, groups.data()) == count)
        *pInSession = *pInSession || std::find(groups.begin(), groups.end(), gid) != groups.end();
    *pListed = false;
    const passwd* pUser = ::getpwuid(::getuid());
    if (pUser == nullptr)
        return;
    if (pUser->pw_gid == gid) {
        *pListed = true;
        return;
    }
    if (const group* pGroup = ::getgrgid(gid))
        for (char** member = pGroup->gr_mem; member != nullptr && *member != nullptr; ++member)
            if (std::strcmp(*member, pUser->pw_name) == 0)
                *pListed = true;
}

} // namespace

CPortScanRoots CPortScanRoots::FromEnvironment()
{
    CPortScanRoots roots;
    if (const QString dev = qEnvironmentVariable("KOVA_DEV_ROOT"); !dev.isEmpty())
        roots.strDevRoot = dev;
    if (const QString sys = qEnvironmentVariable("KOVA_SYS_ROOT"); !sys.isEmpty())
        roots.strSysRoot = sys;
    roots.canOpen = [](const QString& path) { return ::access(Native(path).constData(), R_OK | W_OK) == 0; };
    return roots;
}

std::vector<CSerialPortInfo> DiscoverPorts(const CPortScanRoots& roots, const CPortMapping mappings[2])
{
    std::vector<CSerialPortInfo> ports;
    std::vector<QString> canonicals;

    // Stable names first, so that each device can be given its own.
    std::vector<std::pair<QString, QString>> byId; // (canonical target, link)
    const QDir byIdDir(roots.strDevRoot + QStringLiteral("/serial/by-id"));
    for (const QFileInfo& link :
         byIdDir.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name))
        if (link.isSymLink())
            byId.emplace_back(link.canonicalFilePath(), link.absoluteFilePath());

    QStringList names = QDir(roots.strDevRoot).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    names.erase(std::remove_if(names.begin(), names.end(),
                               [&](const QString& name) {
                                   return !SerialName().match(name).hasMatch()
                                          || (name.startsWith(QLatin1String("ttyS")) && !HasUart(roots, name));
                               }),
                names.end());
    std::sort(names.begin(), names.end(), TtyLess);
    for (const QString& name : names) {
        CSerialPortInfo info;
        info.strPath = roots.strDevRoot + QLatin1Char('/') + name;
        info.strDescription = DescribeTty(roots, name);
        info.bFound = true;
        const QString canonical = QFileInfo(info.strPath).canonicalFilePath();
        for (const auto& [target, link] : byId)
            if (target == canonical) {
                info.strById = link;
                break;
            }
        ports.push_back(info);
        canonicals.push_back(canonical);
    }

    // Whatever the ports are mapped to is listed too, found or not, so that the listing always
    // shows where COM1 and COM2 lead.
    for (int nPort = 1; nPort <= 2; ++nPort) {
        const CPortMapping& mapping = mappings[nPort - 1];
        const QString canonical = QFileInfo(mapping.strPath).canonicalFilePath();
        auto it = ports.end();
        for (size_t i = 0; i < ports.size(); ++i)
            if ((!canonical.isEmpty() && canonicals[i] == canonical) || ports[i].strPath == mapping.strPath)
                it = ports.begin() + static_cast<std::ptrdiff_t>(i);
        if (it == ports.end()) {
            CSerialPortInfo info;
            info.strPath = mapping.strPath;
            info.strDescription = DescribeOther(roots, mapping.strPath);
            ports.push_back(info);
            canonicals.push_back(canonical.isEmpty() ? mapping.strPath : canonical);
            it = ports.end() - 1;
        }
        it->mappedBy.emplace_back(nPort, mapping);
    }

    for (CSerialPortInfo& info : ports)
        FillAccess(roots, info);
    return ports;
}

std::vector<CSerialPortInfo> DiscoverPorts()
{
    const CPortMapping mappings[2] = {ResolvePort(1), ResolvePort(2)};
    return DiscoverPorts(CPortScanRoots::FromEnvironment(), mappings);
}

QString PermissionAdvice(const CSerialPortInfo& info)
{
    struct stat st {};
    if (::stat(Native(info.strPath).constData(), &st) != 0)
        return {};
    const QString group = info.strGroup;
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return QStringLiteral("its group \"%1\" may not read and write it (%2); an administrator must "
                              "grant access (a udev rule)")
            .arg(group, info.strMode);
    bool bListed = false;
    bool bInSession = false;
    GroupMembership(st.st_gid, &bListed, &bInSession);
    if (bListed && !bInSession)
        return QStringLiteral("it belongs to the group \"%1\" (%2); you are a member, but this login "
                              "session started before you joined: log in again")
            .arg(group, info.strMode);
    return QStringLiteral("it belongs to the group \"%1\" (%2); join it (sudo usermod -aG %1 $USER) "
                          "and log in again")
        .arg(group, info.strMode);
}

QString PortInfoLine(const CSerialPortInfo& info)
{
    QString line = info.strById.isEmpty() ? info.strPath : info.strById;
    const QString target = info.strById.isEmpty() ? QFileInfo(info.strPath).canonicalFilePath() : info.strPath;
    if (!target.isEmpty() && target != line)
        line += QStringLiteral(" -> ") + target;
    line += QStringLiteral(": ") + info.strDescription;
    for (const auto& [nPort, mapping] : info.mappedBy)
        line += QStringLiteral("; COM%1 from %2").arg(nPort).arg(PortSourceText(nPort, mapping.source));
    if (!info.bExists)
        return line;
    if (info.bCanOpen)
        line += QStringLiteral("; you may open it");
    else
        line += QStringLiteral("; you may not open it: ") + PermissionAdvice(info);
    return line;
}

QString ListPortsText(const std::vector<CSerialPortInfo>& ports)
{
    QString text;
    for (const CSerialPortInfo& info : ports)
        text += PortInfoLine(info) + QLatin1Char('\n');
    return text;
}

QString PortToolTip(int nPort)
{
    return PortToolTip(nPort, CPortScanRoots::FromEnvironment());
}

QString PortToolTip(int nPort, const CPortScanRoots& roots)
{
    const CPortMapping mappings[2] = {ResolvePort(1), ResolvePort(2)};
    for (const CSerialPortInfo& info : DiscoverPorts(roots, mappings)) {
        for (const auto& [nMapped, mapping] : info.mappedBy) {
            if (nMapped != nPort)
                continue;
            QStringList lines;
            // The path as it was given, and the device it leads to when that is another.
            const QString target = info.bFound ? info.strPath : QFileInfo(mapping.strPath).canonicalFilePath();
            lines << (target.isEmpty() || target == mapping.strPath
                          ? mapping.strPath
                          : mapping.strPath + QStringLiteral(" -> ") + target);
            lines << info.strDescription;
            lines << QStringLiteral("from the ") + PortSourceText(nPort, mapping.source);
            if (info.bExists && !info.bCanOpen)
                lines << QStringLiteral("You may not open it: ") + PermissionAdvice(info);
            return lines.join(QLatin1Char('\n'));
        }
    }
    return {};
}

QString PortGuidance(int nPort, const CPortScanRoots& roots)
{
    if (nPort != 1 && nPort != 2)
        return {};
    const CPortMapping mappings[2] = {ResolvePort(1), ResolvePort(2)};
    const std::vector<CSerialPortInfo> ports = DiscoverPorts(roots, mappings);
    const CPortMapping& current = mappings[nPort - 1];

    // Devices the scan found (not merely named by a mapping) that no port uses yet; a USB
    // adapter with a stable name is the likeliest panel.
    const CSerialPortInfo* pCandidate = nullptr;
    QStringList found;
    for (const CSerialPortInfo& info : ports) {
        found << QStringLiteral("  ") + PortInfoLine(info);
        // A device either port uses already is no better answer than the one that failed.
        if (!info.mappedBy.empty() || !info.bFound || !info.bExists)
            continue;
        if (pCandidate == nullptr || (pCandidate->strById.isEmpty() && !info.strById.isEmpty()))
            pCandidate = &info;
    }

    QString text = QStringLiteral("Serial devices on this computer:\n") + found.join(QLatin1Char('\n'));
    if (pCandidate == nullptr) {
        text += QStringLiteral("\n\nNo other serial device was found. Plug in the panel's adapter and "
                               "look again with: kova_en --list-ports");
    } else {
        const QString path = pCandidate->strById.isEmpty() ? pCandidate->strPath : pCandidate->strById;
        text += QStringLiteral("\n\nTo use %1 as COM%2, run\n  kova_en --save-port %2 %1\n"
                               "or put these lines into %3:\n  [ports]\n  COM%2=%1")
                    .arg(path)
                    .arg(nPort)
                    .arg(PortConfigFilePath());
    }
    if (current.source == PortSource::Option || current.source == PortSource::Environment)
        text += QStringLiteral("\nCOM%1 is set now by the %2, which comes before the configuration.")
                    .arg(nPort)
                    .arg(PortSourceText(nPort, current.source));
    return text;
}
