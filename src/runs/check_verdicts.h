#pragma once

#include "panel_check.h"
#include "panel_driver.h"

#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

// What the panel check makes of one item: pure judgements from the reports the panel sent and
// when, with no line, clock or operator behind them, so each fault can be tried as a row of a
// table. The dialogue (panel_check.cpp) asks, listens until ListenUntil says enough, and hands
// what it heard to Judge... .

struct CItemVerdict {
    CheckOutcome outcome = CheckOutcome::Pass;
    QString strReason;              // when a fail
    std::vector<CheckFault> faults; // when a fail: its kinds, in the order of the reason
    QJsonObject measures;           // press_ms, held_ms, presses, wrong_keys, ...
};

// At rest: every key reported while hands were off; nHeldAtStart is the key the panel said was
// down when the item began (0 none), which counts only if it is still down at the end.
// pStuck gets the keys that failed the item, told once here and not again for every key.
CItemVerdict JudgeAtRest(int nHeldAtStart, const std::vector<CPanelEvent>& events, std::vector<int>* pStuck);

// A key item: until when it listens, given what it heard so far (after a release a little
// longer, for the contact bouncing back; until nDeadlineMs otherwise).
int64_t KeyListensUntil(int nKey, int64_t nDeadlineMs, const std::vector<CPanelEvent>& events);
// Its verdict: the key under the lit LED pressed once and released; keys in stuckKeys were told
// at rest already and are not this key's fault.
CItemVerdict JudgeKey(int nKey, int64_t nStartMs, const std::vector<CPanelEvent>& events,
                      const std::vector<int>& stuckKeys);

// A selector item: done once all twelve positions were reported.
bool SelectorComplete(int nSelector, const std::vector<CPanelEvent>& events);
CItemVerdict JudgeSelector(int nSelector, const std::vector<CPanelEvent>& events);

// A question: who can answer it. Empty when it can be asked; the reason it is "not checked"
// when key 1 or key 2 failed its own item and there is no terminal to answer on.
QString WhyUnanswerable(const std::vector<CCheckItem>& items, bool bTerminal);
// The answer a report gives to a question: key 1 yes, key 2 no, anything else none.
std::optional<bool> AnswerOf(const CPanelEvent& event);
CItemVerdict JudgeAnswer(std::optional<bool> answer);
