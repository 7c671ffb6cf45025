// The report pages: how long a page takes to draw and how large it is, in-process and without
// an application object, as a run makes them at its end.
//
//   - a check's page (19 items, keys 3 and 4 crossed) and its PNG for the JUnit file;
//   - a permanence test's page at the report's limits: 1,000 failed exchanges and 1,000
//     moments on the timeline, over eight hours;
//   - each from the saved report's bytes, as --render does (parse and draw).
// The first draw of a process is given apart (it decodes the picture once).
#include "check_page.h"
#include "perm_page.h"
#include "report_page.h"
#include "sample_reports.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

QJsonObject LongRun()
{
    QJsonArray events;
    QJsonArray timeline;
    for (int i = 0; i < 1000; ++i) {
        events.append(QJsonObject{{"t_ms", i * 28800},
                                  {"direction", i % 2 ? "sent" : "received"},
                                  {"result", i % 7 == 0 ? 255 : 34},
                                  {"telegram", "6C 27 30 37 41 43 87"},
                                  {"step", i * 144}});
        static const char* const kWhats[] = {"key", "selector 1", "selector 2", "link lost", "reconnect"};
        QJsonObject moment{{"t_ms", i * 28800 + 100}, {"what", kWhats[i % 5]}};
        if (i % 5 < 3)
            moment.insert("value", 1 + i % 12);
        timeline.append(moment);
    }
    QJsonObject counts{{"0", 144000}, {"33", 0}, {"34", 900}, {"255", 143}};
    return QJsonObject{{"format", "kova_en-permanence/1"},
                       {"verdict", "fail"},
                       {"verdict_reason", "1043 exchanges did not end 0; the link was lost 200 times"},
                       {"steps", 144000},
                       {"steps_demo", 300},
                       {"reconnects", 200},
                       {"reconnect_attempts", 260},
                       {"link_losses", 200},
                       {"not_sent_link_closed", 900},
                       {"duration_s", 28800.0},
                       {"port", "COM1"},
                       {"device", "/dev/ttyUSB0"},
                       {"baud", 9600},
                       {"variant", 1},
                       {"started", "2026-12-09T01:33:18+00:00"},
                       {"ended", "2026-12-09T09:33:18+00:00"},
                       {"ended_by", "duration"},
                       {"events", events},
                       {"events_dropped", 43},
                       {"timeline", timeline},
                       {"timeline_dropped", 0},
                       {"sent", counts},
                       {"received", counts},
                       {"keys", QJsonObject()},
                       {"key_releases", 0},
                       {"selector1", QJsonObject()},
                       {"selector2", QJsonObject()}};
}

void Measure(const char* what, int n, const std::function<qsizetype()>& draw)
{
    QElapsedTimer first;
    first.start();
    const qsizetype size = draw();
    const double firstMs = static_cast<double>(first.nsecsElapsed()) / 1e6;
    std::vector<double> ms;
    for (int i = 0; i < n; ++i) {
        QElapsedTimer t;
        t.start();
        draw();
        ms.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("| %s | %lld | %.2f | %.2f | %.2f | %.2f |\n", what, static_cast<long long>(size), firstMs,
                ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back());
}

} // namespace

int main()
{
    constexpr int kRuns = 100;
    const QJsonObject check = sample_reports::CrossedCheck();
    const QJsonObject run = LongRun();
    const QByteArray checkJson = QJsonDocument(check).toJson();
    const QByteArray runJson = QJsonDocument(run).toJson();
    std::printf("N = %d draws each after the first\n\n", kRuns);
    std::printf("| page | bytes | first ms | median ms | p99 ms | max ms |\n|---|---|---|---|---|---|\n");
    Measure("check page", kRuns, [&] { return CheckPage(check).html.size(); });
    Measure("check picture (PNG)", kRuns, [&] { return CheckPicturePng(check).size(); });
    Measure("check page from the report's bytes", kRuns, [&] { return ReportPage(checkJson).html.size(); });
    Measure("permanence page, 8 h, 1,000 events and moments", kRuns, [&] { return PermPage(run).html.size(); });
    Measure("the same from the report's bytes", kRuns, [&] { return ReportPage(runJson).html.size(); });
    return 0;
}
