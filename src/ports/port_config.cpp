#include "port_config.h"

#include "port_names.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <sys/stat.h>

namespace {

std::map<int, QString> g_portOptions;

// Files found not to be INI, by path, with the size and time they had then. QSettings keeps
// what it parsed of a file until the file changes and reports the format error only to the
// first reader, so later readers learn it here.
std::map<QString, std::pair<qint64, QDateTime>> g_malformedFiles;

QString PortKey(int nPort)
{
    return QStringLiteral("ports/") + QString::fromStdString(PortName(nPort));
}

QString ValueText(const QVariant& value)
{
    // An unquoted value with commas in it comes back from the INI reader as a list.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

} // namespace

QString PortConfigFilePath()
{
    // Not QSettings' own user path: it is fixed the first time it is looked up, and the
    // configuration must follow XDG_CONFIG_HOME as it is now.
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/kova_en/kova_en.conf");
}

std::map<int, QString> ReadPortConfig(QString* pWarning)
{
    std::map<int, QString> ports;
    const QString path = PortConfigFilePath();
    const QFileInfo info(path);
    if (!info.isFile())
        return ports;
    const std::pair<qint64, QDateTime> stamp{info.size(), info.lastModified()};
    const QSettings settings(path, QSettings::IniFormat);
    const auto known = g_malformedFiles.find(path);
    if (settings.status() == QSettings::FormatError || (known != g_malformedFiles.end() && known->second == stamp)) {
        g_malformedFiles[path] = stamp;
        if (pWarning != nullptr)
            *pWarning = QStringLiteral("kova_en: %1 is not a valid configuration file; ignored").arg(path);
        return ports;
    }
    if (settings.status() != QSettings::NoError)
        return ports;
    for (int nPort = 1; nPort <= 2; ++nPort) {
        const QString value = ValueText(settings.value(PortKey(nPort))).trimmed();
        if (!value.isEmpty())
            ports[nPort] = value;
    }
    return ports;
}

int SavePortConfig(int nPort, const QString& strPath, QString* pMessage)
{
    QString message;
    const auto finish = [&](int status, const QString& text) {
        if (pMessage != nullptr)
            *pMessage = text;
        return status;
    };
    if (nPort != 1 && nPort != 2)
        return finish(2, QStringLiteral("kova_en: --save-port takes port 1 or 2, not %1").arg(nPort));
    if (strPath.isEmpty())
        return finish(2, QStringLiteral("kova_en: --save-port needs a device path"));

    // Kept as given, symlinks and all: the point of /dev/serial/by-id/ names is that they
    // survive replugging, which the device they point to does not.
    const QString path = QFileInfo(strPath).absoluteFilePath();
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return finish(2, QStringLiteral("kova_en: %1 does not exist; nothing saved "
                                        "(kova_en --list-ports shows the serial devices)")
                             .arg(path));
    if (!S_ISCHR(st.st_mode))
        return finish(2, QStringLiteral("kova_en: %1 is not a character device, so it cannot be a "
                                        "serial port; nothing saved")
                             .arg(path));

    const QString file = PortConfigFilePath();
    QString warning;
    ReadPortConfig(&warning);
    QSettings settings(file, QSettings::IniFormat);
    // Rewriting a file QSettings could not parse would lose whatever the user meant by it.
    if (!warning.isEmpty() || settings.status() == QSettings::FormatError)
        return finish(1, QStringLiteral("kova_en: %1 is not a valid configuration file; "
                                        "nothing saved (correct or remove it first)")
                             .arg(file));
    // QSettings writes through a temporary file and renames it, so the file is never half
    // written; the directory is made when it is missing.
    settings.setValue(PortKey(nPort), path);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        return finish(1, QStringLiteral("kova_en: could not write %1; nothing saved").arg(file));
    QString text = QStringLiteral("COM%1=%2 saved in %3").arg(nPort).arg(path, file);
    const std::string variable = "KOVA_" + PortName(nPort);
    if (!qEnvironmentVariableIsEmpty(variable.c_str()))
        text += QStringLiteral("\n(%1 is set here and comes first; unset it to use the saved port)")
                    .arg(QString::fromStdString(variable));
    return finish(0, text);
}

void SetPortOptions(const std::map<int, QString>& options)
{
    g_portOptions = options;
}

CPortMapping ResolvePort(int nPort)
{
    if (const auto it = g_portOptions.find(nPort); it != g_portOptions.end() && !it->second.isEmpty())
        return {it->second, PortSource::Option};
    const std::string variable = "KOVA_" + PortName(nPort);
    const QString env = qEnvironmentVariable(variable.c_str());
    if (!env.isEmpty())
        return {env, PortSource::Environment};
    const std::map<int, QString> config = ReadPortConfig();
    if (const auto it = config.find(nPort); it != config.end())
        return {it->second, PortSource::Configuration};
    return {QString::fromStdString(DefaultPortDevicePath(nPort)), PortSource::Default};
}

void InstallPortResolver()
{
    SetPortResolver([](int nPort) { return ResolvePort(nPort).strPath.toStdString(); });
}

QString PortSourceText(int nPort, PortSource source)
{
    switch (source) {
    case PortSource::Option: return QStringLiteral("option --com%1").arg(nPort);
    case PortSource::Environment: return QStringLiteral("environment KOVA_COM%1").arg(nPort);
    case PortSource::Configuration: return QStringLiteral("configuration %1").arg(PortConfigFilePath());
    case PortSource::Default: break;
    }
    return QStringLiteral("default");
}
