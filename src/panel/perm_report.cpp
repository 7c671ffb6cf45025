#include "perm_report.h"

#include "safe_file.h"
#include "telegrams.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace {

// Milliseconds from a to b on the link's 64-bit clock, which never wraps.
int64_t MsBetween(int64_t a, int64_t b)
{
    return b - a;
}

QJsonObject ByResult(const std::array<uint64_t, kBlockResults.size()>& counts)
{
    QJsonObject o;
    for (size_t i = 0; i < kBlockResults.size(); ++i)
        o.insert(QString::number(kBlockResults[i]), static_cast<qint64>(counts[i]));
    return o;
}

QJsonObject ByPosition(const std::array<uint64_t, 12>& counts)
{
    QJsonObject o;
    for (size_t i = 0; i < counts.size(); ++i)
        o.insert(QString::number(i + 1), static_cast<qint64>(counts[i]));
    return o;
}

// "1 exchange", "2 exchanges".
QString Count(uint64_t n, const char* pszOne, const char* pszMany)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? pszOne : pszMany));
}

QString Clock(double seconds)
{
    const auto s = static_cast<int64_t>(seconds);
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600, 2, 10, QLatin1Char('0'))
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

QJsonObject LinkCountsJson(const CLinkCounts& counts)
{
    return QJsonObject{
        {QStringLiteral("sent"), ByResult(counts.sent)},
        {QStringLiteral("received"), ByResult(counts.received)},
        {QStringLiteral("not_sent_link_closed"), static_cast<qint64>(counts.nNotSent)},
        {QStringLiteral("link_losses"), static_cast<qint64>(counts.nLinkLosses)},
    };
}

CPermRecord::CPermRecord(const Where& where, const QDateTime& started, int64_t nStartMs, const CLinkCounts& countsNow)
    : m_where(where), m_started(started), m_nStartMs(nStartMs), m_atStart(countsNow)
{
}

void CPermRecord::AddMoment(int64_t nNowMs, const QString& strWhat, int nValue)
{
    if (nNowMs < 0)
        return;
    if (m_timeline.size() >= static_cast<size_t>(kMaxPermTimeline)) {
        ++m_nTimelineDropped;
        return;
    }
    m_timeline.push_back({std::max<int64_t>(0, MsBetween(m_nStartMs, nNowMs)), strWhat, nValue});
}

void CPermRecord::OnStep(bool bLinkOpen, int64_t nNowMs)
{
    ++(bLinkOpen ? m_nSteps : m_nDemoSteps);
    if (nNowMs < 0)
        return;
    if (!bLinkOpen && m_bLinkWasOpen) {
        // Lost at the exchange that timed out after the last good step, else at the latest by now.
        AddMoment(m_nLastClosedAtMs >= m_nLastOpenStepMs ? m_nLastClosedAtMs : nNowMs, QStringLiteral("link lost"));
    }
    m_bLinkWasOpen = bLinkOpen;
    if (bLinkOpen)
        m_nLastOpenStepMs = nNowMs;
}

void CPermRecord::OnReport(uint8_t b, int64_t nNowMs)
{
    // The panel answers every LCD telegram with its key status as well: a press or a release is
    // counted when the status changes, not each time it is said again.
    if (b >= '1' && b <= '<') {
        if (m_nKeyDown != b - '1' + 1) {
            ++m_keys[b - '1'];
            AddMoment(nNowMs, QStringLiteral("key"), b - '1' + 1);
        }
        m_nKeyDown = b - '1' + 1;
    } else if (b == '0') {
        if (m_nKeyDown != 0)
            ++m_nKeyReleases;
        m_nKeyDown = 0;
    } else if (b >= 'A' && b <= 'L') {
        ++m_selector1[b - 'A'];
        // A change, not every report of the same position.
        if (m_nLastSelector[0] != b - 'A' + 1)
            AddMoment(nNowMs, QStringLiteral("selector 1"), b - 'A' + 1);
        m_nLastSelector[0] = b - 'A' + 1;
    } else if (b >= 'Q' && b <= '\\') {
        ++m_selector2[b - 'Q'];
        if (m_nLastSelector[1] != b - 'Q' + 1)
            AddMoment(nNowMs, QStringLiteral("selector 2"), b - 'Q' + 1);
        m_nLastSelector[1] = b - 'Q' + 1;
    }
}

