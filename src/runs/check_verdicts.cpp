#include "check_verdicts.h"

#include <QJsonArray>
#include <QStringList>

#include <algorithm>
#include <array>
#include <utility>

namespace {

QJsonArray IntArray(const std::vector<int>& values)
{
    QJsonArray array;
    for (int n : values)
        array.append(n);
    return array;
}

bool Contains(const std::vector<int>& values, int n)
{
    return std::find(values.begin(), values.end(), n) != values.end();
}

CItemVerdict Failed(CItemVerdict verdict, const std::vector<CFinding>& findings)
{
    CFailure failure = FailureOf(findings);
    verdict.outcome = CheckOutcome::Fail;
    verdict.strReason = failure.strReason;
    verdict.faults = std::move(failure.faults);
    return verdict;
}

// What a key item heard, in the order it came.
struct CKeyTrace {
    int nPresses = 0;
    bool bReleased = false;
    int64_t nPressMs = -1;
    int64_t nReleaseMs = -1;
    int64_t nHeldMs = -1;
    std::vector<int> wrongKeys;
};

CKeyTrace TraceKey(int nKey, const std::vector<CPanelEvent>& events, const std::vector<int>& stuckKeys)
{
    CKeyTrace t;
    for (const CPanelEvent& e : events) {
        if (e.kind == CPanelEvent::Kind::Key && e.n == nKey) {
            // A press counts once until its release; the next press after a release is a bounce.
            if (t.nPresses == 0 || t.bReleased) {
                if (t.nPresses == 0)
                    t.nPressMs = e.tMs;
                ++t.nPresses;
                t.bReleased = false;
            }
        } else if (e.kind == CPanelEvent::Kind::Key) {
            // A key held since the start was told at rest; it is not every key's fault again.
            if (!Contains(stuckKeys, e.n))
                t.wrongKeys.push_back(e.n);
        } else if (e.kind == CPanelEvent::Kind::NoKey && t.nPresses > 0 && !t.bReleased) {
            t.bReleased = true;
            t.nReleaseMs = e.tMs;
            if (t.nHeldMs < 0)
                t.nHeldMs = t.nReleaseMs - t.nPressMs;
        }
    }
    return t;
}

} // namespace

CItemVerdict JudgeAtRest(int nHeldAtStart, const std::vector<CPanelEvent>& events, std::vector<int>* pStuck)
{
    std::vector<int> pressed;
    int nHeld = nHeldAtStart;
    for (const CPanelEvent& e : events) {
        if (e.kind == CPanelEvent::Kind::NoKey)
            nHeld = 0;
        if (e.kind == CPanelEvent::Kind::Key && !Contains(pressed, e.n))
            pressed.push_back(e.n);
    }
    // Held from before the prompt, it is stuck only if still down when the time is up; let go
    // meanwhile, it was a hand leaving the panel at the prompt.
    if (nHeld != 0 && !Contains(pressed, nHeld))
        pressed.insert(pressed.begin(), nHeld);
    CItemVerdict verdict;
    verdict.measures.insert(QStringLiteral("wrong_keys"), IntArray(pressed));
    if (pressed.empty())
        return verdict;
    if (pStuck != nullptr)
        *pStuck = pressed;
    QStringList names;
    for (int k : pressed)
        names << QStringLiteral("key %1").arg(k);
    return Failed(verdict, {{CheckFault::PressedAtRest,
                             QStringLiteral("%1 pressed with hands off: stuck key or short").arg(names.join(u", "))}});
}

int64_t KeyListensUntil(int nKey, int64_t nDeadlineMs, const std::vector<CPanelEvent>& events)
{
    const CKeyTrace t = TraceKey(nKey, events, {});
    return t.bReleased ? t.nReleaseMs + kBounceWindowMs : nDeadlineMs;
}

