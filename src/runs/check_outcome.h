#pragma once

#include <QString>

#include <vector>

// What the panel check found, as values: set once, where the verdict is given, and read by
// everything that tells it (the summary, the JSON report, the JUnit file), so that no reader
// has to recognise the check's own words again.

// One item.
enum class CheckOutcome { Pass, Fail, NotRun, NotChecked };
// The whole check: fail when an item failed or was not checked; aborted by a stop signal; error
// when the panel was not found or was lost for good.
enum class CheckRunOutcome { Pass, Fail, Aborted, Error };
// The kinds of fault a failed item can have, for a CI to group failures by; one item can have
// several ("key 4 reported; no press" is a wrong key and no press).
enum class CheckFault {
    PressedAtRest,
    NoPress,
    NotReleased,
    Bouncing,
    PositionMissing,
    WrongKey,
    NoAnswer,
    AnsweredNo,
    LinkLost
};

// The words of the report: "pass", "fail", "not run", "not checked".
QString OutcomeText(CheckOutcome outcome);
// "pass", "fail", "aborted", "error".
QString OutcomeText(CheckRunOutcome outcome);
// "pressed at rest", "no press", "not released", "bouncing", "position missing", "wrong key",
// "no answer", "answered no", "link lost".
QString FaultText(CheckFault fault);

// One part of a failure: its kind and its words ("key 4 reported").
struct CFinding {
    CheckFault kind;
    QString strText;
};

// A failure of one item: its reason (the findings' words joined by "; ") and its kinds, each
// once, in the order found.
struct CFailure {
    QString strReason;
    std::vector<CheckFault> faults;
};
CFailure FailureOf(const std::vector<CFinding>& findings);
