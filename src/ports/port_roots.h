#pragma once

#include <QString>

#include <functional>

// Where the port setup looks: /dev, /sys and /proc, or trees standing in for them
// ($KOVA_DEV_ROOT, $KOVA_SYS_ROOT and $KOVA_PROC_ROOT when set), and how to tell whether this
// user may open a device.
struct CPortScanRoots {
    QString strDevRoot = QStringLiteral("/dev");
    QString strSysRoot = QStringLiteral("/sys");
    QString strProcRoot = QStringLiteral("/proc");
    std::function<bool(const QString& path)> canOpen;

    static CPortScanRoots FromEnvironment();
};
