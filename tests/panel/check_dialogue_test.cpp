// The whole panel check in this process: the dialogue on the virtual panel's engine and its
// careful operator, on the scripted device and the fake clock, so each fault of the operator's
// panel is a row that takes milliseconds. Each must fail exactly its own items, with its reason,
// and leave "FAILED" and the first failed item on the LCD.
#include "check_dialogue.h"
#include "engine_panel.h"
#include "operator.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct CFaultRow {
    const char* fault;                                     // empty: a sound panel
    std::map<QString, std::pair<QString, QString>> failed; // name: outcome, part of the reason
};

void PrintTo(const CFaultRow& row, std::ostream* pOut)
{
    *pOut << (row.fault[0] != '\0' ? row.fault : "sound panel");
}

// The virtual panel's engine and its operator on the scripted device and the fake clock, and a
// whole check run on them; atMs, when set, is called as the clock passes each millisecond.
struct CInProcessCheck {
    CFakeClock clock;
    CFakeSerialDevice device{clock};
    CEnginePanel panel{device, clock};
    CPanelDriver driver{&device, &clock};
    kova_sim::Operator hand;
    std::function<void(int64_t)> atMs;
    QTemporaryDir dir;

    // One millisecond: the panel and the operator do what is due.
    void Tick()
    {
        clock.Advance(1);
        panel.Engine().tick(clock.Peek());
        hand.step(panel.Engine(), clock.Peek());
        if (atMs)
            atMs(clock.Peek());
    }
    // The check and the report it left.
    int Run(const char* fault, QJsonObject* pReport, const QStringList& only = {})
    {
        hand.setOn(true);
        std::istringstream words(fault);
        std::vector<std::string> parts;
        for (std::string w; words >> w;)
            parts.push_back(w);
        if (!parts.empty()) {
            const std::vector<std::string_view> views(parts.begin(), parts.end());
            EXPECT_EQ(hand.addFault(views), "");
        }
        // The operator is at the panel before the check starts (a stuck key is down by then).
        for (int i = 0; i < 500; ++i)
            Tick();
        // Time moves only while the check idles, until the panel has something on the line.
        const auto idle = [this](int nMs) {
            const int64_t nUntil = clock.Peek() + nMs;
            do
                Tick();
            while (clock.Peek() < nUntil && device.InputQueued() == 0);
        };
        CCommandLine cmd;
        cmd.action = CCommandLine::Action::Check;
        cmd.nTimeoutS = 4;
        cmd.seed = 11;
        cmd.checkGroups = only;
        cmd.strReportPath = dir.filePath(QStringLiteral("report.json"));
        const CCheckRig rig{driver, [](int) { return std::string("/dev/fake"); }, idle, false, QStringLiteral("rig")};
        std::FILE* pTemp = std::tmpfile();
        std::FILE* pOut = pTemp != nullptr ? pTemp : stderr;
        const int nStatus = RunCheckDialogue(cmd, rig, pOut, pOut);
        if (pTemp != nullptr)
            std::fclose(pTemp);
        QFile file(cmd.strReportPath);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        *pReport = QJsonDocument::fromJson(file.readAll()).object();
        return nStatus;
    }
};

class CheckDialogueTest : public ::testing::TestWithParam<CFaultRow> {};

TEST_P(CheckDialogueTest, FailsExactlyItsItemsWithItsReason)
{
    const CFaultRow& row = GetParam();
    CInProcessCheck check;
    QJsonObject report;
    const int nStatus = check.Run(row.fault, &report);
    const CEnginePanel& panel = check.panel;
    EXPECT_EQ(nStatus, row.failed.empty() ? 0 : 1);
    EXPECT_EQ(report["outcome"].toString(), row.failed.empty() ? "pass" : "fail");
    const QJsonArray items = report["items"].toArray();
    ASSERT_EQ(items.size(), 19);
    QString firstFailed;
    for (const QJsonValue& v : items) {
        const QString name = v["name"].toString();
        const auto expected = row.failed.find(name);
        if (expected == row.failed.end()) {
            EXPECT_EQ(v["outcome"].toString(), "pass")
                << name.toStdString() << ": " << v["reason"].toString().toStdString();
            continue;
        }
        if (firstFailed.isEmpty())
            firstFailed = name;
        EXPECT_EQ(v["outcome"].toString(), expected->second.first) << name.toStdString();
        EXPECT_TRUE(v["reason"].toString().contains(expected->second.second))
            << name.toStdString() << ": " << v["reason"].toString().toStdString();
    }
    // The last prompt stands on the panel's LCD.
    const std::vector<std::string>& telegrams = panel.Telegrams();
    const auto row3 = std::find_if(telegrams.rbegin(), telegrams.rend(), [](const std::string& t) {
        return t.rfind("6C 26", 0) == 0
               && (t.find("B0 A1 B3 B3 A5 A4") != std::string::npos
                   || t.find("A6 A1 A9 AC A5 A4") != std::string::npos);
    });
    ASSERT_NE(row3, telegrams.rend());
    EXPECT_NE(row3->find(row.failed.empty() ? "B0 A1 B3 B3 A5 A4" : "A6 A1 A9 AC A5 A4"), std::string::npos);
    EXPECT_EQ(firstFailed.isEmpty(), row.failed.empty());
}

