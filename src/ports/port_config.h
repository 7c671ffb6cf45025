#pragma once

#include "port_roots.h"

#include <QString>

#include <map>
#include <string>

// Where the device behind COM1 and COM2 comes from, strongest first.
enum class PortSource { Option, Environment, Configuration, Default };

struct CPortMapping {
    QString strPath;
    PortSource source = PortSource::Default;
};

// The user's configuration file: $XDG_CONFIG_HOME/kova_en/kova_en.conf, or
// ~/.config/kova_en/kova_en.conf.
QString PortConfigFilePath();

// The [ports] section of the configuration, by port number. A missing or unreadable file is an
// empty one; a file that is not valid INI is ignored and *pWarning says so in one line.
std::map<int, QString> ReadPortConfig(QString* pWarning = nullptr);

// Writes COMn=path into the configuration, atomically. Refuses (status 2, file untouched) a
// port other than 1 or 2 and a path that is not an existing character device; status 1 when
// the file cannot be written. *pMessage says what was done or what went wrong.
int SavePortConfig(int nPort, const QString& strPath, QString* pMessage);
int SavePortConfig(int nPort, const QString& strPath, const CPortScanRoots& roots, QString* pMessage);

// The paths given on the command line (--com1, --com2), by port number; they beat everything.
void SetPortOptions(const std::map<int, QString>& options);

// The device behind port nPort (1 or 2) now: the option, else $KOVA_COMn, else the
// configuration, else the default device. The configuration is read afresh on every call, so
// a port saved while the program runs is used at the next reconnect.
CPortMapping ResolvePort(int nPort);

// The device ResolvePort names, as the bytes the serial link opens.
std::string ResolvePortDevice(int nPort);

// "option --com1", "environment KOVA_COM1", "configuration /home/u/.config/...", "default".
QString PortSourceText(int nPort, PortSource source);
