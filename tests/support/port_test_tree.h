#pragma once

#include <QString>
#include <QTemporaryDir>

// A /dev and a /sys made of plain files and symlinks, laid out as the kernel lays out the
// parts the port listing reads, plus a configuration home. Everything lives in one temporary
// directory that goes away with the object.
class CFakePortTree {
public:
    CFakePortTree();

    bool IsValid() const { return m_dir.isValid(); }
    QString DevRoot() const { return m_dir.path() + QStringLiteral("/dev"); }
    QString SysRoot() const { return m_dir.path() + QStringLiteral("/sys"); }
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

    // Writes a file (making its directory), for configurations and the like.
    bool WriteFile(const QString& path, const QByteArray& content);

private:
    QTemporaryDir m_dir;
};
