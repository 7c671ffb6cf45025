// The record of a permanence-test run: the verdict, the cap on events, the report's keys and
// where it goes.
#include "panel_fixture.h"
#include "perm_report.h"
#include "scoped_env.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

CPermRecord Record(const CLinkCounts& atStart = {})
{
    CPermRecord::Where where{2, QStringLiteral("/dev/ttyUSB1"), 19200, 1};
    // An hour east of UTC: the file name is in UTC, the times in the report carry the offset.
    return CPermRecord(where, QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::OffsetFromUTC, 3600), 1000, atStart);
}

TEST(PermRecordTest, VerdictFromTheRunsOwnFigures)
{
    CLinkCounts before;
    before.sent[2] = 7; // refusals before the run do not count against it
    before.nLinkLosses = 1;
    struct Case {
        int nSteps;
        int nSentResult; // result of one more exchange in the run, -1 none
        bool bLost;
        bool bPass;
    };
    for (const Case& c : {Case{3, 0, false, true}, Case{3, -1, false, true}, Case{0, -1, false, false},
                          Case{3, 34, false, false}, Case{3, 255, false, false}, Case{3, 0, true, false}}) {
        CPermRecord record = Record(before);
        for (int i = 0; i < c.nSteps; ++i)
            record.OnStep(true);
        CLinkCounts after = before;
        if (c.nSentResult >= 0)
            ++after.sent[static_cast<size_t>(CLinkCounts::ResultIndex(c.nSentResult))];
        after.nLinkLosses += c.bLost;
        record.End(QDateTime::currentDateTime(), 3500, after, QStringLiteral("stop"));
        const QJsonObject report = record.ToJson();
        EXPECT_EQ(report["verdict"].toString(), c.bPass ? "pass" : "fail")
            << c.nSteps << " " << c.nSentResult << " " << c.bLost;
        EXPECT_EQ(report["sent"]["34"].toInteger(), c.nSentResult == 34 ? 1 : 0);
        EXPECT_EQ(report["link_losses"].toInt(), c.bLost ? 1 : 0);
        EXPECT_EQ(report["format"].toString(), "kova_en-permanence/1");
        if (c.nSentResult == 34) {
            EXPECT_EQ(report["verdict_reason"].toString(), "1 exchange did not end 0");
        }
    }
}

TEST(PermRecordTest, EventsStopAtTheCapAndTheRestAreCounted)
{
    CPermRecord record = Record();
    const uint8_t cell[] = {0x6C, 0x27, 0x30, 0x31, 0x41, 0x43, 0x81};
    record.OnStep(true);
    for (int i = 0; i < kMaxPermEvents + 5; ++i)
        record.OnFailedExchange(1250 + i, i % 2 == 0, cell, sizeof cell, 34);
    record.OnReport('3');
    record.OnReport('C');
    record.OnReport('\\');
    record.End(QDateTime(QDate(2026, 1, 2), QTime(3, 5, 5)), 61000, {}, QStringLiteral("duration"));

    const QJsonObject report = record.ToJson();
    const QJsonArray events = report["events"].toArray();
    ASSERT_EQ(events.size(), kMaxPermEvents);
    EXPECT_EQ(report["events_dropped"].toInt(), 5);
    EXPECT_EQ(
        events[0].toObject(),
        (QJsonObject{
            {"t_ms", 250}, {"direction", "sent"}, {"result", 34}, {"telegram", "6C 27 30 31 41 43 81"}, {"step", 1}}));
    EXPECT_EQ(events[1]["direction"].toString(), "received");
    EXPECT_EQ(report["keys"]["3"].toInt(), 1);
    EXPECT_EQ(report["selector1"]["3"].toInt(), 1);
    EXPECT_EQ(report["selector2"]["12"].toInt(), 1);
    EXPECT_EQ(report["port"].toString(), "COM2");
    EXPECT_EQ(report["baud"].toInt(), 19200);
    EXPECT_EQ(report["duration_s"].toDouble(), 60.0);
    EXPECT_EQ(report["started"].toString(), "2026-01-02T03:04:05+01:00");
    EXPECT_TRUE(QRegularExpression(QStringLiteral("[+-]\\d\\d:\\d\\d$")).match(report["ended"].toString()).hasMatch());

    // A thousand events of a long run stay a small file.
    QTemporaryDir dir;
    const CScopedEnv state("XDG_STATE_HOME", dir.path().toLocal8Bit().constData());
    EXPECT_EQ(ReportFolder(), dir.path() + QStringLiteral("/kova_en"));
    const QString path = ReportFolder() + QLatin1Char('/') + record.ReportFileName();
    EXPECT_TRUE(path.endsWith(QStringLiteral("/permanence-20260102T020405Z-COM2.json")));
    QString error;
    ASSERT_EQ(WritePermReport(record, path, true, &error), path) << error.toStdString();
    EXPECT_LT(QFileInfo(path).size(), 200 * 1024);
    // A second run of the same second and port takes the next name, never the first one's.
    EXPECT_EQ(WritePermReport(record, path, true, &error), path.chopped(5) + QStringLiteral("-2.json"));
}