// The panel unplugged for a moment during the keys: the item in progress fails as "link lost",
// the check reconnects after its pause and every other item passes.
TEST(CheckDialogueLinkTest, ALinkLostForAMomentFailsOneItemAndTheCheckGoesOn)
{
    CInProcessCheck check;
    check.atMs = [&check](int64_t nMs) {
        if (nMs == 3000 || nMs == 4000) {
            check.device.HangUpAt(nMs == 3000 ? nMs : -1);
            check.panel.Engine().setLineUp(nMs == 4000, nMs);
        }
    };
    QJsonObject report;
    EXPECT_EQ(check.Run("", &report), 1);
    QStringList lost;
    for (const QJsonValue& v : report["items"].toArray()) {
        if (v["reason"].toString() == QLatin1String("link lost"))
            lost << v["name"].toString();
        else
            EXPECT_EQ(v["outcome"].toString(), "pass") << v["name"].toString().toStdString();
    }
    EXPECT_EQ(lost.size(), 1) << lost.join(u',').toStdString();
    EXPECT_EQ(check.device.OpenCount(), 2);
}

// --only runs its groups alone, in the order the seed gives; the rest is "not run".
TEST(CheckDialogueOnlyTest, OnlyTheGroupsAskedForRunInTheSeedsOrder)
{
    CInProcessCheck all;
    CInProcessCheck keys;
    QJsonObject whole;
    QJsonObject some;
    EXPECT_EQ(all.Run("", &whole), 0);
    EXPECT_EQ(keys.Run("", &some, {QStringLiteral("keys")}), 0);
    const QJsonArray a = whole["items"].toArray();
    const QJsonArray b = some["items"].toArray();
    ASSERT_EQ(a.size(), b.size());
    for (qsizetype i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i]["name"], b[i]["name"]);
        const bool bKey = b[i]["name"].toString().startsWith(QStringLiteral("key "));
        EXPECT_EQ(b[i]["outcome"].toString(), bKey ? "pass" : "not run") << b[i]["name"].toString().toStdString();
    }
}

std::pair<QString, QString> Fail(const char* why)
{
    return {QStringLiteral("fail"), QString::fromLatin1(why)};
}

std::pair<QString, QString> NotChecked()
{
    return {QStringLiteral("not checked"), QStringLiteral("key 1 failed")};
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CheckDialogueTest,
    ::testing::Values(CFaultRow{"", {}},
                      CFaultRow{"stuck-key 5", {{"at rest", Fail("key 5 pressed")}, {"key 5", Fail("not released")}}},
                      CFaultRow{"crossed-keys 3 4",
                                {{"key 3", Fail("key 4 reported")}, {"key 4", Fail("key 3 reported")}}},
                      CFaultRow{"bouncing-key 6", {{"key 6", Fail("bouncing: 2 presses")}}},
                      CFaultRow{"dead-key 9", {{"key 9", Fail("no press")}}},
                      // Key 1 answers yes: broken, and no terminal to answer on, nobody can tell.
                      CFaultRow{"dead-key 1",
                                {{"key 1", Fail("no press")},
                                 {"lamps on", NotChecked()},
                                 {"lamps flashing", NotChecked()},
                                 {"lamps off", NotChecked()},
                                 {"lcd", NotChecked()}}},
                      CFaultRow{"selector-gap 2 7", {{"selector 2", Fail("position 7 never reported")}}},
                      CFaultRow{"answer-no 2", {{"lamps flashing", Fail("answered no")}}}),
    [](const ::testing::TestParamInfo<CFaultRow>& info) {
        std::string name = info.param.fault[0] != '\0' ? info.param.fault : "sound_panel";
        std::replace_if(
            name.begin(), name.end(), [](char ch) { return ch == ' ' || ch == '-'; }, '_');
        return name;
    });

} // namespace