CItemVerdict JudgeKey(int nKey, int64_t nStartMs, const std::vector<CPanelEvent>& events,
                      const std::vector<int>& stuckKeys)
{
    const CKeyTrace t = TraceKey(nKey, events, stuckKeys);
    CItemVerdict verdict;
    verdict.measures.insert(QStringLiteral("presses"), t.nPresses);
    verdict.measures.insert(QStringLiteral("wrong_keys"), IntArray(t.wrongKeys));
    if (t.nPressMs >= 0)
        verdict.measures.insert(QStringLiteral("press_ms"), static_cast<qint64>(t.nPressMs - nStartMs));
    if (t.nHeldMs >= 0)
        verdict.measures.insert(QStringLiteral("held_ms"), static_cast<qint64>(t.nHeldMs));
    std::vector<CFinding> findings;
    std::vector<int> told;
    for (int k : t.wrongKeys) {
        if (!Contains(told, k))
            findings.push_back({CheckFault::WrongKey, QStringLiteral("key %1 reported").arg(k)});
        told.push_back(k);
    }
    if (t.nPresses == 0)
        findings.push_back({CheckFault::NoPress, QStringLiteral("no press")});
    else if (!t.bReleased)
        findings.push_back({CheckFault::NotReleased, QStringLiteral("not released")});
    if (t.nPresses > 1)
        findings.push_back({CheckFault::Bouncing, QStringLiteral("bouncing: %1 presses").arg(t.nPresses)});
    return findings.empty() ? verdict : Failed(verdict, findings);
}

namespace {

std::vector<int> Positions(int nSelector, const std::vector<CPanelEvent>& events)
{
    const CPanelEvent::Kind kind = nSelector == 1 ? CPanelEvent::Kind::Selector1 : CPanelEvent::Kind::Selector2;
    std::vector<int> seen;
    for (const CPanelEvent& e : events)
        if (e.kind == kind && e.n >= 1 && e.n <= 12)
            seen.push_back(e.n);
    return seen;
}

std::vector<int> Missing(const std::vector<int>& seen)
{
    std::vector<int> missing;
    for (int p = 1; p <= 12; ++p)
        if (!Contains(seen, p))
            missing.push_back(p);
    return missing;
}

} // namespace

bool SelectorComplete(int nSelector, const std::vector<CPanelEvent>& events)
{
    return Missing(Positions(nSelector, events)).empty();
}

CItemVerdict JudgeSelector(int nSelector, const std::vector<CPanelEvent>& events)
{
    const std::vector<int> seen = Positions(nSelector, events);
    const std::vector<int> missing = Missing(seen);
    CItemVerdict verdict;
    verdict.measures.insert(QStringLiteral("positions_seen"), IntArray(seen));
    verdict.measures.insert(QStringLiteral("positions_missing"), IntArray(missing));
    if (missing.empty())
        return verdict;
    QStringList names;
    for (int p : missing)
        names << QString::number(p);
    return Failed(verdict,
                  {{CheckFault::PositionMissing,
                    QStringLiteral("position%1 %2 never reported")
                        .arg(missing.size() > 1 ? QLatin1String("s") : QLatin1String(""), names.join(u", "))}});
}

QString WhyUnanswerable(const std::vector<CCheckItem>& items, bool bTerminal)
{
    // The keys that answer must have passed their own items, or a terminal must be there to
    // answer on; otherwise nobody can tell yes from a broken key.
    if (bTerminal)
        return {};
    for (const CCheckItem& other : items)
        if ((other.strName == QLatin1String("key 1") || other.strName == QLatin1String("key 2"))
            && other.outcome == CheckOutcome::Fail)
            return QStringLiteral("%1 failed its own item and no terminal is there to answer on").arg(other.strName);
    return {};
}

std::optional<bool> AnswerOf(const CPanelEvent& event)
{
    if (event.kind != CPanelEvent::Kind::Key || (event.n != 1 && event.n != 2))
        return std::nullopt;
    return event.n == 1;
}

CItemVerdict JudgeAnswer(std::optional<bool> answer)
{
    CItemVerdict verdict;
    if (!answer)
        return Failed(verdict, {{CheckFault::NoAnswer, QStringLiteral("no answer")}});
    verdict.measures.insert(QStringLiteral("answer"), *answer ? QStringLiteral("yes") : QStringLiteral("no"));
    return *answer ? verdict : Failed(verdict, {{CheckFault::AnsweredNo, QStringLiteral("answered no")}});
}
