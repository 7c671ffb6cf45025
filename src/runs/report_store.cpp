#include "report_store.h"

#include "command_line.h"
#include "perm_report.h"
#include "port_config.h"
#include "safe_file.h"

#include <QDir>
#include <QStringList>

bool CheckReportTarget(const QString& strReportPath, QString* pWhy)
{
    if (!strReportPath.isEmpty())
        return CheckWritable(strReportPath, true, pWhy);
    const QString folder = ReportFolder();
    if (folder.isEmpty()) {
        *pWhy = NoReportFolderText();
        return false;
    }
    return CheckWritableFolder(folder, true, pWhy);
}

QString WriteFallbackFile(const QString& strFileName, const QByteArray& data, QString* pError)
{
    QStringList folders;
    const QString runtime = PathFromEnvironment("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime))
        folders << runtime;
    folders << QDir::currentPath();
    for (const QString& folder : folders) {
        const QString written = WriteNewFileSafely(folder + QLatin1Char('/') + strFileName, data, pError);
        if (!written.isEmpty())
            return written;
    }
    return {};
}

bool CReportStore::Preflight() const
{
    QString why;
    if (CheckReportTarget(m_strPath, &why))
        return true;
    Print(m_pErr, QStringLiteral("kova_en: the report cannot be written: %1\n").arg(why));
    return false;
}

QString CReportStore::Write(const QByteArray& data, const QString& strFileName, QString* pWhy) const
{
    if (m_strPath.isEmpty())
        return WriteNewFileSafely(ReportFolder() + QLatin1Char('/') + strFileName, data, pWhy);
    return WriteFileSafely(m_strPath, data, pWhy) ? m_strPath : QString();
}

void CReportStore::Rescue(const QByteArray& data, const QString& strFileName, const QString& why) const
{
    QString whyElse;
    const QString fallback = WriteFallbackFile(strFileName, data, &whyElse);
    Print(m_pErr, QStringLiteral("kova_en: the report could not be written: %1\n").arg(why));
    Print(m_pErr, fallback.isEmpty() ? QStringLiteral("kova_en: nor anywhere else: %1\n").arg(whyElse)
                                     : QStringLiteral("kova_en: the report went to %1 instead\n").arg(fallback));
}
