#pragma once

#include "port_roots.h"

#include <QDateTime>
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

// What the program's entry knows of its ports, handed down to everything that connects or
// lists them: the --com1/--com2 paths of this run and the roots of /dev, /sys and /proc. The
// environment's KOVA_COMn and the configuration file are read at each resolve, so a port saved
// while the program runs is used at the next connect.
class CPortSetup {
public:
    // No options, the roots as the environment gives them.
    CPortSetup();
    CPortSetup(std::map<int, QString> options, CPortScanRoots roots);

    const std::map<int, QString>& Options() const { return m_options; }
    const CPortScanRoots& Roots() const { return m_roots; }

    // The [ports] section of the configuration, by port number. A missing or unreadable file
    // is an empty one; a file that is not valid INI is ignored and *pWarning says so in one
    // line, at every read (QSettings tells only its first reader in a process).
    std::map<int, QString> ReadConfig(QString* pWarning = nullptr) const;

    // The device behind port nPort (1 or 2) now: the option, else $KOVA_COMn, else the
    // configuration, else the default device.
    CPortMapping Resolve(int nPort) const;
    // The same as the bytes the serial link opens.
    std::string ResolveDevice(int nPort) const;

private:
    std::map<int, QString> m_options;
    CPortScanRoots m_roots;
    // Files found not to be INI, by path, with the size and time they had then.
    mutable std::map<QString, std::pair<qint64, QDateTime>> m_malformed;
};

// Writes COMn=path into the configuration, atomically. Refuses (status 2, file untouched) a
// port other than 1 or 2 and a path that is not an existing character device; status 1 when
// the file cannot be written. *pMessage says what was done or what went wrong.
int SavePortConfig(int nPort, const QString& strPath, const CPortSetup& setup, QString* pMessage);

// Empty when text is a device path or a well-formed port URL (rfc2217://HOST:PORT,
// socket://HOST:PORT); else what is wrong with the URL, for a usage error.
QString NetPortNameProblem(const QString& text);

// "option --com1", "environment KOVA_COM1", "configuration /home/u/.config/...", "default".
QString PortSourceText(int nPort, PortSource source);
