#include "check_outcome.h"

#include <QStringList>

#include <algorithm>

QString OutcomeText(CheckOutcome outcome)
{
    switch (outcome) {
    case CheckOutcome::Pass: return QStringLiteral("pass");
    case CheckOutcome::Fail: return QStringLiteral("fail");
    case CheckOutcome::NotRun: return QStringLiteral("not run");
    case CheckOutcome::NotChecked: return QStringLiteral("not checked");
    }
    return {};
}

QString OutcomeText(CheckRunOutcome outcome)
{
    switch (outcome) {
    case CheckRunOutcome::Pass: return QStringLiteral("pass");
    case CheckRunOutcome::Fail: return QStringLiteral("fail");
    case CheckRunOutcome::Aborted: return QStringLiteral("aborted");
    case CheckRunOutcome::Error: return QStringLiteral("error");
    }
    return {};
}

QString FaultText(CheckFault fault)
{
    switch (fault) {
    case CheckFault::PressedAtRest: return QStringLiteral("pressed at rest");
    case CheckFault::NoPress: return QStringLiteral("no press");
    case CheckFault::NotReleased: return QStringLiteral("not released");
    case CheckFault::Bouncing: return QStringLiteral("bouncing");
    case CheckFault::PositionMissing: return QStringLiteral("position missing");
    case CheckFault::WrongKey: return QStringLiteral("wrong key");
    case CheckFault::NoAnswer: return QStringLiteral("no answer");
    case CheckFault::AnsweredNo: return QStringLiteral("answered no");
    case CheckFault::LinkLost: return QStringLiteral("link lost");
    }
    return {};
}

CFailure FailureOf(const std::vector<CFinding>& findings)
{
    CFailure failure;
    QStringList words;
    for (const CFinding& finding : findings) {
        words << finding.strText;
        if (std::find(failure.faults.begin(), failure.faults.end(), finding.kind) == failure.faults.end())
            failure.faults.push_back(finding.kind);
    }
    failure.strReason = words.join(QStringLiteral("; "));
    return failure;
}
