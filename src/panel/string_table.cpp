#include "string_table.h"

#include <QFile>
#include <QHash>

namespace {

QHash<int, QString> ReadTable()
{
    QHash<int, QString> table;
    QFile file(QStringLiteral(":/kova/strings.txt"));
    if (!file.open(QIODevice::ReadOnly))
        return table;
    const QString text = QString::fromUtf8(file.readAll());
    for (const QString& line : text.split(u'\n')) {
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const qsizetype tab = line.indexOf(u'\t');
        if (tab <= 0)
            continue;
        bool ok = false;
        const int id = line.left(tab).toInt(&ok);
        if (ok)
            table.insert(id, line.mid(tab + 1));
    }
    return table;
}

} // namespace

QString LoadString(int nId)
{
    static const QHash<int, QString> table = ReadTable();
    return table.value(nId);
}
