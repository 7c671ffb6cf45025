#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>

// Where the report of a run goes, in one place for every run that leaves one: the path of
// --report or a name of its own in the state folder, the check of that place before the port
// opens (so a hopeless target is said at once and not after eight hours), the write through the
// safe writer, the fallback when the place failed at the end (a full disk), and what standard
// output and error are told of each.
class CReportStore {
public:
    // strPath: --report's file; empty for the state folder.
    CReportStore(const QString& strPath, std::FILE* pErr) : m_strPath(strPath), m_pErr(pErr) {}

    // Whether the report can be written where it is to go; says why on standard error if not.
    bool Preflight() const;
    // Writes data to --report's file, or as strFileName (a name of its own) in the state folder;
    // the path written, or empty and why.
    QString Write(const QByteArray& data, const QString& strFileName, QString* pWhy) const;
    // The report did not go where it was to go (why): it goes to strFileName in the user's
    // runtime folder, else in the current one, and standard error says where, or that it could not.
    void Rescue(const QByteArray& data, const QString& strFileName, const QString& why) const;

private:
    QString m_strPath;
    std::FILE* m_pErr;
};

// Whether a report could be written at strReportPath, or with an empty path in the state folder.
bool CheckReportTarget(const QString& strReportPath, QString* pWhy);
// strFileName in the user's runtime folder, else in the current folder; the path written, or
// empty and why.
QString WriteFallbackFile(const QString& strFileName, const QByteArray& data, QString* pError);
