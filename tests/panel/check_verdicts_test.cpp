// The panel check's judgements as tables: what the panel reported and when, and the verdict an
// item must give on it. Each fault the virtual operator can play (a stuck, crossed, bouncing or
// dead key, a selector gap, a "no") is a row here, judged in microseconds.
#include "check_plan.h"
#include "check_verdicts.h"

#include <QJsonArray>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// "k3@150" key 3 pressed at 150 ms, "r@250" released, "s2:7@40" selector 2 at position 7.
std::vector<CPanelEvent> Heard(const std::vector<std::string>& script)
{
    std::vector<CPanelEvent> events;
    for (const std::string& s : script) {
        CPanelEvent e;
        const size_t at = s.find('@');
        e.tMs = std::stoll(s.substr(at + 1));
        if (s[0] == 'k') {
            e.kind = CPanelEvent::Kind::Key;
            e.n = std::stoi(s.substr(1, at - 1));
        } else if (s[0] == 'r') {
            e.kind = CPanelEvent::Kind::NoKey;
        } else {
            e.kind = s[1] == '1' ? CPanelEvent::Kind::Selector1 : CPanelEvent::Kind::Selector2;
            e.n = std::stoi(s.substr(3, at - 3));
        }
        events.push_back(e);
    }
    return events;
}

std::string Kinds(const std::vector<CheckFault>& faults)
{
    QStringList words;
    for (const CheckFault fault : faults)
        words << FaultText(fault);
    return words.join(QStringLiteral(", ")).toStdString();
}

TEST(CheckVerdictsTest, KeyItems)
{
    struct Row {
        const char* what;
        std::vector<std::string> heard;
        std::vector<int> stuck;
        const char* outcome;
        const char* reason;
        const char* faults; // the kinds a CI groups by, as the JUnit file names them
        int presses;
        int64_t heldMs; // -1: not measured
    } const rows[] = {
        {"a clean press", {"k5@150", "r@250"}, {}, "pass", "", "", 1, 100},
        {"crossed wiring", {"k6@150", "r@250"}, {}, "fail", "key 6 reported; no press", "wrong key, no press", 0, -1},
        {"a wrong key, then the right one",
         {"k6@100", "r@150", "k5@300", "r@400"},
         {},
         "fail",
         "key 6 reported",
         "wrong key",
         1,
         100},
        {"bouncing", {"k5@150", "r@250", "k5@280", "r@300"}, {}, "fail", "bouncing: 2 presses", "bouncing", 2, 100},
        {"dead key", {}, {}, "fail", "no press", "no press", 0, -1},
        {"never released", {"k5@150"}, {}, "fail", "not released", "not released", 1, -1},
        {"two wrong keys are one kind",
         {"k6@100", "r@150", "k7@160", "k5@300", "r@400"},
         {},
         "fail",
         "key 6 reported; key 7 reported",
         "wrong key",
         1,
         100},
        {"a key stuck since at rest is not this key's fault",
         {"k9@10", "k5@150", "r@250"},
         {9},
         "pass",
         "",
         "",
         1,
         100},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const CItemVerdict v = JudgeKey(5, 0, Heard(row.heard), row.stuck);
        EXPECT_EQ(OutcomeText(v.outcome).toStdString(), row.outcome);
        EXPECT_EQ(v.strReason.toStdString(), row.reason);
        EXPECT_EQ(Kinds(v.faults), row.faults);
        EXPECT_EQ(v.measures.value(QStringLiteral("presses")).toInt(), row.presses);
        EXPECT_EQ(v.measures.value(QStringLiteral("held_ms")).toInteger(-1), row.heldMs);
    }
    // The item listens to its deadline, after a release only for the bounce window.
    EXPECT_EQ(KeyListensUntil(5, 30000, Heard({"k5@150"})), 30000);
    EXPECT_EQ(KeyListensUntil(5, 30000, Heard({"k5@150", "r@250"})), 250 + kBounceWindowMs);
    EXPECT_EQ(KeyListensUntil(5, 30000, Heard({"k5@150", "r@250", "k5@280"})), 30000);
}

