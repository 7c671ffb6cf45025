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

class CheckDialogueTest : public ::testing::TestWithParam<CFaultRow> {};

TEST_P(CheckDialogueTest, FailsExactlyItsItemsWithItsReason)
{
    const CFaultRow& row = GetParam();
    CFakeClock clock;
    CFakeSerialDevice device{clock};
    CEnginePanel panel{device, clock};
    CPanelDriver driver{&device, &clock};
    kova_sim::Operator hand;
    hand.setOn(true);
    if (row.fault[0] != '\0') {
        std::istringstream words(row.fault);
        std::vector<std::string> parts;
        for (std::string w; words >> w;)
            parts.push_back(w);
        const std::vector<std::string_view> views(parts.begin(), parts.end());
        ASSERT_EQ(hand.addFault(views), "");
    }
    // Time moves only while the check idles: a millisecond at a time, the panel and the operator
    // doing what is due, until the panel has something on the line.
    const auto idle = [&](int nMs) {
        const int64_t nUntil = clock.Peek() + nMs;
        while (clock.Peek() < nUntil && device.InputQueued() == 0) {
            clock.Advance(1);
            panel.Engine().tick(clock.Peek());
            hand.step(panel.Engine(), clock.Peek());
        }
    };
    // The operator is at the panel before the check starts (a stuck key is down by then).
    for (int i = 0; i < 500; ++i) {
        clock.Advance(1);
        panel.Engine().tick(clock.Peek());
        hand.step(panel.Engine(), clock.Peek());
    }
    QTemporaryDir dir;
    CCommandLine cmd;
    cmd.action = CCommandLine::Action::Check;
    cmd.nTimeoutS = 4;
    cmd.seed = 11;
    cmd.strReportPath = dir.filePath(QStringLiteral("report.json"));
    const CCheckRig rig{driver, [](int) { return std::string("/dev/fake"); }, idle, false, QStringLiteral("rig")};
    std::FILE* pOut = std::tmpfile();
    ASSERT_NE(pOut, nullptr);
    const int nStatus = RunCheckDialogue(cmd, rig, pOut, pOut);
    std::fclose(pOut);

    QFile file(cmd.strReportPath);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonObject report = QJsonDocument::fromJson(file.readAll()).object();
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
