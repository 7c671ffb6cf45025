#include "perm_page.h"

#include "page_html.h"
#include "report_fields.h"

#include <QJsonArray>

#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

namespace {

constexpr int kTimelineWidth = 718;
constexpr int kAxisLeft = 92;
constexpr int kAxisRight = 706;
constexpr int kEventRows = 12; // failed exchanges listed in the table; all of them drawn

struct CMoment {
    double tS;
    QString strWhat;
    int nValue = 0;
};

struct CFailed {
    double tS;
    QString strDirection;
    int nResult;
    QString strTelegram;
    int64_t nStep;
};

// "0:12:05" for a run of an hour or more, "12:05" for one of a minute, "5 s" below.
QString TimeText(double tS, double spanS)
{
    const auto s = static_cast<int64_t>(std::llround(tS));
    if (spanS >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(s / 3600)
            .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(s % 60, 2, 10, QLatin1Char('0'));
    if (spanS >= 60)
        return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
    return PageNumber(tS, 1) + QStringLiteral(" s");
}

// A tick step of 1, 2 or 5 times a power of ten, or a clock's step (15 s, 30 s, 1 min, ...),
// giving at most ten ticks over the span.
double TickStep(double spanS)
{
    static const double kSteps[] = {0.1,   0.2,   0.5,   1,      2,      5,      10,      15,      30,
                                    60,    120,   300,   600,    900,    1800,   3600,    7200,    10800,
                                    21600, 43200, 86400, 172800, 432000, 864000, 2592000, 8640000, 31622400};
    for (const double step : kSteps)
        if (spanS / step <= 10)
            return step;
    return 31622400;
}

QString Count(const QJsonObject& byResult, const char* key)
{
    const QJsonValue v = byResult.value(QLatin1String(key));
    return v.isDouble() && v.toDouble() >= 0 && v.toDouble() == std::floor(v.toDouble())
               ? QString::number(static_cast<qint64>(v.toDouble()))
               : QStringLiteral("?");
}

QString Timeline(double spanS, const std::vector<CMoment>& moments, const std::vector<CFailed>& failed,
                 double droppedFromS, bool bHasTimeline)
{
    const auto x = [spanS](double t) { return kAxisLeft + (kAxisRight - kAxisLeft) * std::clamp(t / spanS, 0.0, 1.0); };
    const int lanes[] = {26, 56, 86, 114}; // link, exchanges, keys, selectors
    QString svg = QStringLiteral("<svg class=\"timeline\" width=\"%1\" height=\"150\" viewBox=\"0 0 %1 150\" "
                                 "role=\"img\" aria-label=\"The run on a time axis\"><style>"
                                 "text{font:10px sans-serif;fill:#222}.lane{stroke:#ddd}.axis{stroke:#333}"
                                 ".down{fill:#c62828;fill-opacity:0.18}.drop{fill:url(#hatch)}</style>"
                                 "<defs><pattern id=\"hatch\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
                                 "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#fff\"/>"
                                 "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#9a5b00\" stroke-width=\"2\"/>"
                                 "</pattern></defs>")
                      .arg(kTimelineWidth);
    const char* const names[] = {"link", "failed exchanges", "key presses", "selectors"};
    for (int i = 0; i < 4; ++i)
        svg += QStringLiteral("<text x=\"0\" y=\"%1\">%2</text><line class=\"lane\" x1=\"%3\" x2=\"%4\" y1=\"%1\" "
                              "y2=\"%1\"/>")
                   .arg(lanes[i] + 3)
                   .arg(QLatin1String(names[i]))
                   .arg(kAxisLeft)
                   .arg(kAxisRight);

    // The link: down from each loss to the next reconnect (or to the end), shaded; a loss is a
    // downward triangle, a reconnect an upward one.
    double downFrom = -1;
    // The time of a loss or reconnect above the lane, where there is room for it.
    double labelEnd = -1;
    const auto Label = [&](double lx, const QString& text, const QString& cls) {
        const double left = std::clamp(lx - 20, static_cast<double>(kAxisLeft), kAxisRight - 60.0);
        if (left < labelEnd)
            return;
        labelEnd = left + 6.0 * text.size();
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" class=\"%3\" style=\"fill:currentColor\">%4</text>")
                   .arg(PageNumber(left, 1))
                   .arg(lanes[0] - 10)
                   .arg(cls, text);
    };
    const auto shade = [&](double from, double to) {
        svg += QStringLiteral("<rect class=\"down\" x=\"%1\" y=\"%2\" width=\"%3\" height=\"16\"/>")
                   .arg(PageNumber(x(from), 1))
                   .arg(lanes[0] - 8)
                   .arg(PageNumber(std::max(1.0, x(to) - x(from)), 1));
    };
    for (const CMoment& m : moments) {
        const double mx = x(m.tS);
        if (m.strWhat == QLatin1String("link lost")) {
            if (downFrom < 0)
                downFrom = m.tS;
            svg += QStringLiteral("<path class=\"fail\" d=\"M%1 %2 l-6 -9 h12 z\" fill=\"currentColor\"><title>"
                                  "link lost at %3</title></path>")
                       .arg(PageNumber(mx, 1))
                       .arg(lanes[0] + 2)
                       .arg(TimeText(m.tS, spanS));
            Label(mx, QStringLiteral("lost ") + TimeText(m.tS, spanS), QStringLiteral("fail"));
        } else if (m.strWhat == QLatin1String("reconnect")) {
            if (downFrom >= 0)
                shade(downFrom, m.tS);
            downFrom = -1;
            svg += QStringLiteral("<path class=\"pass\" d=\"M%1 %2 l-6 9 h12 z\" fill=\"currentColor\"><title>"
                                  "reconnected at %3</title></path>")
                       .arg(PageNumber(mx, 1))
                       .arg(lanes[0] - 2)
                       .arg(TimeText(m.tS, spanS));
            Label(mx, QStringLiteral("back ") + TimeText(m.tS, spanS), QStringLiteral("pass"));
        }
    }
    if (downFrom >= 0)
        shade(downFrom, spanS);

    // Failed exchanges: one tick a pixel column and result at most, so a long list stays small.
    std::set<std::pair<int, int>> drawn;
    for (const CFailed& f : failed) {
        const int px = static_cast<int>(x(f.tS));
        const int row = f.nResult == 255 ? 0 : f.nResult == 34 ? 1 : 2;
        if (!drawn.insert({px, row}).second)
            continue;
        svg += QStringLiteral("<line class=\"%1\" x1=\"%2\" x2=\"%2\" y1=\"%3\" y2=\"%4\" stroke=\"currentColor\" "
                              "stroke-width=\"1.5\"/>")
                   .arg(f.nResult == 255 ? QStringLiteral("fail") : QStringLiteral("notchecked"))
                   .arg(px)
                   .arg(lanes[1] - 9 + row * 6)
                   .arg(lanes[1] - 4 + row * 6);
    }
    if (droppedFromS >= 0)
        svg += QStringLiteral("<rect class=\"drop\" x=\"%1\" y=\"%2\" width=\"%3\" height=\"18\"/>"
                              "<text x=\"%4\" y=\"%5\" class=\"notchecked\" style=\"fill:#9a5b00\">from here on only "
                              "counted</text>")
                   .arg(PageNumber(x(droppedFromS), 1))
                   .arg(lanes[1] - 9)
                   .arg(PageNumber(std::max(2.0, kAxisRight - x(droppedFromS)), 1))
                   .arg(PageNumber(std::min(x(droppedFromS), kAxisRight - 110.0), 1))
                   .arg(lanes[1] + 19);

    // Keys and selectors: a tick a moment; the key or position above when there is room.
    std::set<std::pair<int, int>> marked;
    double lastLabelX[2] = {-100, -100};
    for (const CMoment& m : moments) {
        const int lane = m.strWhat == QLatin1String("key")                 ? 2
                         : m.strWhat.startsWith(QLatin1String("selector")) ? 3
                                                                           : -1;
        if (lane < 0)
            continue;
        const int px = static_cast<int>(x(m.tS));
        if (!marked.insert({px, lane}).second)
            continue;
        svg += QStringLiteral("<line x1=\"%1\" x2=\"%1\" y1=\"%2\" y2=\"%3\" stroke=\"#1f4e9a\" stroke-width=\"1.5\"/>")
                   .arg(px)
                   .arg(lanes[lane] - 6)
                   .arg(lanes[lane] + 6);
        double& last = lastLabelX[lane - 2];
        if (px - last >= 22) {
            last = px;
            const QString label =
                lane == 2 ? QString::number(m.nValue) : QStringLiteral("%1:%2").arg(m.strWhat.right(1)).arg(m.nValue);
            svg += QStringLiteral("<text x=\"%1\" y=\"%2\" style=\"font-size:8px\">%3</text>")
                       .arg(px + 2)
                       .arg(lanes[lane] - 3)
                       .arg(label);
        }
    }
    if (!bHasTimeline)
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" style=\"fill:#666\">this report has no timeline of losses, "
                              "reconnects, keys and selectors (written by an earlier version)</text>")
                   .arg(kAxisLeft + 4)
                   .arg(lanes[2] + 18);

