#include "port_discovery.h"

#include "net_port_name.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cstring>
#ifdef _WIN32
#include <QSettings>
#else
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace {

// A string from a device or a driver, fit to be shown: control characters (a terminal's
// escape sequences among them) and format characters (direction overrides) are dropped.
QString Printable(const QString& text)
{
    QString clean;
    clean.reserve(text.size());
    for (const QChar c : text)
        if (c.category() != QChar::Other_Control && c.category() != QChar::Other_Format)
            clean += c;
    return clean.trimmed();
}

// Kernel names in the order a user counts them: ttyS2 before ttyS10.
bool TtyLess(const QString& a, const QString& b)
{
    static const QRegularExpression split(QStringLiteral("^(\\D*)(\\d*)$"));
    const auto ma = split.match(a);
    const auto mb = split.match(b);
    if (ma.captured(1) != mb.captured(1))
        return ma.captured(1) < mb.captured(1);
    if (ma.captured(2).toLongLong() != mb.captured(2).toLongLong())
        return ma.captured(2).toLongLong() < mb.captured(2).toLongLong();
    return a < b;
}

#ifndef _WIN32

QByteArray Native(const QString& path)
{
    return QFile::encodeName(path);
}

// A file of a moved or real sysfs or procfs, read only when it lies inside its root once every
// link is followed, and only when it is a regular file: a link out of the tree is not taken
// and a FIFO is not waited on.
class CBoundedTree {
public:
    explicit CBoundedTree(const QString& root) : m_root(QFileInfo(root).canonicalFilePath()) {}

    // The path with every link followed, or empty when it leads out of the tree or nowhere.
    QString Inside(const QString& path) const
    {
        const QString canonical = QFileInfo(path).canonicalFilePath();
        if (m_root.isEmpty() || canonical.isEmpty())
            return {};
        return canonical == m_root || canonical.startsWith(m_root + QLatin1Char('/')) ? canonical : QString();
    }

    QByteArray Read(const QString& path, qint64 nMax = 4096) const
    {
        const QString inside = Inside(path);
        if (inside.isEmpty())
            return {};
        const int fd = ::open(Native(inside).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return {};
        QByteArray bytes;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            bytes.resize(static_cast<qsizetype>(nMax));
            qsizetype used = 0;
            for (ssize_t n = 1; n > 0 && used < bytes.size(); used += n)
                if ((n = ::read(fd, bytes.data() + used, static_cast<size_t>(bytes.size() - used))) < 0)
                    n = 0;
            bytes.truncate(used);
        }
        ::close(fd);
        return bytes;
    }

    QString Text(const QString& path) const { return Printable(QString::fromUtf8(Read(path))); }

    // The last part of where a link leads (a driver's or a subsystem's name), inside the tree.
    QString LinkName(const QString& path) const { return Printable(QFileInfo(Inside(path)).fileName()); }

private:
    QString m_root;
};

QString TtyClassDir(const CPortScanRoots& roots, const QString& name)
{
    return roots.strSysRoot + QStringLiteral("/class/tty/") + name;
}

// The directory of the hardware behind a tty, or empty for a virtual one (consoles,
// pseudo-terminals) and for a device link that leaves the tree.
QString TtyDeviceDir(const CBoundedTree& sys, const CPortScanRoots& roots, const QString& name)
{
    return sys.Inside(TtyClassDir(roots, name) + QStringLiteral("/device"));
}

// The serial core makes a tty for every port a driver reserves; only those with a UART type
// other than 0 ("unknown") have a UART behind them. Other ttys have no type.
bool HasUart(const CBoundedTree& sys, const CPortScanRoots& roots, const QString& name)
{
    bool ok = false;
    const int type = sys.Text(TtyClassDir(roots, name) + QStringLiteral("/type")).toInt(&ok);
    return !ok || type != 0;
}

QString UsbDescription(const CBoundedTree& sys, QString dir)
{
    // The tty's device is a USB interface (ttyACM) or a port below one (ttyUSB); the USB
    // device with the ids and strings is a parent of it.
    for (int level = 0; level < 8 && !dir.isEmpty(); ++level) {
        if (!sys.Read(dir + QStringLiteral("/idVendor")).isEmpty()) {
            const auto field = [&](const char* file) { return sys.Text(dir + QLatin1Char('/') + QLatin1String(file)); };
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
        dir = sys.Inside(QFileInfo(dir).path());
    }
    return {};
}

// The driver of a tty's hardware. The serial core's own port devices (bus serial-base) sit
// between a UART and its tty; the driver that counts is the controller's above them.
QString DriverName(const CBoundedTree& sys, QString dir)
{
    for (int level = 0; level < 3 && !dir.isEmpty(); ++level) {
        if (sys.LinkName(dir + QStringLiteral("/subsystem")) != QLatin1String("serial-base"))
            return sys.LinkName(dir + QStringLiteral("/driver"));
        dir = sys.Inside(QFileInfo(dir).path());
    }
    return {};
}

// What a tty with hardware behind it is, from sysfs.
QString DescribeTty(const CBoundedTree& sys, const CPortScanRoots& roots, const QString& name)
{
    const QString device = TtyDeviceDir(sys, roots, name);
    if (!HasUart(sys, roots, name))
        return QStringLiteral("no UART behind it");
    if (const QString usb = UsbDescription(sys, device); !usb.isEmpty())
        return usb;
    if (name.startsWith(QLatin1String("ttyUSB")))
        return QStringLiteral("USB serial adapter");
    if (name.startsWith(QLatin1String("ttyACM")))
        return QStringLiteral("USB serial device (ACM)");
    if (name.startsWith(QLatin1String("ttyS"))) {
        const QString io = sys.Text(TtyClassDir(roots, name) + QStringLiteral("/port"));
        return io.isEmpty() || io == QLatin1String("0x0") ? QStringLiteral("built-in serial port")
                                                          : QStringLiteral("built-in serial port at I/O %1").arg(io);
    }
    if (sys.LinkName(device + QStringLiteral("/subsystem")) == QLatin1String("bluetooth")
        || name.startsWith(QLatin1String("rfcomm")))
        return QStringLiteral("Bluetooth serial port");
    const QString driver = DriverName(sys, device);
    return driver.isEmpty() ? QStringLiteral("serial port") : QStringLiteral("serial port (%1)").arg(driver);
}

// An FTDI adaptor's latency timer in milliseconds (its driver alone has the file), else -1.
int LatencyTimer(const CBoundedTree& sys, const CPortScanRoots& roots, const QString& name)
{
    bool ok = false;
    const int ms = sys.Text(TtyClassDir(roots, name) + QStringLiteral("/device/latency_timer")).toInt(&ok);
    return ok ? ms : -1;
}

// A tty that the scan lists: hardware behind it, a UART where the serial core says so.
bool IsListedTty(const CBoundedTree& sys, const CPortScanRoots& roots, const QString& name)
{
    return !TtyDeviceDir(sys, roots, name).isEmpty() && HasUart(sys, roots, name);
}

// What something a mapping names is, when the scan did not find it as a serial device.
QString DescribeOther(const CPortScanRoots& roots, const QString& path)
{
    struct stat st {};
    if (::stat(Native(path).constData(), &st) != 0)
        return QStringLiteral("not present");
    // A kernel tty the scan left out: a serial-core slot without a UART.
    const CBoundedTree sys(roots.strSysRoot);
    const QFileInfo target(QFileInfo(path).canonicalFilePath());
    if (target.path() == QFileInfo(roots.strDevRoot).canonicalFilePath()
        && !TtyDeviceDir(sys, roots, target.fileName()).isEmpty())
        return DescribeTty(sys, roots, target.fileName());
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("a directory, not a serial device");
    if (S_ISREG(st.st_mode))
        return QStringLiteral("a regular file, not a serial device");
    if (!S_ISCHR(st.st_mode))
        return QStringLiteral("not a serial device");
    if (target.filePath().startsWith(QFileInfo(roots.strDevRoot).canonicalFilePath() + QStringLiteral("/pts/")))
        return QStringLiteral("pseudo-terminal");
    // /dev/null, for one, is a character device but no terminal.
    if (!IsTerminalDevice(path, roots))
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

// The serial devices sysfs knows, with their stable names.
std::vector<CSerialPortInfo> ScanDevices(const CPortScanRoots& roots)
{
    const CBoundedTree sys(roots.strSysRoot);
    std::vector<std::pair<QString, QString>> byId; // (canonical target, link)
    const QDir byIdDir(roots.strDevRoot + QStringLiteral("/serial/by-id"));
    for (const QFileInfo& link :
         byIdDir.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name))
        if (link.isSymLink())
            byId.emplace_back(link.canonicalFilePath(), link.absoluteFilePath());

    QStringList names = QDir(roots.strSysRoot + QStringLiteral("/class/tty"))
                            .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    std::sort(names.begin(), names.end(), TtyLess);
    std::vector<CSerialPortInfo> ports;
    for (const QString& name : names) {
        CSerialPortInfo info;
        info.strPath = roots.strDevRoot + QLatin1Char('/') + name;
        struct stat st {};
        if (!IsListedTty(sys, roots, name) || ::lstat(Native(info.strPath).constData(), &st) != 0)
            continue;
        info.strDescription = DescribeTty(sys, roots, name);
        info.nLatencyMs = LatencyTimer(sys, roots, name);
        info.bFound = true;
        const QString canonical = QFileInfo(info.strPath).canonicalFilePath();
        for (const auto& [target, link] : byId)
            if (target == canonical) {
                info.strById = link;
                break;
            }
        ports.push_back(info);
    }
    return ports;
}

#else // _WIN32

// The ports Windows has: the serial map its port drivers keep in the registry (the serial
// driver, USB adaptors' virtual COM port drivers, modems), read through QSettings, which
// reads the registry natively. QSerialPortInfo would ask the same drivers through SetupAPI
// and find more names for each, but it would bring in Qt's serial port module, which nothing
// else here needs; the map names every port a program can open, which is what the listing
// is for.
std::vector<CSerialPortInfo> ScanDevices(const CPortScanRoots&)
{
    const QSettings map(QStringLiteral("HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM"), QSettings::NativeFormat);
    std::vector<CSerialPortInfo> ports;
    for (const QString& key : map.childKeys()) {
        CSerialPortInfo info;
        info.strPath = Printable(map.value(key).toString());
        if (info.strPath.isEmpty())
            continue;
        // "\Device\Serial0", "\Device\VCP0" (FTDI), "\Device\USBSER000" (ACM)...
        info.strDescription = QStringLiteral("serial port (%1)").arg(Printable(key));
        info.bFound = true;
        ports.push_back(info);
    }
    std::sort(ports.begin(), ports.end(),
              [](const CSerialPortInfo& a, const CSerialPortInfo& b) { return TtyLess(a.strPath, b.strPath); });
    return ports;
}

QString DescribeOther(const CPortScanRoots&, const QString&)
{
    return QStringLiteral("not among the serial ports Windows lists");
}

// Whether a port can be opened is known only by opening it, which the listing does not do.
void FillAccess(const CPortScanRoots& roots, CSerialPortInfo& info)
{
    info.bExists = info.bFound;
    info.bCanOpen = roots.canOpen ? roots.canOpen(info.strPath) : true;
}

#endif

} // namespace

CPortScanRoots CPortScanRoots::FromEnvironment()
{
    CPortScanRoots roots;
    const auto root = [](const char* name, QString& value) {
        if (const QString moved = QFile::decodeName(qgetenv(name)); !moved.isEmpty())
            value = moved;
    };
    root("KOVA_DEV_ROOT", roots.strDevRoot);
    root("KOVA_SYS_ROOT", roots.strSysRoot);
    root("KOVA_PROC_ROOT", roots.strProcRoot);
#ifndef _WIN32
    roots.canOpen = [](const QString& path) { return ::access(Native(path).constData(), R_OK | W_OK) == 0; };
#endif
    return roots;
}

bool IsTerminalDevice(const QString& path, const CPortScanRoots& roots)
{
#ifdef _WIN32
    (void)path;
    (void)roots;
    return true;
#else
    struct stat st {};
    if (::stat(Native(path).constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const unsigned nMajor = major(st.st_rdev);
    const unsigned nMinor = minor(st.st_rdev);
    // "serial  /dev/ttyS  4 64-95 serial": driver, node, major, minors, type. The system
    // entries (/dev/tty, /dev/console, /dev/ptmx) stand for other terminals or make new ones,
    // and a pseudo-terminal's master side is no line.
    const QByteArray drivers =
        CBoundedTree(roots.strProcRoot).Read(roots.strProcRoot + QStringLiteral("/tty/drivers"), 65536);
    for (const QByteArray& line : drivers.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 5 || fields[4].startsWith("system") || fields[4] == "pty:master")
            continue;
        const QList<QByteArray> range = fields[3].split('-');
        bool okMajor = false;
        bool okLow = false;
        bool okHigh = false;
        const unsigned low = range[0].toUInt(&okLow);
        const unsigned high = range.size() > 1 ? range[1].toUInt(&okHigh) : (okHigh = okLow, low);
        if (fields[2].toUInt(&okMajor) == nMajor && okMajor && okLow && okHigh && nMinor >= low && nMinor <= high)
            return true;
    }
    return false;
#endif
}

namespace {

// A port on a serial device server, as a mapping names it: what kind, or what is wrong with the
// URL. It is not reached for the listing; the connect tells whether it answers.
QString DescribeNetPort(const QString& url)
{
    CNetPortName name;
    std::string why;
    if (!ParseNetPortName(url.toStdString(), &name, &why))
        return QStringLiteral("not a valid port URL: ") + QString::fromStdString(why);
    return name.kind == CNetPortName::Kind::Rfc2217
               ? QStringLiteral("RFC 2217 port on a serial device server (not reached for the listing)")
               : QStringLiteral("raw TCP port on a serial device server (not reached for the listing)");
}

} // namespace

std::vector<CSerialPortInfo> DiscoverPorts(const CPortScanRoots& roots, const CPortMapping mappings[2])
{
    std::vector<CSerialPortInfo> ports = ScanDevices(roots);
    std::vector<QString> canonicals;
    for (const CSerialPortInfo& info : ports) {
        const QString canonical = QFileInfo(info.strPath).canonicalFilePath();
        canonicals.push_back(canonical.isEmpty() ? info.strPath : canonical);
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
            info.strDescription = IsNetPortName(mapping.strPath.toStdString()) ? DescribeNetPort(mapping.strPath)
                                                                               : DescribeOther(roots, mapping.strPath);
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

std::vector<CSerialPortInfo> DiscoverPorts(const CPortSetup& setup)
{
    const CPortMapping mappings[2] = {setup.Resolve(1), setup.Resolve(2)};
    return DiscoverPorts(setup.Roots(), mappings);
}

QString PermissionAdvice(const CSerialPortInfo& info)
{
#ifdef _WIN32
    // Windows grants a port to whoever opens it first; there is no group to join.
    (void)info;
    return QStringLiteral("another program may hold it");
#else
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
#endif
}

QString PortInfoLine(const CSerialPortInfo& info)
{
    QString line = info.strById.isEmpty() ? info.strPath : info.strById;
    const QString target = info.strById.isEmpty() ? QFileInfo(info.strPath).canonicalFilePath() : info.strPath;
    if (!target.isEmpty() && target != line)
        line += QStringLiteral(" -> ") + target;
    line += QStringLiteral(": ") + info.strDescription;
    // The adaptor passes on what it received only when its buffer fills or the timer runs out,
    // so each of the block procedure's answers can wait that long (16 ms unless lowered).
    // Opening the port asks the driver for low latency, which an FTDI driver grants as 1 ms.
    if (info.nLatencyMs > 1)
        line += QStringLiteral("; latency timer %1 ms, above 1 ms: each answer may wait that long unless "
                               "the driver grants the low latency asked for at open (echo 1 > "
                               "/sys/class/tty/%2/device/latency_timer sets it by hand)")
                    .arg(info.nLatencyMs)
                    .arg(QFileInfo(info.strPath).fileName());
    else if (info.nLatencyMs >= 0)
        line += QStringLiteral("; latency timer %1 ms").arg(info.nLatencyMs);
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

QString PortToolTip(int nPort, const CPortSetup& setup)
{
    for (const CSerialPortInfo& info : DiscoverPorts(setup)) {
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

QString PortGuidance(int nPort, const CPortSetup& setup)
{
    if (nPort != 1 && nPort != 2)
        return {};
    const CPortMapping mappings[2] = {setup.Resolve(1), setup.Resolve(2)};
    const std::vector<CSerialPortInfo> ports = DiscoverPorts(setup.Roots(), mappings);
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
