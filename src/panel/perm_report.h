#pragma once

#include "link_stats.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

// A run keeps the first this many failed exchanges as events and only counts the rest, so a
// run of days stays a small file.
inline constexpr int kMaxPermEvents = 1000;

// The "format" of every report: its number goes up when a key changes meaning, so a program
// reading reports can tell which it has.
inline constexpr const char* kPermReportFormat = "kova_en-permanence/1";

// The timeline keeps the first this many moments of a run (link losses, reconnects, key
// presses, selector changes) and counts the rest.
inline constexpr int kMaxPermTimeline = 1000;

// One moment of a run on its timeline, for the report's page to draw on a time axis.
struct CPermMoment {
    int64_t tMs;     // since the start of the run
    QString strWhat; // "link lost", "reconnect", "key", "selector 1", "selector 2", "events dropped"
    int nValue;      // the key or the position; 0 for the others
};

// One exchange of a run that did not end 0.
struct CPermEvent {
    int64_t tMs;         // since the start of the run
    bool bSent;          // sent by the PC, or received from the panel
    int nResult;         // 33, 34 or 255
    QByteArray telegram; // as far as it got
    int64_t nStep;       // steps with the link open before it
};

// The record of one permanence-test run, from its start to its end: where it ran, the steps,
// the link's figures over the run, the failed exchanges, the key and selector reports seen and
// the verdict. The model feeds it; it is written as a JSON report when the run ends.
class CPermRecord {
public:
    struct Where {
        int nPort = 1; // 1 or 2
        QString strDevice;
        int nBaud = 9600;
        int nVariant = 0;
    };

    CPermRecord(const Where& where, const QDateTime& started, int64_t nStartMs, const CLinkCounts& countsNow);

    // nNowMs (the run's clock) puts a lost link on the timeline; without it (-1) only counted.
    void OnStep(bool bLinkOpen, int64_t nNowMs = -1);
    // The first byte of a telegram that the panel delivered (a key or selector report); with
    // nNowMs a press or selector change goes on the timeline too.
    void OnReport(uint8_t b, int64_t nNowMs = -1);
    void OnFailedExchange(int64_t nNowMs, bool bSent, const uint8_t* pData, int nLen, int nResult);
    // A connect made to carry on the run after the link was lost; bFound when it succeeded.
    void OnReconnect(bool bFound, int64_t nNowMs = -1);
    void End(const QDateTime& ended, int64_t nNowMs, const CLinkCounts& countsNow, const QString& strWhy);

    bool Ended() const { return m_bEnded; }
    // The link's figures over the run (so far, while it runs).
    CLinkCounts Counts(const CLinkCounts& countsNow) const;
    bool Passed(const CLinkCounts& runCounts) const;
    QString VerdictReason(const CLinkCounts& runCounts) const;
    int64_t Steps() const { return m_nSteps; }
    int64_t DemoSteps() const { return m_nDemoSteps; }
    int Reconnects() const { return m_nReconnects; }
    double DurationS(int64_t nNowMs) const;
    const std::vector<CPermEvent>& Events() const { return m_events; }
    uint64_t EventsDropped() const { return m_nEventsDropped; }
    const std::vector<CPermMoment>& Timeline() const { return m_timeline; }
    const Where& Place() const { return m_where; }
    const QDateTime& Started() const { return m_started; }

    // The report of an ended run.
    QJsonObject ToJson() const;
    // One line of running figures: steps, time, refusals, time-outs, losses.
    QString Figures(int64_t nNowMs, const CLinkCounts& countsNow) const;

    // The file name a report gets in the state folder, from its start time and port.
    QString ReportFileName() const;

private:
    Where m_where;
    QDateTime m_started;
    QDateTime m_ended;
    int64_t m_nStartMs;
    int64_t m_nEndMs = 0;
    CLinkCounts m_atStart;
    CLinkCounts m_atEnd;
    bool m_bEnded = false;
    QString m_strWhyEnded;
    int64_t m_nSteps = 0;
    int64_t m_nDemoSteps = 0;
    int m_nReconnects = 0;
    int m_nReconnectAttempts = 0;
    void AddMoment(int64_t nNowMs, const QString& strWhat, int nValue = 0);

    std::vector<CPermEvent> m_events;
    std::vector<CPermMoment> m_timeline;
    uint64_t m_nTimelineDropped = 0;
    bool m_bLinkWasOpen = false;
    int64_t m_nLastOpenStepMs = -1;
    int64_t m_nLastClosedAtMs = -1; // the last exchange that ended 255, a link lost there
    int m_nLastSelector[2] = {0, 0};
    int m_nKeyDown = 0; // the key status last reported, 0 none
    uint64_t m_nEventsDropped = 0;
    std::array<uint64_t, 12> m_keys{}; // presses reported, by key
    uint64_t m_nKeyReleases = 0;
    std::array<uint64_t, 12> m_selector1{}; // positions reported, by position
    std::array<uint64_t, 12> m_selector2{};
};

// The link's counts under the report's keys: "sent" and "received" by result, "not_sent_link_closed"
// and "link_losses". The machine interface's statistics use the same keys.
QJsonObject LinkCountsJson(const CLinkCounts& counts);

// ISO 8601 with the offset written out, "+00:00" at UTC too, as every report has its times.
QString IsoWithOffset(const QDateTime& when);

// The folder reports go to when no file is named: $XDG_STATE_HOME/kova_en, by default
// ~/.local/state/kova_en; empty when neither names a folder (no usable HOME).
QString ReportFolder();
// What to tell a user when ReportFolder() is empty.
QString NoReportFolderText();
// Writes the report of an ended run through the safe writer: to strPath, replacing a file
// there, or with bNewName under strPath or the first free name after it ("-2", "-3", ...).
// The path written, or an empty string and the reason.
QString WritePermReport(const CPermRecord& record, const QString& strPath, bool bNewName, QString* pError);
