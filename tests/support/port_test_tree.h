#pragma once

#include <QString>
#include <QTemporaryDir>

// A /dev, a /sys and a /proc made of plain files and symlinks, laid out as the kernel lays out
// the parts the port setup reads, plus a configuration home. /proc/tty/drivers lists the
// usual terminal drivers (built-in UARTs, USB serial, ACM, PL011, pseudo-terminals). Everything lives in one temporary
// directory that goes away with the object.
class CFakePortTree {
public:
    CFakePortTree();

    bool IsValid() const { return m_dir.isValid(); }
    QString DevRoot() const { return m_dir.path() + QStringLiteral("/dev"); }
    QString SysRoot() const { return m_dir.path() + QStringLiteral("/sys"); }
    QString ProcRoot() const { return m_dir.path() + QStringLiteral("/proc"); }
    QString ConfigHome() const { return m_dir.path() + QStringLiteral("/config"); }
    QString ConfigFile() const { return ConfigHome() + QStringLiteral("/kova_en/kova_en.conf"); }
    QString Path(const QString& relative) const { return m_dir.path() + QLatin1Char('/') + relative; }

    // A USB serial adapter (ttyUSBn below an interface, or ttyACMn on the interface itself),
    // with its ids and strings in the USB device's directory and a link under serial/by-id.
    // Returns the by-id path.
    QString AddUsbAdapter(const QString& name, const QString& vendor, const QString& product,
                          const QString& manufacturer, const QString& productName, const QString& serial);
    // A ttyS node; uartType 0 is a port with no UART behind it.
    void AddTtyS(const QString& name, int uartType, const QString& ioPort = QStringLiteral("0x3f8"));
    // Any other tty: with a device directory (relative to sys/devices) it has hardware behind
    // it, of that subsystem and driver; without one it is virtual (a console, a pty).
    // Returns the tty's own sysfs directory.
    QString AddTty(const QString& name, const QString& device = {}, const QString& subsystem = {},
                   const QString& driver = {});

    // A device node, FIFO or socket at a path of the tree (mknod: root only; false otherwise).
    bool MakeNode(const QString& path, unsigned mode, unsigned major = 0, unsigned minor = 0);

    // Writes a file (making its directory), for configurations and the like; reads one back.
    bool WriteFile(const QString& path, const QByteArray& content);
    static QByteArray ReadFile(const QString& path);

private:
    QTemporaryDir m_dir;
};