TEST(CheckVerdictsTest, AtRestSelectorsAndAnswers)
{
    std::vector<int> stuck;
    EXPECT_EQ(JudgeAtRest(0, {}, &stuck).outcome, CheckOutcome::Pass);
    const CItemVerdict atRest = JudgeAtRest(0, Heard({"k5@300"}), &stuck);
    EXPECT_EQ(atRest.strReason, "key 5 pressed with hands off: stuck key or short");
    EXPECT_EQ(Kinds(atRest.faults), "pressed at rest");
    EXPECT_EQ(stuck, std::vector<int>{5});
    // Held from before the prompt: stuck only if still down at the end.
    EXPECT_EQ(JudgeAtRest(7, {}, &stuck).strReason, "key 7 pressed with hands off: stuck key or short");
    EXPECT_EQ(JudgeAtRest(7, Heard({"r@500"}), &stuck).outcome, CheckOutcome::Pass);

    std::vector<std::string> turn;
    for (int p = 2; p <= 12; ++p)
        turn.push_back("s2:" + std::to_string(p) + "@" + std::to_string(p * 100));
    EXPECT_FALSE(SelectorComplete(2, Heard(turn)));
    CItemVerdict v = JudgeSelector(2, Heard(turn));
    EXPECT_EQ(v.strReason, "position 1 never reported");
    EXPECT_EQ(Kinds(v.faults), "position missing");
    EXPECT_EQ(v.measures.value(QStringLiteral("positions_seen")).toArray().size(), 11);
    turn.push_back("s2:1@1300");
    EXPECT_TRUE(SelectorComplete(2, Heard(turn)));
    EXPECT_FALSE(SelectorComplete(1, Heard(turn))); // the other selector's reports do not count
    EXPECT_EQ(JudgeSelector(2, Heard(turn)).outcome, CheckOutcome::Pass);

    EXPECT_EQ(AnswerOf(Heard({"k1@5"})[0]), true);
    EXPECT_EQ(AnswerOf(Heard({"k2@5"})[0]), false);
    EXPECT_EQ(AnswerOf(Heard({"k3@5"})[0]), std::nullopt);
    EXPECT_EQ(JudgeAnswer(false).strReason, "answered no");
    EXPECT_EQ(Kinds(JudgeAnswer(false).faults), "answered no");
    EXPECT_EQ(JudgeAnswer(std::nullopt).strReason, "no answer");
    EXPECT_EQ(Kinds(JudgeAnswer(std::nullopt).faults), "no answer");
    std::vector<CCheckItem> items = CheckPlan(11, {});
    EXPECT_TRUE(WhyUnanswerable(items, false).isEmpty());
    for (CCheckItem& item : items)
        if (item.strName == QLatin1String("key 1"))
            item.outcome = CheckOutcome::Fail;
    EXPECT_EQ(WhyUnanswerable(items, false), "key 1 failed its own item and no terminal is there to answer on");
    EXPECT_TRUE(WhyUnanswerable(items, true).isEmpty());
}

// The JUnit file's failure type comes from the kinds the verdict set, whatever its words say.
TEST(CheckVerdictsTest, TheJUnitTypeIsTheVerdictsKinds)
{
    CCheckRecord record;
    record.outcome = CheckRunOutcome::Fail;
    CCheckItem item;
    item.strName = QStringLiteral("key 3");
    item.outcome = CheckOutcome::Fail;
    item.strReason = QStringLiteral("words no reader matches");
    item.faults = {CheckFault::LinkLost, CheckFault::NoPress};
    record.items.push_back(item);
    const QByteArray xml = record.ToJUnit();
    EXPECT_TRUE(xml.contains(R"(type="link lost, no press")")) << xml.toStdString();
    EXPECT_TRUE(xml.contains(R"(<property name="outcome" value="fail"/>)")) << xml.toStdString();
}

TEST(CheckVerdictsTest, ThePlanFollowsItsSeedAndOnly)
{
    const std::vector<CCheckItem> items = CheckPlan(11, {QStringLiteral("keys")});
    ASSERT_EQ(items.size(), 19u);
    QStringList keys;
    for (const CCheckItem& item : items) {
        if (item.strGroup == QLatin1String("keys"))
            keys << item.strName;
        else
            EXPECT_EQ(item.strReason, "left out (--only)") << item.strName.toStdString();
    }
    EXPECT_EQ(keys.size(), 12);
    QStringList again;
    for (const CCheckItem& item : CheckPlan(11, {}))
        if (item.strGroup == QLatin1String("keys"))
            again << item.strName;
    EXPECT_EQ(again, keys);
    QStringList other;
    for (const CCheckItem& item : CheckPlan(12, {}))
        if (item.strGroup == QLatin1String("keys"))
            other << item.strName;
    EXPECT_NE(other, keys);
}

} // namespace
