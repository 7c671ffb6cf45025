// The report pages without a display or an application object, as a run without a window
// makes them: what a bad report does to a page, escaping, that nothing is fetched, that the
// same report gives the same bytes, and that the check's PNG marks the right squares.
#include "check_page.h"
#include "geometry.h"
#include "perm_page.h"
#include "report_page.h"
#include "sample_reports.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

using sample_reports::CrossedCheck;
using sample_reports::KeyItem;

QJsonObject LostLinkRun()
{
    return QJsonObject{
        {"format", "kova_en-permanence/1"},
        {"verdict", "fail"},
        {"verdict_reason", "the link was lost once"},
        {"steps", 40},
        {"steps_demo", 17},
        {"reconnects", 1},
        {"reconnect_attempts", 2},
        {"link_losses", 1},
        {"not_sent_link_closed", 17},
        {"duration_s", 14.1},
        {"port", "COM1"},
        {"device", "/dev/pts/3"},
        {"baud", 9600},
        {"variant", 1},
        {"started", "2026-12-09T01:33:18+00:00"},
        {"ended", "2026-12-09T01:33:32+00:00"},
        {"ended_by", "duration"},
        {"events", QJsonArray{QJsonObject{
                       {"t_ms", 3900}, {"direction", "received"}, {"result", 255}, {"telegram", ""}, {"step", 19}}}},
        {"events_dropped", 0},
        {"timeline", QJsonArray{QJsonObject{{"t_ms", 2100}, {"what", "key"}, {"value", 5}},
                                QJsonObject{{"t_ms", 3900}, {"what", "link lost"}},
                                QJsonObject{{"t_ms", 10100}, {"what", "reconnect"}}}},
        {"timeline_dropped", 0},
        {"sent", QJsonObject{{"0", 81}, {"33", 0}, {"34", 2}, {"255", 0}}},
        {"received", QJsonObject{{"0", 48}, {"33", 0}, {"34", 2}, {"255", 1}}},
        {"keys", QJsonObject{{"5", 1}}},
        {"key_releases", 1},
        {"selector1", QJsonObject()},
        {"selector2", QJsonObject()}};
}

// Everything a page refers to: every src, href and url() must stay inside the page, and no
// address of the web may appear at all.
void ExpectSelfContained(const QByteArray& html)
{
    const QString page = QString::fromUtf8(html);
    EXPECT_FALSE(page.contains(QLatin1String("http:"), Qt::CaseInsensitive));
    EXPECT_FALSE(page.contains(QLatin1String("https:"), Qt::CaseInsensitive));
    EXPECT_FALSE(page.contains(QLatin1String("<script"), Qt::CaseInsensitive));
    // No element loads anything by src, whatever text about one the report holds.
    EXPECT_FALSE(page.contains(QRegularExpression(QStringLiteral("<[^>]*\\ssrc\\s*="))));
    static const QRegularExpression refs(QStringLiteral("(href|url\\()\\s*=?\\s*\"?([^\"\\) ]*)"));
    for (auto it = refs.globalMatch(page); it.hasNext();) {
        const QString target = it.next().captured(2);
        EXPECT_TRUE(target.startsWith(QLatin1Char('#')) || target.startsWith(QLatin1String("data:")))
            << qPrintable(target);
    }
    EXPECT_TRUE(page.contains(QLatin1String("default-src 'none'")));
}

} // namespace

TEST(ReportPages, ACheckPageIsSelfContainedSmallAndTheSameEveryTime)
{
    const CReportPage page = CheckPage(CrossedCheck());
    ASSERT_FALSE(page.html.isEmpty()) << qPrintable(page.strWhy);
    EXPECT_TRUE(page.skipped.isEmpty()) << qPrintable(page.skipped.join('\n'));
    ExpectSelfContained(page.html);
    EXPECT_LT(page.html.size(), 300 * 1024);
    EXPECT_EQ(page.html, CheckPage(CrossedCheck()).html);
    const QString html = QString::fromUtf8(page.html);
    for (const char* text :
         {"FAIL", "KV-0815", "A. Tester", "key 4 reported", "reported during key 3", "lamps flashing"})
        EXPECT_TRUE(html.contains(QLatin1String(text))) << text;
}

TEST(ReportPages, ReportTextIsEscaped)
{
    QJsonObject report = CrossedCheck();
    report.insert("serial", "<script>alert(1)</script>");
    report.insert("operator", "\"><img src=x onerror=alert(1)>");
    QJsonArray items = report.value("items").toArray();
    QJsonObject item = items[3].toObject();
    item.insert("reason", "</td><script>x</script>");
    items[3] = item;
    report.insert("items", items);
    const CReportPage page = CheckPage(report);
    ExpectSelfContained(page.html);
    const QString html = QString::fromUtf8(page.html);
    EXPECT_TRUE(html.contains(QLatin1String("&lt;script&gt;alert(1)&lt;/script&gt;")));
    EXPECT_FALSE(html.contains(QLatin1String("<img")));
}

