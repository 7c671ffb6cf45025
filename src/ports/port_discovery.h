#pragma once

#include "port_config.h"
#include "port_roots.h"

#include <QString>

#include <functional>
#include <utility>
#include <vector>

// One serial device as the user needs to know it: where it is, what it is, which port uses it
// and whether it can be opened.
struct CSerialPortInfo {
    QString strPath;        // the device as the program would open it
    QString strById;        // its stable name under /dev/serial/by-id/, if it has one
    QString strDescription; // "FTDI FT232R USB UART, serial A12345 (USB 0403:6001)"
    bool bFound = false;    // found by the scan, not only named by a mapping
    bool bExists = false;
    bool bCanOpen = false;
    QString strGroup; // the device's group and mode, for the permission advice
    QString strMode;
    int nLatencyMs = -1;                                // an FTDI adaptor's latency timer; -1 where there is none
    std::vector<std::pair<int, CPortMapping>> mappedBy; // (port number, mapping) naming it
};

// Every serial device that could be the panel's, and whatever COM1 and COM2 name now. On Linux
// every tty with hardware behind it (a "device" link in sysfs; a serial-core port only with a
// UART type other than 0), whatever its name: ttyS, ttyUSB, ttyACM, ttyAMA, ttymxc, rfcomm...
// On Windows the ports the serial drivers enter in the registry.
std::vector<CSerialPortInfo> DiscoverPorts(const CPortScanRoots& roots, const CPortMapping mappings[2]);
std::vector<CSerialPortInfo> DiscoverPorts(const CPortSetup& setup);

// Whether path is a terminal, told from its device numbers alone (the ranges the kernel's tty
// drivers list in /proc/tty/drivers), never by opening it: opening a real UART raises its
// modem lines. Pseudo-terminals count; /dev/tty, /dev/console and /dev/ptmx do not. On
// Windows, where ports are names and not files, always true.
bool IsTerminalDevice(const QString& path, const CPortScanRoots& roots);

// One line per device, as --list-ports prints them.
QString PortInfoLine(const CSerialPortInfo& info);
QString ListPortsText(const std::vector<CSerialPortInfo>& ports);

// What to do about a device this user may not open: the group to join, and logging in again.
QString PermissionAdvice(const CSerialPortInfo& info);

// The tooltip of a port's button in the settings dialog: device, description, mapping source.
QString PortToolTip(int nPort, const CPortSetup& setup);

// For the detail of "Serial Port could not be opened !": the devices found, and the command or
// configuration line that makes port nPort use one of them.
QString PortGuidance(int nPort, const CPortSetup& setup);
