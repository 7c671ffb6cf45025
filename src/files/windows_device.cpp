#include "windows_device.h"

#include <array>

namespace {

bool IsSeparator(QChar c)
{
    return c == u'/' || c == u'\\';
}

bool IsDriveLetter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// The device name the last name of a path stands for, or empty.
QString ReservedName(QStringView path)
{
    qsizetype start = 0;
    for (qsizetype i = 0; i < path.size(); ++i)
        if (IsSeparator(path[i]))
            start = i + 1;
    // "C:NUL" is NUL on drive C as much as "C:\NUL" is.
    if (start == 0 && path.size() >= 2 && path[1] == u':' && IsDriveLetter(path[0]))
        start = 2;
    QStringView name = path.mid(start);
    // A device name keeps its meaning before an extension or a stream ("NUL.txt", "NUL:x"), and
    // with the trailing dots and spaces Windows drops ("NUL. ", "NUL .txt").
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (name[i] == u'.' || name[i] == u':') {
            name.truncate(i);
            break;
        }
    }
    while (!name.isEmpty() && name.back() == u' ')
        name.chop(1);
    const QString upper = name.toString().toUpper();
    static constexpr std::array<const char16_t*, 6> kNames{u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"};
    for (const char16_t* device : kNames)
        if (upper == QStringView(device))
            return upper;
    if (upper.size() == 4 && (upper.startsWith(u"COM") || upper.startsWith(u"LPT"))) {
        const QChar n = upper[3];
        if ((n >= u'0' && n <= u'9') || n == u'\u00B9' || n == u'\u00B2' || n == u'\u00B3')
            return upper;
    }
    return {};
}

} // namespace

QString WindowsDeviceIn(QStringView path)
{
    if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[3])) {
        const QStringView prefix = path.mid(1, 2);
        if (IsSeparator(prefix[0]) && prefix[1] == u'.')
            return QStringLiteral("a path in the device namespace");
        if ((IsSeparator(prefix[0]) && prefix[1] == u'?') || prefix == QStringView(u"??")) {
            // Only a drive or a share after the prefix is a file path written long.
            const QStringView rest = path.mid(4);
            const bool bDrive = rest.size() >= 3 && IsDriveLetter(rest[0]) && rest[1] == u':' && IsSeparator(rest[2]);
            const bool bShare =
                rest.size() >= 4 && rest.left(3).compare(u"UNC", Qt::CaseInsensitive) == 0 && IsSeparator(rest[3]);
            if (!bDrive && !bShare)
                return QStringLiteral("a path in the device namespace");
        }
    }
    const QString device = ReservedName(path);
    if (!device.isEmpty())
        return QStringLiteral("Windows keeps the name %1 for a device").arg(device);
    return {};
}