    // The axis.
    svg += QStringLiteral("<line class=\"axis\" x1=\"%1\" x2=\"%2\" y1=\"128\" y2=\"128\"/>")
               .arg(kAxisLeft)
               .arg(kAxisRight);
    const double step = TickStep(spanS);
    for (int i = 0; i * step <= spanS + 1e-9 && i <= 12; ++i) {
        const double t = i * step;
        svg +=
            QStringLiteral("<line class=\"axis\" x1=\"%1\" x2=\"%1\" y1=\"125\" y2=\"132\"/><text x=\"%1\" y=\"144\" "
                           "text-anchor=\"middle\">%2</text>")
                .arg(PageNumber(x(t), 1), TimeText(t, spanS));
    }
    return svg + QStringLiteral("</svg>");
}

} // namespace

CReportPage PermPage(const QJsonObject& report)
{
    CReportPage page;
    const QJsonValue format = report.value(QStringLiteral("format"));
    if (format.toString() != QLatin1String(kPermPageFormat)) {
        page.strWhy =
            QStringLiteral("not a permanence test's report (format %1, expected %2)")
                .arg(format.isString() ? QStringLiteral("'%1'").arg(format.toString()) : QStringLiteral("missing"),
                     QLatin1String(kPermPageFormat));
        return page;
    }
    QStringList& skipped = page.skipped;
    const CReportFields fields(report, &skipped);
    constexpr int64_t kBig = int64_t{1} << 50;
    constexpr double kYearS = 366.0 * 24 * 3600;
    const QString verdictWord = fields.Text("verdict");
    EPageMark verdict = MarkOfWord(verdictWord);
    if (verdict != EPageMark::Pass && verdict != EPageMark::Fail) {
        if (!verdictWord.isEmpty())
            fields.Skip("verdict", QStringLiteral("'%1' is no verdict of a run").arg(verdictWord));
        verdict = EPageMark::None;
    }
    const QString reason = fields.Text("verdict_reason");
    const auto steps = fields.Whole("steps", 0, kBig);
    const auto stepsDemo = fields.Whole("steps_demo", 0, kBig, true);
    const auto reconnects = fields.Whole("reconnects", 0, kBig);
    const auto attempts = fields.Whole("reconnect_attempts", 0, kBig, true);
    const auto losses = fields.Whole("link_losses", 0, kBig);
    const auto notSent = fields.Whole("not_sent_link_closed", 0, kBig, true);
    const auto duration = fields.Real("duration_s", 0, kYearS);
    const auto eventsDropped = fields.Whole("events_dropped", 0, kBig, true);
    const QString port = fields.Text("port");
    const QString device = fields.Text("device", true);
    const auto baud = fields.Whole("baud", 1, 10000000, true);
    const auto variant = fields.Whole("variant", 0, 1, true);
    const QString started = fields.Text("started");
    const QString ended = fields.Text("ended");
    const QString endedBy = fields.Text("ended_by", true);

    std::vector<CFailed> failed;
    double lastS = 0;
    if (const QJsonValue v = report.value(QStringLiteral("events")); v.isArray()) {
        const QJsonArray array = v.toArray();
        int nBad = 0;
        for (qsizetype i = 0; i < array.size(); ++i) {
            if (i >= 1000) {
                skipped << QStringLiteral("events %1 to %2: a report keeps at most 1,000; not drawn")
                               .arg(i + 1)
                               .arg(array.size());
                break;
            }
            QStringList ignore;
            const CReportFields e(array[i].toObject(), &ignore);
            const auto t = e.Whole("t_ms", 0, kBig);
            const auto result = e.Whole("result", 0, 255);
            if (!array[i].isObject() || !t || !result) {
                ++nBad;
                continue;
            }
            failed.push_back({static_cast<double>(*t) / 1000.0, e.Text("direction"), static_cast<int>(*result),
                              e.Text("telegram"), e.Whole("step", 0, kBig).value_or(-1)});
            lastS = std::max(lastS, failed.back().tS);
        }
        if (nBad > 0)
            skipped << QStringLiteral("events: %1 without a sound time or result; not drawn").arg(nBad);
    } else {
        fields.Skip("events", v.isUndefined() ? QStringLiteral("missing") : QStringLiteral("not a list"));
    }

    std::vector<CMoment> moments;
    double droppedFromS = -1;
    const QJsonValue timeline = report.value(QStringLiteral("timeline"));
    if (timeline.isArray()) {
        const QJsonArray array = timeline.toArray();
        int nBad = 0;
        static const QStringList kWhats{QStringLiteral("link lost"),  QStringLiteral("reconnect"),
                                        QStringLiteral("key"),        QStringLiteral("selector 1"),
                                        QStringLiteral("selector 2"), QStringLiteral("events dropped")};
        for (qsizetype i = 0; i < array.size(); ++i) {
            if (i >= 1000) {
                skipped << QStringLiteral("timeline entries %1 to %2: a report keeps at most 1,000; not drawn")
                               .arg(i + 1)
                               .arg(array.size());
                break;
            }
            QStringList ignore;
            const CReportFields m(array[i].toObject(), &ignore);
            const auto t = m.Whole("t_ms", 0, kBig);
            const QString what = m.Text("what");
            const auto value = m.Whole("value", 1, 12, true);
            const bool bNeedsValue = what == QLatin1String("key") || what.startsWith(QLatin1String("selector"));
            if (!array[i].isObject() || !t || !kWhats.contains(what) || (bNeedsValue && !value)) {
                ++nBad;
                continue;
            }
            moments.push_back({static_cast<double>(*t) / 1000.0, what, static_cast<int>(value.value_or(0))});
            lastS = std::max(lastS, moments.back().tS);
            if (what == QLatin1String("events dropped") && droppedFromS < 0)
                droppedFromS = moments.back().tS;
        }
        if (nBad > 0)
            skipped << QStringLiteral("timeline: %1 entries without a sound time, kind or value; not drawn").arg(nBad);
        std::stable_sort(moments.begin(), moments.end(),
                         [](const CMoment& a, const CMoment& b) { return a.tS < b.tS; });
    } else if (!timeline.isUndefined()) {
        fields.Skip("timeline", QStringLiteral("not a list"));
    }
    // Dropped events with no moment of their own (an older report): from the last one kept on.
    if (droppedFromS < 0 && eventsDropped.value_or(0) > 0)
        droppedFromS = failed.empty() ? 0 : failed.back().tS;
    double spanS = duration.value_or(lastS);
    if (lastS > spanS) {
        skipped << QStringLiteral("duration_s: %1 s, shorter than its events (up to %2 s); the axis spans them")
                       .arg(PageNumber(spanS), PageNumber(lastS));
        spanS = lastS;
    }
    spanS = std::max(spanS, 1.0);

    QString body;
    body += QStringLiteral("<div class=\"head\">\n<h1>Permanence test%1</h1>\n")
                .arg(port.isEmpty() ? QString() : QStringLiteral(" on ") + HtmlText(port));
    body += QStringLiteral("<div class=\"verdict %1\"><svg viewBox=\"0 0 16 16\" aria-hidden=\"true\"><use "
                           "href=\"#i-%1\"/></svg>%2</div>\n")
                .arg(QLatin1String(MarkClass(verdict)),
                     verdict == EPageMark::None ? QStringLiteral("UNKNOWN") : HtmlText(verdictWord.toUpper()));
    body += QStringLiteral("<p class=\"why\">%1</p>\n").arg(HtmlText(reason));
    const auto num = [](const std::optional<int64_t>& n) {
        return n ? QString::number(*n) : QStringLiteral("<i>not in the report</i>");
    };
    QString where = HtmlText(port);
    if (!device.isEmpty())
        where += QStringLiteral(" (") + HtmlText(device) + QLatin1Char(')');
    if (baud)
        where += QStringLiteral(", %1 Bd").arg(*baud);
    if (variant)
        where += QStringLiteral(", block-check variant %1").arg(*variant);
    body += FieldTable(
        {{QStringLiteral("Port"), where},
         {QStringLiteral("Duration"),
          duration ? QStringLiteral("%1 (%2 s)").arg(TimeText(*duration, 3600), PageNumber(*duration))
                   : QStringLiteral("<i>not in the report</i>")},
         {QStringLiteral("Started"), HtmlText(started)},
         {QStringLiteral("Ended"),
          HtmlText(ended) + (endedBy.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(HtmlText(endedBy)))},
         {QStringLiteral("Steps"),
          num(steps) + (stepsDemo ? QStringLiteral(", %1 with the link closed").arg(*stepsDemo) : QString())},
         {QStringLiteral("Link losses"), num(losses)},
         {QStringLiteral("Reconnects"),
          num(reconnects) + (attempts ? QStringLiteral(" of %1 tries").arg(*attempts) : QString())},
         {QStringLiteral("Failed exchanges"),
          QStringLiteral("%1 listed%2")
              .arg(failed.size())
              .arg(eventsDropped.value_or(0) > 0 ? QStringLiteral(", %1 more counted only").arg(*eventsDropped)
                                                 : QString())}});
    body += QStringLiteral("</div>\n<h2>Timeline</h2>\n");
    body += Timeline(spanS, moments, failed, droppedFromS, timeline.isArray());
    body += QStringLiteral("<p class=\"legend\"><span class=\"fail\">&#9660; link lost</span> <span class=\"pass\">"
                           "&#9650; reconnected</span> <span>shaded: link down</span> <span>failed exchanges: top "
                           "row time-out (255), then refused (34), then no byte (33)</span></p>\n");

    body += QStringLiteral("<h2>Link</h2>\n<table class=\"stats\"><tr><th>exchanges</th><th>0 done</th><th>33 no "
                           "byte</th><th>34 refused</th><th>255 timed out</th></tr>");
    for (const char* key : {"sent", "received"}) {
        const QJsonValue v = report.value(QLatin1String(key));
        if (!v.isObject()) {
            fields.Skip(key, v.isUndefined() ? QStringLiteral("missing") : QStringLiteral("not an object"));
            continue;
        }
        const QJsonObject o = v.toObject();
        body += QStringLiteral("<tr><th>%1</th><td>%2</td><td>%3</td><td>%4</td><td>%5</td></tr>")
                    .arg(QLatin1String(key), Count(o, "0"), Count(o, "33"), Count(o, "34"), Count(o, "255"));
    }
    body +=
        QStringLiteral("</table>\n<p class=\"legend\">Not sent while the link was closed: %1</p>\n").arg(num(notSent));

    body += QStringLiteral("<h2>Reports from the panel</h2>\n<table class=\"stats\"><tr><th></th>");
    for (int i = 1; i <= 12; ++i)
        body += QStringLiteral("<th>%1</th>").arg(i);
    body += QStringLiteral("</tr>");
    for (const auto& [key, label] : {std::pair{"keys", "key presses"}, std::pair{"selector1", "selector 1"},
                                     std::pair{"selector2", "selector 2"}}) {
        const QJsonValue v = report.value(QLatin1String(key));
        if (!v.isObject()) {
            fields.Skip(key, v.isUndefined() ? QStringLiteral("missing") : QStringLiteral("not an object"));
            continue;
        }
        body += QStringLiteral("<tr><th>%1</th>").arg(QLatin1String(label));
        for (int i = 1; i <= 12; ++i)
            body += QStringLiteral("<td>%1</td>").arg(Count(v.toObject(), QByteArray::number(i).constData()));
        body += QStringLiteral("</tr>");
    }
    body += QStringLiteral("</table>\n");

    if (!failed.empty()) {
        body += QStringLiteral("<h2>Failed exchanges</h2>\n<table class=\"items\"><thead><tr><th>time</th><th>"
                               "step</th><th>direction</th><th>result</th><th>telegram</th></tr></thead><tbody>");
        for (size_t i = 0; i < failed.size() && i < static_cast<size_t>(kEventRows); ++i) {
            const CFailed& f = failed[i];
            body += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td></tr>")
                        .arg(TimeText(f.tS, 1), f.nStep < 0 ? QStringLiteral("?") : QString::number(f.nStep),
                             HtmlText(f.strDirection), QString::number(f.nResult), HtmlText(f.strTelegram.left(60)));
        }
        body += QStringLiteral("</tbody></table>\n");
        if (failed.size() > static_cast<size_t>(kEventRows))
            body += QStringLiteral("<p class=\"legend\">and %1 more in the report</p>\n")
                        .arg(failed.size() - static_cast<size_t>(kEventRows));
    }
    body += SkippedSection(skipped);
    page.html = PageDocument(QStringLiteral("Permanence test %1: %2").arg(port, verdictWord), body);
    return page;
}
