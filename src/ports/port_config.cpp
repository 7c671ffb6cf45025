#include "port_config.h"

#include "ini_line_edit.h"
#include "net_port_name.h"
#include "port_discovery.h"
#include "port_names.h"
#include "safe_file.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QString PortKey(int nPort)
{
    return QStringLiteral("ports/") + QString::fromStdString(PortName(nPort));
}

QString EnvironmentText(int nPort)
{
    return QString::fromStdString(PortEnvironmentVariable(nPort));
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
#ifdef _WIN32
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
#else
    // The XDG rules say a relative XDG_CONFIG_HOME is invalid and to be ignored; taken as it
    // is, it would name a folder below wherever the program happens to be started.
    QString base = PathFromEnvironment("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(base))
        base.clear();
#endif
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/kova_en/kova_en.conf");
}

CPortSetup::CPortSetup() : m_roots(CPortScanRoots::FromEnvironment()) {}

CPortSetup::CPortSetup(std::map<int, QString> options, CPortScanRoots roots)
    : m_options(std::move(options)), m_roots(std::move(roots))
{
}

std::map<int, QString> CPortSetup::ReadConfig(QString* pWarning) const
{
    std::map<int, QString> ports;
    const QString path = PortConfigFilePath();
    const QFileInfo info(path);
    if (!info.isFile())
        return ports;
    const std::pair<qint64, QDateTime> stamp{info.size(), info.lastModified()};
    const QSettings settings(path, QSettings::IniFormat);
    // QSettings keeps what it parsed of a file until the file changes and reports the format
    // error only to its first reader, so later readers learn it here.
    const auto known = m_malformed.find(path);
    if (settings.status() == QSettings::FormatError || (known != m_malformed.end() && known->second == stamp)) {
        m_malformed[path] = stamp;
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

namespace {

// The file's bytes, read without waiting: it was a regular file a moment ago, and anything
// swapped in for it since is not read.
bool ReadRegularFile(const QString& path, QByteArray* pText)
{
#ifndef _WIN32
    const int fd = ::open(PathToBytes(path).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR; // nothing there yet; the write tells the rest
    QFile file;
    struct stat st {};
    const bool bOk = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)
                     && file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    if (!bOk) {
        ::close(fd);
        return false;
    }
    *pText = file.readAll();
    return file.error() == QFileDevice::NoError;
#else
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *pText = file.readAll();
    return true;
#endif
}

// A path as a value QSettings reads back as it was: in quotes, with backslash and quote
// escaped, unless it is plain. Unquoted, a comma would split it into a list and a semicolon
// would start a comment.
QByteArray IniValue(const QString& value)
{
    const QByteArray bytes = value.toUtf8();
    const auto plain = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
               || (c != '\0' && std::strchr("/._+-:~", c) != nullptr);
    };
    const bool bPlain = !bytes.isEmpty() && bytes[0] != '@' && std::all_of(bytes.begin(), bytes.end(), plain);
    if (bPlain)
        return bytes;
    QByteArray quoted = "\"";
    for (const char c : bytes) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
}

} // namespace

int SavePortConfig(int nPort, const QString& strPath, const CPortSetup& setup, QString* pMessage)
{
    const CPortScanRoots& roots = setup.Roots();
    const auto finish = [&](int status, const QString& text) {
        if (pMessage != nullptr)
            *pMessage = text;
        return status;
    };
    if (nPort != 1 && nPort != 2)
        return finish(2, QStringLiteral("kova_en: --save-port takes port 1 or 2, not %1").arg(nPort));
    if (strPath.isEmpty())
        return finish(2, QStringLiteral("kova_en: --save-port needs a device path"));

    const bool bUrl = IsNetPortName(strPath.toStdString());
    if (const QString why = NetPortNameProblem(strPath); !why.isEmpty())
        return finish(2, QStringLiteral("kova_en: %1: %2; nothing saved").arg(strPath, why));
#ifdef _WIN32
    // Port names (COM7) are no files; whatever Windows knows opens at the next connect.
    (void)roots;
    (void)bUrl;
    const QString path = strPath;
#else
    // Kept as given, symlinks and all: the point of /dev/serial/by-id/ names is that they
    // survive replugging, which the device they point to does not.
    // A port on a serial device server is no file here; it is reached at the next connect.
    const QString path = bUrl ? strPath : QFileInfo(strPath).absoluteFilePath();
    if (!bUrl) {
        struct stat st {};
        if (::stat(PathToBytes(path).constData(), &st) != 0)
            return finish(2, QStringLiteral("kova_en: %1 does not exist; nothing saved "
                                            "(kova_en --list-ports shows the serial devices)")
                                 .arg(path));
        if (!S_ISCHR(st.st_mode))
            return finish(2, QStringLiteral("kova_en: %1 is not a character device, so it cannot be a "
                                            "serial port; nothing saved")
                                 .arg(path));
        if (!IsTerminalDevice(path, roots))
            return finish(2, QStringLiteral("kova_en: %1 is a character device but not a terminal, so it "
                                            "cannot be a serial port; nothing saved")
                                 .arg(path));
    }
#endif

    const QString file = PortConfigFilePath();
    QString why;
    const QString target = WritableTarget(file, &why);
    if (target.isEmpty())
        return finish(1, QStringLiteral("kova_en: %1, not a configuration file; nothing saved").arg(why));
    QString warning;
    setup.ReadConfig(&warning);
    // Rewriting a file QSettings could not parse would lose whatever the user meant by it.
    if (!warning.isEmpty())
        return finish(1, QStringLiteral("kova_en: %1 is not a valid configuration file; "
                                        "nothing saved (correct or remove it first)")
                             .arg(file));
    QByteArray text;
    if (!ReadRegularFile(target, &text))
        return finish(1, QStringLiteral("kova_en: could not read %1; nothing saved").arg(file));

    // QSettings reads the file but does not write it: it writes back only what it parsed, so
    // the user's comments would go and section names would come back percent-encoded
    // ([other%20stuff]). The one line is changed in the text instead, and every other byte
    // stays. The safe writer replaces the link's target, not the link, whole or not at all.
    const QByteArray updated = SetIniLine(text, "ports", QByteArray::fromStdString(PortName(nPort)), IniValue(path));
    bool bOwnerKept = true;
    if (!WriteFileSafely(target, updated, &why, &bOwnerKept))
        return finish(1, QStringLiteral("kova_en: %1; nothing saved").arg(why));

    QString done = QStringLiteral("COM%1=%2 saved in %3").arg(nPort).arg(path, file);
    if (!bOwnerKept)
        done += QStringLiteral("\n(its owner could not be given back; it now belongs to this user)");
    if (!qEnvironmentVariableIsEmpty(PortEnvironmentVariable(nPort).c_str()))
        done += QStringLiteral("\n(%1 is set here and comes first; unset it to use the saved port)")
                    .arg(EnvironmentText(nPort));
    return finish(0, done);
}

CPortMapping CPortSetup::Resolve(int nPort) const
{
    if (const auto it = m_options.find(nPort); it != m_options.end() && !it->second.isEmpty())
        return {it->second, PortSource::Option};
    const QString env = PathFromEnvironment(PortEnvironmentVariable(nPort).c_str());
    if (!env.isEmpty())
        return {env, PortSource::Environment};
    const std::map<int, QString> config = ReadConfig();
    if (const auto it = config.find(nPort); it != config.end())
        return {it->second, PortSource::Configuration};
    return {QString::fromStdString(DefaultPortDevicePath(nPort)), PortSource::Default};
}

std::string CPortSetup::ResolveDevice(int nPort) const
{
    // The path's own bytes, those that are not UTF-8 included.
    return PathToBytes(Resolve(nPort).strPath).toStdString();
}

QString NetPortNameProblem(const QString& text)
{
    const std::string name = text.toStdString();
    CNetPortName parsed;
    std::string why;
    if (!IsNetPortName(name) || ParseNetPortName(name, &parsed, &why))
        return {};
    return QString::fromStdString(why);
}

QString PortSourceText(int nPort, PortSource source)
{
    switch (source) {
    case PortSource::Option: return QStringLiteral("option --com%1").arg(nPort);
    case PortSource::Environment: return QStringLiteral("environment ") + EnvironmentText(nPort);
    case PortSource::Configuration: return QStringLiteral("configuration %1").arg(PortConfigFilePath());
    case PortSource::Default: break;
    }
    return QStringLiteral("default");
}