TEST(ReportPages, BadFieldsAreLeftOutAndSaidSo)
{
    // Each row: what is broken, and a word the page's notes must hold.
    const std::vector<std::pair<std::function<void(QJsonObject&)>, QString>> rows = {
        {[](QJsonObject& r) { r.insert("serial", 42); }, "serial: not text"},
        {[](QJsonObject& r) { r.insert("operator", QString(5000000, u'x')); }, "operator: 5000000 characters"},
        {[](QJsonObject& r) { r.remove("started"); }, "started: missing"},
        {[](QJsonObject& r) { r.insert("seed", -1); }, "seed: -1 is outside"},
        {[](QJsonObject& r) {
             QJsonArray items = r.value("items").toArray();
             items.append(QJsonObject{{"name", "key 13"}, {"outcome", "fail"}, {"reason", "no press"}});
             r.insert("items", items);
         },
         "no key 13"},
        {[](QJsonObject& r) {
             QJsonArray items = r.value("items").toArray();
             QJsonObject item = items[1].toObject();
             item.insert("press_ms", -150);
             item.insert("wrong_keys", QJsonArray{0, 99, "x"});
             items[1] = item;
             r.insert("items", items);
         },
         "press_ms: -150 is outside"},
        {[](QJsonObject& r) { r.insert("items", "all of them"); }, "items: not a list"},
        {[](QJsonObject& r) {
             QJsonArray items;
             for (int i = 0; i < 100000; ++i)
                 items.append(QJsonObject{{"name", "lcd"}, {"outcome", "pass"}});
             r.insert("items", items);
         },
         "the page shows the first 100"},
        {[](QJsonObject& r) {
             QJsonArray items = r.value("items").toArray();
             items.append(QJsonObject{{"name", "lcd"}, {"outcome", "maybe"}});
             items.append(7);
             r.insert("items", items);
         },
         "without a name or a known outcome"},
    };
    for (const auto& [spoil, note] : rows) {
        QJsonObject report = CrossedCheck();
        spoil(report);
        const CReportPage page = CheckPage(report);
        ASSERT_FALSE(page.html.isEmpty()) << qPrintable(note);
        EXPECT_TRUE(page.skipped.join('\n').contains(note)) << qPrintable(note + " / " + page.skipped.join('\n'));
        EXPECT_TRUE(QString::fromUtf8(page.html).contains(QLatin1String("What this page leaves out")));
        EXPECT_TRUE(page.html.endsWith("</html>\n"));
        EXPECT_LT(page.html.size(), 300 * 1024) << qPrintable(note);
    }
}

TEST(ReportPages, WhatIsNoReportIsRefusedWithItsReason)
{
    for (const auto& [json, why] : std::vector<std::pair<QByteArray, const char*>>{
             {"{\"format\": \"kova_en-check/1\", ", "not JSON"},
             {"[1, 2]", "not an object"},
             {"{\"format\": \"kova_en-check/9\"}", "not a report of a known format: \"kova_en-check/9\""},
             {"{\"verdict\": \"pass\"}", "no \"format\""},
             {"", "not JSON"}}) {
        const CReportPage page = ReportPage(json);
        EXPECT_TRUE(page.html.isEmpty());
        EXPECT_TRUE(page.strWhy.contains(QLatin1String(why))) << qPrintable(page.strWhy);
    }
}

TEST(ReportPages, APermanencePageDrawsTheLossAndTheReconnectOnItsTimeline)
{
    const CReportPage page = PermPage(LostLinkRun());
    ASSERT_FALSE(page.html.isEmpty());
    EXPECT_TRUE(page.skipped.isEmpty()) << qPrintable(page.skipped.join('\n'));
    ExpectSelfContained(page.html);
    const QString html = QString::fromUtf8(page.html);
    EXPECT_TRUE(html.contains(QLatin1String("link lost at 3.9 s")));
    EXPECT_TRUE(html.contains(QLatin1String("reconnected at 10.1 s")));
    EXPECT_TRUE(html.contains(QLatin1String("class=\"down\""))); // the time the link was down, shaded
    EXPECT_EQ(page.html, PermPage(LostLinkRun()).html);
}

TEST(ReportPages, AHugeOrAbsurdPermanenceReportIsCutShortAndSaidSo)
{
    QJsonObject report = LostLinkRun();
    QJsonArray events;
    for (int i = 0; i < 100000; ++i)
        events.append(QJsonObject{{"t_ms", i}, {"direction", "sent"}, {"result", 34}, {"telegram", "38"}, {"step", i}});
    report.insert("events", events);
    report.insert("events_dropped", 5);
    report.insert("duration_s", -3);
    const CReportPage page = PermPage(report);
    ASSERT_FALSE(page.html.isEmpty());
    const QString notes = page.skipped.join('\n');
    EXPECT_TRUE(notes.contains(QLatin1String("events 1001 to 100000"))) << qPrintable(notes);
    EXPECT_TRUE(notes.contains(QLatin1String("duration_s: -3 is outside"))) << qPrintable(notes);
    EXPECT_TRUE(QString::fromUtf8(page.html).contains(QLatin1String("from here on only counted")));
    EXPECT_LT(page.html.size(), 300 * 1024);
}

TEST(ReportPages, TheCheckPictureMarksAFailedKeysSquareAndLeavesAPassedOnesAlone)
{
    const QImage marked = QImage::fromData(CheckPicturePng(CrossedCheck()), "PNG");
    ASSERT_FALSE(marked.isNull());
    QImage plain(QStringLiteral(":/kova_pages/panel.png"));
    ASSERT_FALSE(plain.isNull());
    EXPECT_EQ(marked.size(), QSize(kPictureLeft + kPictureWidth, kPictureHeight));
    for (int k = 1; k <= kKeyCount; ++k) {
        const CRect& r = g_rcKeys[static_cast<size_t>(k - 1)];
        const int x = (r.left + r.right) / 2;
        const int y = (r.top + r.bottom) / 2;
        const QColor got = marked.pixelColor(x, y);
        const QColor was = plain.pixelColor(x - kPictureLeft, y);
        if (k == 3 || k == 4)
            EXPECT_GT(got.red() - got.green(), 80) << "key " << k;
        else
            EXPECT_EQ(got.rgb(), was.rgb()) << "key " << k;
    }
}
