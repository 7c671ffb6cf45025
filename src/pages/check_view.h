#pragma once

#include "geometry.h"
#include "page_html.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <array>
#include <bitset>
#include <vector>

// The format of the check's reports that the pages read; the runs assert it is the one they
// write.
inline constexpr const char* kCheckPageFormat = "kova_en-check/1";
// A check has 19 items; a report with far more is not a check's, and its page shows this many.
inline constexpr int kMaxPageItems = 100;

// A check's report as the page shows it: every field taken only when sound (report_fields.h),
// and a note for each that was not.
struct CCheckView {
    struct Item {
        QString strName;
        QString strOutcome; // one of the four item outcomes
        EPageMark mark = EPageMark::None;
        QString strReason;
        int nKey = 0;      // 1 to 12 for "key N"
        int nSelector = 0; // 1 or 2 for "selector N"
        int nLamps = -1;   // 0 on, 1 flashing, 2 off
        bool bLcd = false;
        bool bAtRest = false;
        std::vector<int> wrongKeys; // 1 to 12 only
        std::vector<int> positionsSeen;
        std::vector<int> positionsMissing;
        QString strAnswer;
        QStringList measures; // "press 150 ms", "held 100 ms", ...
    };
    QString strSerial, strOperator, strStation, strPort, strDevice, strProgram, strVersion;
    QString strStarted, strEnded, strOutcome, strReason;
    QString strSeed, strBaud, strVariant;
    EPageMark verdict = EPageMark::None;
    std::vector<Item> items;
    QStringList skipped;
};

// What the picture shows, gathered from the items: one mark a key, selector, lamp question and
// the LCD, with what to write beside it.
struct CPanelMarks {
    struct Place {
        EPageMark mark = EPageMark::None;
        QString strName;
        QString strNote; // the reason of a failure, the answer, the missing positions
    };
    std::array<Place, kKeyCount> keys;
    // Keys reported when they should not have been, and during which items.
    std::bitset<kKeyCount> unexpected;
    std::array<QStringList, kKeyCount> unexpectedDuring;
    std::array<Place, 2> selectors;
    std::array<std::vector<int>, 2> missing;
    std::array<Place, 3> lamps; // on, flashing, off
    Place lcd;
};

// Reads a check's report; false and why when it is no check report at all (no object, another
// format). Everything else unsound is left out and noted in view.skipped.
bool ReadCheckView(const QJsonObject& report, CCheckView* pView, QString* pWhy);
CPanelMarks MarksOf(const CCheckView& view);
