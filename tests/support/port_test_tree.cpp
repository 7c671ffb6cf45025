#include "port_test_tree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

CFakePortTree::CFakePortTree()
{
    QDir().mkpath(DevRoot() + QStringLiteral("/serial/by-id"));
    QDir().mkpath(SysRoot() + QStringLiteral("/class/tty"));
    QDir().mkpath(ConfigHome());
}

bool CFakePortTree::WriteFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QString CFakePortTree::AddUsbAdapter(const QString& name, const QString& vendor, const QString& product,
                                     const QString& manufacturer, const QString& productName, const QString& serial)
{
    // devices/pci0000:00/0000:00:14.0/usb1/1-2 is the USB device, 1-2:1.0 its interface.
    const QString usbDevice = SysRoot() + QStringLiteral("/devices/pci0000:00/0000:00:14.0/usb1/1-2-") + name;
    const QString interface = usbDevice + QStringLiteral("/1-2:1.0");
    const QString ttyDevice =
        name.startsWith(QLatin1String("ttyACM")) ? interface : interface + QLatin1Char('/') + name;
    QDir().mkpath(ttyDevice + QStringLiteral("/tty/") + name);
    WriteFile(usbDevice + QStringLiteral("/idVendor"), vendor.toUtf8() + '\n');
    WriteFile(usbDevice + QStringLiteral("/idProduct"), product.toUtf8() + '\n');
    WriteFile(usbDevice + QStringLiteral("/manufacturer"), manufacturer.toUtf8() + '\n');
    WriteFile(usbDevice + QStringLiteral("/product"), productName.toUtf8() + '\n');
    WriteFile(usbDevice + QStringLiteral("/serial"), serial.toUtf8() + '\n');

    // class/tty/NAME is a link to the tty's own directory, whose "device" leads back up.
    const QString ttyDir = ttyDevice + QStringLiteral("/tty/") + name;
    QFile::link(QDir(ttyDir).relativeFilePath(ttyDevice), ttyDir + QStringLiteral("/device"));
    QFile::link(QDir(SysRoot() + QStringLiteral("/class/tty")).relativeFilePath(ttyDir),
                SysRoot() + QStringLiteral("/class/tty/") + name);

    WriteFile(DevRoot() + QLatin1Char('/') + name, {});
    const QString byId = DevRoot()
                         + QStringLiteral("/serial/by-id/usb-%1_%2_%3-if00-port0")
                               .arg(QString(manufacturer).replace(QLatin1Char(' '), QLatin1Char('_')),
                                    QString(productName).replace(QLatin1Char(' '), QLatin1Char('_')), serial);
    QFile::link(QStringLiteral("../../") + name, byId);
    return byId;
}

void CFakePortTree::AddTtyS(const QString& name, int uartType, const QString& ioPort)
{
    const QString ttyDir = SysRoot() + QStringLiteral("/devices/platform/serial8250/tty/") + name;
    QDir().mkpath(ttyDir);
    WriteFile(ttyDir + QStringLiteral("/type"), QByteArray::number(uartType) + '\n');
    WriteFile(ttyDir + QStringLiteral("/port"), ioPort.toUtf8() + '\n');
    QFile::link(QDir(SysRoot() + QStringLiteral("/class/tty")).relativeFilePath(ttyDir),
                SysRoot() + QStringLiteral("/class/tty/") + name);
    WriteFile(DevRoot() + QLatin1Char('/') + name, {});
}
