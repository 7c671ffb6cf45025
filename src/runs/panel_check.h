#pragma once

#include "check_outcome.h"
#include "command_line.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <vector>

// The panel check: a run without a display that leads an operator through every part of one
// panel (nothing pressed at rest, each key under its LED, both selectors, the lamps, every LCD
// cell) with prompts on the panel's own LCD and on standard output, and leaves a report that
// says item by item what passed. It drives the panel through the driver alone.

// The "format" of the check's report; the number goes up when a key changes its meaning.
inline constexpr const char* kCheckReportFormat = "kova_en-check/1";
// How long the check listens with hands off, and how long the LCD pattern stays before the
// question about it: long enough for an operator to look at every cell.
inline constexpr int kAtRestMs = 2000;
inline constexpr int kLcdHoldMs = 3000;
// A second press of a key this soon after its release is the contact bouncing, not the operator.
inline constexpr int kBounceWindowMs = 100;

// One item of the check and what it found.
struct CCheckItem {
    QString strName;  // "at rest", "key 7", "selector 2", "lamps on", "lcd"
    QString strGroup; // the --only group it belongs to
    CheckOutcome outcome = CheckOutcome::NotRun;
    QString strReason;              // when not a pass
    std::vector<CheckFault> faults; // when a fail: its kinds, in the order the reason gives them
    QJsonObject measures;           // press_ms, held_ms, presses, wrong_keys, ...
    int nKey = 0;                   // the key of a key item, the selector of a selector item
    int64_t nTimeMs = 0;            // how long the item took, for the JUnit file's time
};

// The record of one check, as the report and the JUnit file give it.
struct CCheckRecord {
    QString strSerial;
    QString strOperator;
    QString strStation;
    int nPort = 1;
    QString strDevice;
    int nBaud = 9600;
    int nVariant = 0;
    QDateTime started;
    QDateTime ended;
    uint32_t nSeed = 0;
    CheckRunOutcome outcome = CheckRunOutcome::Error;
    QString strReason; // when aborted or an error
    std::vector<CCheckItem> items;

    QJsonObject ToJson() const;
    // strAttachment: the absolute path of the check's picture, named in system-out as CI tools
    // (Jenkins, GitLab) take an attachment: [[ATTACHMENT|path]].
    QByteArray ToJUnit(const QString& strAttachment = QString()) const;
    // check-<UTC start>-<serial or COMn>.json
    QString ReportFileName() const;
};

// kova_en --check: 0 every item passed, 1 an item failed or was not checked or the panel could
// not be reached, 2 usage or port error or a report that cannot be written, 3 ended by a signal.
int RunPanelCheck(const CCommandLine& commandLine, std::FILE* pOut, std::FILE* pErr);