// A run timed by the model on the link's clock, started just below 2^31 ms: its length comes
// out right across that reading and for runs longer than 2^31 ms (24.8 days).
class PermRunClockTest : public PanelTest {};

TEST_F(PermRunClockTest, DurationAndFiguresPastTwoToTheThirtyFirstMilliseconds)
{
    struct Case {
        int64_t nRunMs;
        double durationS;
        const char* figures;
    };
    const int64_t kDayMs = 86400000;
    for (const Case& c :
         {Case{3000, 3.0, "0 steps in 00:00:03\n"}, Case{25 * kDayMs + 3723500, 2163723.5, "0 steps in 601:02:03\n"}}) {
        SCOPED_TRACE(c.figures);
        m_clock.Set((int64_t{1} << 31) - 1000);
        m_model.OnPermTestStart();
        m_clock.Advance(c.nRunMs);
        EXPECT_TRUE(m_model.PermRunFigures().startsWith(QStringLiteral("Permanence test: ") + c.figures))
            << m_model.PermRunFigures().toStdString();
        m_model.OnPermTestStop();
        ASSERT_NE(m_model.LastPermRun(), nullptr);
        EXPECT_EQ(m_model.LastPermRun()->ToJson()["duration_s"].toDouble(), c.durationS);
    }
}

} // namespace

TEST(PermRecordTest, TheTimelineHoldsLossesReconnectsKeysAndSelectorChanges)
{
    CPermRecord record = Record();
    const uint8_t cell[] = {0x6C, 0x27, 0x30, 0x31, 0x41, 0x43, 0x81};
    record.OnStep(true, 1200);
    record.OnReport('5', 1300);
    record.OnReport('0', 1400); // a release: counted, not drawn
    record.OnReport('0', 1450); // the same status again: not a second release
    record.OnReport('D', 1500);
    record.OnReport('D', 1700); // the same position again: no change
    record.OnFailedExchange(1900, false, cell, 0, 255);
    record.OnStep(false, 2100); // lost at the exchange that timed out, not at the step
    record.OnReconnect(false, 5000);
    record.OnReconnect(true, 8000);
    record.OnStep(true, 8200);
    record.End(QDateTime(QDate(2026, 1, 2), QTime(3, 5, 5)), 9000, {}, QStringLiteral("duration"));

    const QJsonArray timeline = record.ToJson()["timeline"].toArray();
    const QJsonArray expected{QJsonObject{{"t_ms", 300}, {"what", "key"}, {"value", 5}},
                              QJsonObject{{"t_ms", 500}, {"what", "selector 1"}, {"value", 4}},
                              QJsonObject{{"t_ms", 900}, {"what", "link lost"}},
                              QJsonObject{{"t_ms", 7000}, {"what", "reconnect"}}};
    EXPECT_EQ(timeline, expected);
    EXPECT_EQ(record.ToJson()["timeline_dropped"].toInt(), 0);
    EXPECT_EQ(record.ToJson()["key_releases"].toInt(), 1);
}
