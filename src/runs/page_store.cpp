#include "page_store.h"

#include "check_view.h"
#include "command_line.h"
#include "panel_check.h"
#include "perm_page.h"
#include "perm_report.h"
#include "report_page.h"
#include "safe_file.h"

#include <QFile>
#include <QFileInfo>

#include <string_view>

// The pages read the formats the runs write: one name for each, checked here where both meet.
static_assert(std::string_view(kCheckPageFormat) == std::string_view(kCheckReportFormat));
static_assert(std::string_view(kPermPageFormat) == std::string_view(kPermReportFormat));

QString PathBeside(const QString& strPath, const QString& strSuffix)
{
    const QFileInfo info(strPath);
    const QString suffix = info.suffix();
    // Only a name's own extension goes, not a dot in a folder's name ("runs.d/report").
    if (!suffix.isEmpty() && !info.completeBaseName().isEmpty())
        return strPath.left(strPath.size() - suffix.size() - 1) + strSuffix;
    return strPath + strSuffix;
}

bool CPageStore::Preflight(const QString& strReportPath) const
{
    if (m_bNone)
        return true;
    QString path = m_strHtmlPath;
    // In the state folder the report's own check covers the page: the same folder, a new name.
    if (path.isEmpty() && (strReportPath.isEmpty() || strReportPath == QLatin1String("-")))
        return true;
    if (path.isEmpty())
        path = PathBeside(strReportPath);
    QString why;
    if (CheckWritable(path, true, &why))
        return true;
    Print(m_pErr, QStringLiteral("kova_en: the report's page cannot be written: %1\n").arg(why));
    return false;
}

bool CPageStore::Write(const QJsonObject& report, const QString& strReportWritten, QString* pWritten) const
{
    pWritten->clear();
    if (m_bNone || (m_strHtmlPath.isEmpty() && strReportWritten.isEmpty()))
        return true;
    const CReportPage page = ReportPageOf(report);
    QString why = page.strWhy;
    if (!page.html.isEmpty()) {
        const QString path = m_strHtmlPath.isEmpty() ? PathBeside(strReportWritten) : m_strHtmlPath;
        if (WriteFileSafely(path, page.html, &why)) {
            *pWritten = path;
            return true;
        }
    }
    Print(m_pErr,
          QStringLiteral("kova_en: the report's page could not be written (the report is whole): %1\n").arg(why));
    return false;
}

QString WritePageBeside(const QJsonObject& report, const QString& strReportWritten, QString* pWhy)
{
    const CReportPage page = ReportPageOf(report);
    if (page.html.isEmpty()) {
        *pWhy = page.strWhy;
        return {};
    }
    const QString path = PathBeside(strReportWritten);
    return WriteFileSafely(path, page.html, pWhy) ? path : QString();
}

int RunRender(const QString& strReportPath, const QString& strHtmlPath, std::FILE* pOut, std::FILE* pErr)
{
    const auto refuse = [&](const QString& why) {
        Print(pErr, QStringLiteral("kova_en: %1: %2\n").arg(strReportPath, why));
        return 2;
    };
    // Read only a regular file: a FIFO or a device would hold the program or never end.
    const QFileInfo info(strReportPath);
    if (!info.exists())
        return refuse(QStringLiteral("no such file"));
    if (!info.isFile())
        return refuse(QStringLiteral("not a regular file"));
    if (info.size() > kMaxReportBytes)
        return refuse(QStringLiteral("%1 bytes, more than any report").arg(info.size()));
    QFile file(strReportPath);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(file.errorString());
    const QByteArray json = file.read(kMaxReportBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return refuse(file.errorString());
    const CReportPage page = ReportPage(json);
    if (page.html.isEmpty())
        return refuse(page.strWhy);
    const QString target = strHtmlPath.isEmpty() ? PathBeside(strReportPath) : strHtmlPath;
    if (QFileInfo(target).canonicalFilePath() == info.canonicalFilePath() && info.exists())
        return refuse(QStringLiteral("the page would overwrite the report itself"));
    for (const QString& note : page.skipped)
        Print(pErr, QStringLiteral("kova_en: the page leaves out %1\n").arg(note));
    QString why;
    if (!WriteFileSafely(target, page.html, &why)) {
        Print(pErr, QStringLiteral("kova_en: the page could not be written: %1\n").arg(why));
        return 2;
    }
    return Print(pOut, QStringLiteral("Page: %1\n").arg(target)) ? 0 : 2;
}