void CPermRecord::OnFailedExchange(int64_t nNowMs, bool bSent, const uint8_t* pData, int nLen, int nResult)
{
    if (nResult == kBlockClosed)
        m_nLastClosedAtMs = nNowMs;
    if (m_events.size() >= static_cast<size_t>(kMaxPermEvents)) {
        // Where the list stops, so the page can show from when on exchanges were only counted.
        if (m_nEventsDropped++ == 0)
            AddMoment(nNowMs, QStringLiteral("events dropped"));
        return;
    }
    m_events.push_back({MsBetween(m_nStartMs, nNowMs), bSent, nResult,
                        QByteArray(reinterpret_cast<const char*>(pData), nLen > 0 ? nLen : 0), m_nSteps});
}

void CPermRecord::OnReconnect(bool bFound, int64_t nNowMs)
{
    ++m_nReconnectAttempts;
    if (bFound) {
        ++m_nReconnects;
        AddMoment(nNowMs, QStringLiteral("reconnect"));
    }
}

void CPermRecord::End(const QDateTime& ended, int64_t nNowMs, const CLinkCounts& countsNow, const QString& strWhy)
{
    if (m_bEnded)
        return;
    m_bEnded = true;
    m_ended = ended;
    m_nEndMs = nNowMs;
    m_atEnd = countsNow;
    m_strWhyEnded = strWhy;
}

CLinkCounts CPermRecord::Counts(const CLinkCounts& countsNow) const
{
    return (m_bEnded ? m_atEnd : countsNow).Since(m_atStart);
}

bool CPermRecord::Passed(const CLinkCounts& runCounts) const
{
    // A run that never reached the panel proves nothing and does not pass.
    return m_nSteps > 0 && runCounts.Failures() == 0 && runCounts.nLinkLosses == 0;
}

QString CPermRecord::VerdictReason(const CLinkCounts& runCounts) const
{
    QStringList why;
    if (runCounts.Failures() > 0)
        why << Count(runCounts.Failures(), "exchange", "exchanges") + QStringLiteral(" did not end 0");
    if (runCounts.nLinkLosses > 0)
        why << (runCounts.nLinkLosses == 1 ? QStringLiteral("the link was lost once")
                                           : QStringLiteral("the link was lost %1 times").arg(runCounts.nLinkLosses));
    if (m_nSteps == 0)
        why << QStringLiteral("no step reached the panel");
    return why.isEmpty() ? QStringLiteral("every exchange ended 0") : why.join(QStringLiteral("; "));
}

double CPermRecord::DurationS(int64_t nNowMs) const
{
    return static_cast<double>(MsBetween(m_nStartMs, m_bEnded ? m_nEndMs : nNowMs)) / 1000.0;
}

QString CPermRecord::Figures(int64_t nNowMs, const CLinkCounts& countsNow) const
{
    const CLinkCounts c = Counts(countsNow);
    return QStringLiteral("%1 in %2, %3 refused, %4, %5, %6")
        .arg(Count(static_cast<uint64_t>(m_nSteps), "step", "steps"), Clock(DurationS(nNowMs)))
        .arg(c.Sent(kBlockWrongByte) + c.Received(kBlockWrongByte))
        .arg(Count(c.Sent(kBlockClosed) + c.Received(kBlockClosed), "time-out", "time-outs"),
             Count(c.nLinkLosses, "link loss", "link losses"),
             Count(static_cast<uint64_t>(m_nReconnects), "reconnect", "reconnects"));
}

