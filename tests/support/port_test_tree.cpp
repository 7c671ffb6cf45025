#include "port_test_tree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/sysmacros.h>

CFakePortTree::CFakePortTree()
{
    QDir().mkpath(DevRoot() + QStringLiteral("/serial/by-id"));
    QDir().mkpath(SysRoot() + QStringLiteral("/class/tty"));
    QDir().mkpath(ConfigHome());
    WriteFile(ProcRoot() + QStringLiteral("/tty/drivers"),
              "/dev/tty             /dev/tty        5       0 system:/dev/tty\n"
              "/dev/ptmx            /dev/ptmx       5       2 system\n"
              "usbserial            /dev/ttyUSB   188 0-511 serial\n"
              "acm                  /dev/ttyACM   166 0-255 serial\n"
              "ttyAMA               /dev/ttyAMA   204 64-77 serial\n"
              "serial               /dev/ttyS       4 64-95 serial\n"
              "pty_slave            /dev/pts      136 0-1048575 pty:slave\n"
              "pty_master           /dev/ptm      128 0-1048575 pty:master\n"
              "unknown              /dev/tty        4 1-63 console\n");
}

bool CFakePortTree::WriteFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QByteArray CFakePortTree::ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
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
    // As a PC's built-in ports appear: a PNP device, the serial core's port below it.
    const QString ttyDir = AddTty(name, QStringLiteral("pnp0/00:0%1/00:0%1:0/00:0%1:0.0").arg(name.mid(4)),
                                  QStringLiteral("serial-base"), QStringLiteral("port"));
    WriteFile(ttyDir + QStringLiteral("/type"), QByteArray::number(uartType) + '\n');
    WriteFile(ttyDir + QStringLiteral("/port"), ioPort.toUtf8() + '\n');
}

QString CFakePortTree::AddTty(const QString& name, const QString& device, const QString& subsystem,
                              const QString& driver)
{
    const QString deviceDir = SysRoot() + QStringLiteral("/devices/") + device;
    const QString ttyDir = device.isEmpty() ? SysRoot() + QStringLiteral("/devices/virtual/tty/") + name
                                            : deviceDir + QStringLiteral("/tty/") + name;
    QDir().mkpath(ttyDir);
    if (!device.isEmpty()) {
        QFile::link(QDir(ttyDir).relativeFilePath(deviceDir), ttyDir + QStringLiteral("/device"));
        const auto linkTo = [&](const QString& what, const QString& target) {
            QDir().mkpath(target);
            QFile::link(QDir(deviceDir).relativeFilePath(target), deviceDir + QLatin1Char('/') + what);
        };
        if (!subsystem.isEmpty())
            linkTo(QStringLiteral("subsystem"), SysRoot() + QStringLiteral("/bus/") + subsystem);
        if (!driver.isEmpty())
            linkTo(QStringLiteral("driver"), SysRoot() + QStringLiteral("/bus/%1/drivers/%2").arg(subsystem, driver));
    }
    QFile::link(QDir(SysRoot() + QStringLiteral("/class/tty")).relativeFilePath(ttyDir),
                SysRoot() + QStringLiteral("/class/tty/") + name);
    WriteFile(DevRoot() + QLatin1Char('/') + name, {});
    return ttyDir;
}

bool CFakePortTree::MakeNode(const QString& path, unsigned mode, unsigned major, unsigned minor)
{
    QDir().mkpath(QFileInfo(path).path());
    return ::mknod(QFile::encodeName(path).constData(), mode | 0666, makedev(major, minor)) == 0;
}
