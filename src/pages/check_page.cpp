#include "check_page.h"

#include "check_view.h"
#include "page_html.h"
#include "panel_figure.h"

namespace {

QString VerdictWord(const CCheckView& view)
{
    return view.verdict == EPageMark::None ? QStringLiteral("UNKNOWN") : view.strOutcome.toUpper();
}

QString OrUnknown(const QString& text)
{
    return text.isEmpty() ? QStringLiteral("<i>none</i>") : HtmlText(text);
}

} // namespace

CReportPage CheckPage(const QJsonObject& report)
{
    CReportPage page;
    CCheckView view;
    if (!ReadCheckView(report, &view, &page.strWhy))
        return page;
    const CPanelMarks marks = MarksOf(view);

    int nPassed = 0, nFailed = 0, nNotChecked = 0, nNotRun = 0;
    QStringList failedNames;
    for (const CCheckView::Item& item : view.items) {
        nPassed += item.mark == EPageMark::Pass;
        nFailed += item.mark == EPageMark::Fail;
        nNotChecked += item.mark == EPageMark::NotChecked;
        nNotRun += item.mark == EPageMark::NotRun;
        if (item.mark == EPageMark::Fail || item.mark == EPageMark::NotChecked)
            failedNames << item.strName;
    }
    QString why = QStringLiteral("%1 items: %2 passed, %3 failed, %4 not checked, %5 not run")
                      .arg(view.items.size())
                      .arg(nPassed)
                      .arg(nFailed)
                      .arg(nNotChecked)
                      .arg(nNotRun);
    if (!failedNames.isEmpty())
        why += QStringLiteral(" (") + failedNames.mid(0, 6).join(QStringLiteral(", "))
               + (failedNames.size() > 6 ? QStringLiteral(", ...)") : QStringLiteral(")"));

    QString body;
    body += QStringLiteral("<div class=\"head\">\n<h1>Panel check%1</h1>\n")
                .arg(view.strSerial.isEmpty() ? QString() : QStringLiteral(" of ") + HtmlText(view.strSerial));
    body += QStringLiteral("<div class=\"verdict %1\"><svg viewBox=\"0 0 16 16\" aria-hidden=\"true\"><use "
                           "href=\"#i-%1\"/></svg>%2</div>\n")
                .arg(QLatin1String(MarkClass(view.verdict)), HtmlText(VerdictWord(view)));
    body +=
        QStringLiteral("<p class=\"why\">%1%2</p>\n")
            .arg(view.strReason.isEmpty() ? QString() : HtmlText(view.strReason) + QStringLiteral(". "), HtmlText(why));
    QString port = HtmlText(view.strPort);
    if (!view.strDevice.isEmpty())
        port += QStringLiteral(" (") + HtmlText(view.strDevice) + QLatin1Char(')');
    if (!view.strBaud.isEmpty())
        port += QStringLiteral(", ") + view.strBaud + QStringLiteral(" Bd");
    if (!view.strVariant.isEmpty())
        port += QStringLiteral(", block-check variant ") + view.strVariant;
    body += FieldTable(
        {{QStringLiteral("Serial number"), OrUnknown(view.strSerial)},
         {QStringLiteral("Operator"), OrUnknown(view.strOperator)},
         {QStringLiteral("Station"), OrUnknown(view.strStation)},
         {QStringLiteral("Seed"), OrUnknown(view.strSeed)},
         {QStringLiteral("Started"), OrUnknown(view.strStarted)},
         {QStringLiteral("Ended"), OrUnknown(view.strEnded)},
         {QStringLiteral("Port"), port.isEmpty() ? QStringLiteral("<i>none</i>") : port},
         {QStringLiteral("Program"), OrUnknown((view.strProgram.isEmpty() ? QStringLiteral("kova_en") : view.strProgram)
                                               + QLatin1Char(' ') + view.strVersion)}});
    body += QStringLiteral("</div>\n<figure>");
    body += PanelFigureSvg(marks);
    body += QStringLiteral("</figure>\n<p class=\"legend\">");
    for (const auto& [mark, word] :
         {std::pair{EPageMark::Pass, "pass"}, std::pair{EPageMark::Fail, "fail"},
          std::pair{EPageMark::NotChecked, "not checked"}, std::pair{EPageMark::NotRun, "not run"},
          std::pair{EPageMark::Unexpected, "reported when it should not have been"}})
        body += MarkBadge(mark, QLatin1String(word)) + QLatin1Char(' ');
    body += QStringLiteral("</p>\n<table class=\"items\"><thead><tr><th>#</th><th>Item</th><th>Outcome</th>"
                           "<th>Reason</th><th>Measures</th></tr></thead><tbody>\n");
    int nRow = 0;
    for (const CCheckView::Item& item : view.items) {
        body += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td></tr>\n")
                    .arg(++nRow)
                    .arg(HtmlText(item.strName), MarkBadge(item.mark, item.strOutcome), HtmlText(item.strReason),
                         HtmlText(item.measures.join(QStringLiteral(", "))));
    }
    body += QStringLiteral("</tbody></table>\n");
    body += SkippedSection(view.skipped);

    page.skipped = view.skipped;
    page.html = PageDocument(QStringLiteral("Panel check %1: %2").arg(view.strSerial, view.strOutcome), body);
    return page;
}

QByteArray CheckPicturePng(const QJsonObject& report)
{
    CCheckView view;
    QString why;
    if (!ReadCheckView(report, &view, &why))
        return {};
    return PanelFigurePng(MarksOf(view));
}
