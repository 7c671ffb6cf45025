#pragma once

#include <QJsonObject>
#include <QString>

#include <cstdio>

// Where a run's report page goes, and its writing through the safe writer: beside the report
// under the same name with .html, or where --html names it, or nowhere with --no-html. Its
// place is checked before the port opens, as the report's is; a page that cannot be written
// at the end costs nothing of the report, and the run's exit status says it was lost.

// The exit status of a run whose report was written but whose page (or the JUnit file's
// picture) was not: the report holds the verdict.
inline constexpr int kExitPageLost = 4;

// x.json -> x.html; any other name gets .html added. Also the JUnit file's picture (x.xml ->
// x.png) with strSuffix ".png".
QString PathBeside(const QString& strPath, const QString& strSuffix = QStringLiteral(".html"));

class CPageStore {
public:
    // strHtmlPath: --html's file, empty for beside the report; bNone: --no-html.
    CPageStore(const QString& strHtmlPath, bool bNone, std::FILE* pErr)
        : m_strHtmlPath(strHtmlPath), m_bNone(bNone), m_pErr(pErr)
    {
    }

    // Whether the page could be written where it is to go, beside --report's file or in the
    // state folder (strReportPath empty; the report's check covers that folder) or at --html;
    // says why on standard error if not.
    bool Preflight(const QString& strReportPath) const;
    // Writes the page of report beside strReportWritten (the path the report went to; empty when
    // it went nowhere or to standard output) or at --html. True when written or not asked for;
    // false (and why on standard error) when the page was lost. *pWritten: the page's path.
    bool Write(const QJsonObject& report, const QString& strReportWritten, QString* pWritten) const;

private:
    QString m_strHtmlPath;
    bool m_bNone;
    std::FILE* m_pErr;
};

// The page of a report for a window's run: beside strReportWritten, through the safe writer.
// The path written, or empty and why.
QString WritePageBeside(const QJsonObject& report, const QString& strReportWritten, QString* pWhy);

// kova_en --render REPORT [--html FILE]: 0 the page written (what the report held that the
// page could not show on standard error), 2 the report refused or unreadable, or the page not
// written.
int RunRender(const QString& strReportPath, const QString& strHtmlPath, std::FILE* pOut, std::FILE* pErr);
