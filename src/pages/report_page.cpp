#include "report_page.h"

#include "check_view.h"
#include "perm_page.h"

#include <QJsonDocument>
#include <QJsonObject>

CReportPage ReportPage(const QByteArray& json)
{
    CReportPage page;
    if (json.size() > kMaxReportBytes) {
        page.strWhy =
            QStringLiteral("%1 bytes, more than any report (at most %2)").arg(json.size()).arg(kMaxReportBytes);
        return page;
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError) {
        page.strWhy = QStringLiteral("not JSON: %1 at byte %2").arg(error.errorString()).arg(error.offset);
        return page;
    }
    if (!doc.isObject()) {
        page.strWhy = QStringLiteral("not a report: JSON, but not an object");
        return page;
    }
    return ReportPageOf(doc.object());
}

CReportPage ReportPageOf(const QJsonObject& report)
{
    CReportPage page;
    const QString format = report.value(QStringLiteral("format")).toString();
    if (format == QLatin1String(kCheckPageFormat))
        return CheckPage(report);
    if (format == QLatin1String(kPermPageFormat))
        return PermPage(report);
    page.strWhy = format.isEmpty()
                      ? QStringLiteral("not a report of a known format: no \"format\" (known: %1, %2)")
                            .arg(QLatin1String(kCheckPageFormat), QLatin1String(kPermPageFormat))
                      : QStringLiteral("not a report of a known format: \"%1\" (known: %2, %3)")
                            .arg(format.left(80), QLatin1String(kCheckPageFormat), QLatin1String(kPermPageFormat));
    return page;
}