QJsonObject CPermRecord::ToJson() const
{
    const CLinkCounts c = Counts(m_atEnd);
    QJsonArray events;
    for (const CPermEvent& e : m_events)
        events.append(
            QJsonObject{{QStringLiteral("t_ms"), static_cast<qint64>(e.tMs)},
                        {QStringLiteral("direction"), e.bSent ? QStringLiteral("sent") : QStringLiteral("received")},
                        {QStringLiteral("result"), e.nResult},
                        {QStringLiteral("telegram"), HexBytes(e.telegram)},
                        {QStringLiteral("step"), static_cast<qint64>(e.nStep)}});
    QJsonArray timeline;
    for (const CPermMoment& m : m_timeline) {
        QJsonObject moment{{QStringLiteral("t_ms"), static_cast<qint64>(m.tMs)}, {QStringLiteral("what"), m.strWhat}};
        if (m.nValue > 0)
            moment.insert(QStringLiteral("value"), m.nValue);
        timeline.append(moment);
    }
    QJsonObject report{
        {QStringLiteral("format"), QLatin1String(kPermReportFormat)},
        {QStringLiteral("verdict"), Passed(c) ? QStringLiteral("pass") : QStringLiteral("fail")},
        {QStringLiteral("verdict_reason"), VerdictReason(c)},
        {QStringLiteral("steps"), static_cast<qint64>(m_nSteps)},
        {QStringLiteral("steps_demo"), static_cast<qint64>(m_nDemoSteps)},
        {QStringLiteral("reconnects"), m_nReconnects},
        {QStringLiteral("reconnect_attempts"), m_nReconnectAttempts},
        {QStringLiteral("events"), events},
        {QStringLiteral("events_dropped"), static_cast<qint64>(m_nEventsDropped)},
        {QStringLiteral("timeline"), timeline},
        {QStringLiteral("timeline_dropped"), static_cast<qint64>(m_nTimelineDropped)},
        {QStringLiteral("keys"), ByPosition(m_keys)},
        {QStringLiteral("key_releases"), static_cast<qint64>(m_nKeyReleases)},
        {QStringLiteral("selector1"), ByPosition(m_selector1)},
        {QStringLiteral("selector2"), ByPosition(m_selector2)},
        {QStringLiteral("port"), QStringLiteral("COM%1").arg(m_where.nPort)},
        {QStringLiteral("device"), m_where.strDevice},
        {QStringLiteral("baud"), m_where.nBaud},
        {QStringLiteral("variant"), m_where.nVariant},
        {QStringLiteral("started"), IsoWithOffset(m_started)},
        {QStringLiteral("ended"), IsoWithOffset(m_ended)},
        {QStringLiteral("duration_s"), DurationS(m_nEndMs)},
        {QStringLiteral("ended_by"), m_strWhyEnded},
    };
    const QJsonObject counts = LinkCountsJson(c);
    for (auto it = counts.begin(); it != counts.end(); ++it)
        report.insert(it.key(), it.value());
    return report;
}

QString CPermRecord::ReportFileName() const
{
    // UTC, so that the names sort by time and none repeats when the clocks go back in autumn.
    return QStringLiteral("permanence-%1-COM%2.json")
        .arg(m_started.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")))
        .arg(m_where.nPort);
}

// ISO 8601 with the local offset written out, "+00:00" at UTC too, so every report reads alike.
QString IsoWithOffset(const QDateTime& when)
{
    const int nOffsetS = when.offsetFromUtc();
    const int nMinutes = (nOffsetS < 0 ? -nOffsetS : nOffsetS) / 60;
    return when.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"))
           + QStringLiteral("%1%2:%3")
                 .arg(nOffsetS < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                 .arg(nMinutes / 60, 2, 10, QLatin1Char('0'))
                 .arg(nMinutes % 60, 2, 10, QLatin1Char('0'));
}

QString ReportFolder()
{
    QString base = PathFromEnvironment("XDG_STATE_HOME");
    // Relative values are to be ignored, as for every XDG base directory.
    if (base.isEmpty() || QDir::isRelativePath(base)) {
#ifdef _WIN32
        // Windows keeps a user's own files of a program on this machine in %LOCALAPPDATA%.
        base = QDir::fromNativeSeparators(PathFromEnvironment("LOCALAPPDATA"));
        if (base.isEmpty() || QDir::isRelativePath(base))
            base = QDir::homePath() + QStringLiteral("/AppData/Local");
#else
        // Without a home of its own (a service, a cron job) there is no place that is the
        // user's: the root folder would be taken for one, and as root /.local made.
        const QString home = PathFromEnvironment("HOME");
        if (home.isEmpty() || QDir::isRelativePath(home) || QDir::cleanPath(home) == QLatin1String("/"))
            return {};
        base = home + QStringLiteral("/.local/state");
#endif
    }
    return base + QStringLiteral("/kova_en");
}

QString NoReportFolderText()
{
    return QStringLiteral("no folder for reports: neither XDG_STATE_HOME nor HOME names one; "
                          "name the report with --report FILE");
}

QString WritePermReport(const CPermRecord& record, const QString& strPath, bool bNewName, QString* pError)
{
    const QByteArray json = QJsonDocument(record.ToJson()).toJson(QJsonDocument::Indented);
    if (bNewName)
        return WriteNewFileSafely(strPath, json, pError);
    return WriteFileSafely(strPath, json, pError) ? strPath : QString();
}
