#include "page_html.h"

#include <QFile>

#include <cmath>

QString HtmlText(const QString& text)
{
    QString out;
    out.reserve(text.size() + text.size() / 8);
    for (const QChar ch : text) {
        switch (ch.unicode()) {
        case u'&': out += QStringLiteral("&amp;"); break;
        case u'<': out += QStringLiteral("&lt;"); break;
        case u'>': out += QStringLiteral("&gt;"); break;
        case u'"': out += QStringLiteral("&quot;"); break;
        case u'\'': out += QStringLiteral("&#39;"); break;
        default:
            // Tabs and line ends read as spaces; other control characters have no place in a page.
            if (ch == u'\t' || ch == u'\n' || ch == u'\r')
                out += QLatin1Char(' ');
            else if (ch.unicode() < 0x20 || ch.unicode() == 0x7F || ch.isNonCharacter())
                out += QChar(0xFFFD);
            else
                out += ch;
        }
    }
    return out;
}

QString PageNumber(double value, int nDecimals)
{
    if (!std::isfinite(value))
        return QStringLiteral("?");
    // QString::number is C notation whatever the locale, the same on Linux and Windows.
    QString text = QString::number(value, 'f', nDecimals);
    if (text.contains(QLatin1Char('.'))) {
        while (text.endsWith(QLatin1Char('0')))
            text.chop(1);
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
    }
    return text == QLatin1String("-0") ? QStringLiteral("0") : text;
}

EPageMark MarkOfWord(const QString& word)
{
    if (word == QLatin1String("pass"))
        return EPageMark::Pass;
    if (word == QLatin1String("fail"))
        return EPageMark::Fail;
    if (word == QLatin1String("not run"))
        return EPageMark::NotRun;
    if (word == QLatin1String("not checked"))
        return EPageMark::NotChecked;
    if (word == QLatin1String("aborted"))
        return EPageMark::Aborted;
    if (word == QLatin1String("error"))
        return EPageMark::Error;
    return EPageMark::None;
}

const char* MarkClass(EPageMark mark)
{
    switch (mark) {
    case EPageMark::Pass: return "pass";
    case EPageMark::Fail: return "fail";
    case EPageMark::NotRun: return "notrun";
    case EPageMark::NotChecked: return "notchecked";
    case EPageMark::Aborted: return "aborted";
    case EPageMark::Error: return "error";
    case EPageMark::Unexpected: return "unexpected";
    case EPageMark::None: break;
    }
    return "none";
}

QString MarkBadge(EPageMark mark, const QString& word)
{
    const QString cls = QLatin1String(MarkClass(mark));
    return QStringLiteral("<span class=\"badge %1\"><svg class=\"ic\" viewBox=\"0 0 16 16\" aria-hidden=\"true\">"
                          "<use href=\"#i-%1\"/></svg> %2</span>")
        .arg(cls, HtmlText(word));
}

namespace {

// Each mark's icon is a shape of its own (tick, cross, dash, question mark, square, triangle),
// so a page printed in black and white or read by someone who cannot tell red from green
// still says every outcome. Colours only repeat what the shapes say.
const char kSymbols[] =
    "<svg width=\"0\" height=\"0\" style=\"position:absolute\" aria-hidden=\"true\"><defs>"
    "<symbol id=\"i-pass\" viewBox=\"0 0 16 16\"><circle cx=\"8\" cy=\"8\" r=\"7.5\" fill=\"currentColor\"/>"
    "<path d=\"M4 8.5 L7 11.5 L12.5 4.5\" fill=\"none\" stroke=\"#fff\" stroke-width=\"2.2\"/></symbol>"
    "<symbol id=\"i-fail\" viewBox=\"0 0 16 16\"><rect x=\"0.5\" y=\"0.5\" width=\"15\" height=\"15\" rx=\"2\" "
    "fill=\"currentColor\"/><path d=\"M4 4 L12 12 M12 4 L4 12\" stroke=\"#fff\" stroke-width=\"2.4\"/></symbol>"
    "<symbol id=\"i-notrun\" viewBox=\"0 0 16 16\"><circle cx=\"8\" cy=\"8\" r=\"6.8\" fill=\"none\" "
    "stroke=\"currentColor\" stroke-width=\"1.5\" stroke-dasharray=\"2.5 1.8\"/><path d=\"M4.5 8 H11.5\" "
    "stroke=\"currentColor\" stroke-width=\"2\"/></symbol>"
    "<symbol id=\"i-notchecked\" viewBox=\"0 0 16 16\"><circle cx=\"8\" cy=\"8\" r=\"7.5\" fill=\"currentColor\"/>"
    "<path d=\"M5.6 6 A2.5 2.5 0 1 1 8 8.6 V10\" fill=\"none\" stroke=\"#fff\" stroke-width=\"2\"/>"
    "<circle cx=\"8\" cy=\"12.4\" r=\"1.2\" fill=\"#fff\"/></symbol>"
    "<symbol id=\"i-aborted\" viewBox=\"0 0 16 16\"><path d=\"M5 0.5 H11 L15.5 5 V11 L11 15.5 H5 L0.5 11 V5 Z\" "
    "fill=\"currentColor\"/><rect x=\"4.5\" y=\"7\" width=\"7\" height=\"2.2\" fill=\"#fff\"/></symbol>"
    "<symbol id=\"i-error\" viewBox=\"0 0 16 16\"><path d=\"M8 0.8 L15.4 15 H0.6 Z\" fill=\"currentColor\"/>"
    "<path d=\"M8 5.5 V10.5\" stroke=\"#fff\" stroke-width=\"2\"/><circle cx=\"8\" cy=\"12.7\" r=\"1.1\" "
    "fill=\"#fff\"/></symbol>"
    "<symbol id=\"i-unexpected\" viewBox=\"0 0 16 16\"><path d=\"M8 0.8 L15.4 15 H0.6 Z\" fill=\"currentColor\"/>"
    "<path d=\"M8 5.5 V10.5\" stroke=\"#000\" stroke-width=\"2\"/><circle cx=\"8\" cy=\"12.7\" r=\"1.1\" "
    "fill=\"#000\"/></symbol>"
    "</defs></svg>\n";

// One A4 page in print; on screen the same sheet. The system's sans-serif face; nothing is
// loaded, so no web font.
const char kStyle[] =
    "@page{size:A4;margin:9mm}\n"
    "html{background:#fff}\n"
    "body{margin:0;color:#111;font:12px/1.35 \"DejaVu Sans\",\"Segoe UI\",Arial,sans-serif}\n"
    ".sheet{width:718px;padding:16px;box-sizing:content-box}\n"
    ".head{height:150px;overflow:hidden}\n"
    "h1{font-size:17px;margin:0 0 4px}\n"
    ".verdict{display:inline-flex;align-items:center;gap:6px;font-size:20px;font-weight:bold;"
    "padding:2px 10px;border:2px solid currentColor;border-radius:4px;margin:0 0 4px}\n"
    ".verdict svg{width:22px;height:22px}\n"
    ".why{font-size:12px;margin:0 0 4px}\n"
    "table{border-collapse:collapse}\n"
    ".fields{font-size:11px}\n"
    ".fields th{text-align:left;font-weight:normal;color:#444;padding:0 6px 0 0;white-space:nowrap}\n"
    ".fields td{padding:0 14px 0 0;max-width:290px;overflow:hidden;text-overflow:ellipsis;white-space:nowrap}\n"
    ".cols{display:flex;gap:0}\n"
    "figure{margin:0}\n"
    ".items{width:100%;font-size:10.5px;margin-top:6px}\n"
    ".items th,.items td{border-bottom:1px solid #ccc;padding:1px 4px;text-align:left;vertical-align:top}\n"
    ".items th{border-bottom:1.5px solid #555}\n"
    ".ic{width:12px;height:12px;vertical-align:-2px}\n"
    ".badge{white-space:nowrap;font-weight:bold}\n"
    ".pass{color:#1a7f37}.fail{color:#c62828}.notrun{color:#6e7781}.notchecked{color:#9a5b00}\n"
    ".aborted{color:#8250df}.error{color:#c62828}.unexpected{color:#b35900}.none{color:#444}\n"
    ".legend{font-size:10.5px;margin:2px 0 0}\n"
    ".legend span{margin-right:10px}\n"
    ".skipped{font-size:10.5px;margin-top:8px;border:1px dashed #999;padding:4px 8px}\n"
    ".skipped h2{font-size:11px;margin:0 0 2px}\n"
    ".skipped ul{margin:0;padding-left:16px}\n"
    "h2{font-size:13px;margin:8px 0 3px}\n"
    ".stats td,.stats th{padding:0 8px 0 0;text-align:right;font-size:11px}\n"
    ".stats th:first-child{text-align:left}\n"
    "@media print{.sheet{padding:0}}\n";

} // namespace

QByteArray PageDocument(const QString& strTitle, const QString& strBody)
{
    QString page;
    page.reserve(strBody.size() + 8192);
    page += QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                           // Nothing may be fetched or run: images only from inside the page.
                           "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
                           "img-src data:; style-src 'unsafe-inline'\">\n"
                           "<meta name=\"viewport\" content=\"width=750\">\n<title>");
    page += HtmlText(strTitle);
    page += QStringLiteral("</title>\n<style>\n");
    page += QLatin1String(kStyle);
    page += QStringLiteral("</style>\n</head>\n<body>\n");
    page += QLatin1String(kSymbols);
    page += QStringLiteral("<div class=\"sheet\">\n");
    page += strBody;
    page += QStringLiteral("</div>\n</body>\n</html>\n");
    return page.toUtf8();
}

const QString& PanelPictureUri()
{
    static const QString uri = [] {
        QFile file(QStringLiteral(":/kova_pages/panel.png"));
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        return QStringLiteral("data:image/png;base64,") + QString::fromLatin1(file.readAll().toBase64());
    }();
    return uri;
}

QString SkippedSection(const QStringList& skipped)
{
    if (skipped.isEmpty())
        return {};
    QString html = QStringLiteral("<section class=\"skipped\"><h2>What this page leaves out of the report</h2><ul>");
    for (const QString& note : skipped)
        html += QStringLiteral("<li>") + HtmlText(note) + QStringLiteral("</li>");
    return html + QStringLiteral("</ul></section>\n");
}

QString FieldTable(const QList<std::pair<QString, QString>>& rows, const QString& strClass)
{
    QString html = QStringLiteral("<table class=\"fields %1\">").arg(strClass);
    // Two pairs a row, so the identity takes few lines.
    for (qsizetype i = 0; i < rows.size(); i += 2) {
        html += QStringLiteral("<tr>");
        for (qsizetype j = i; j < i + 2 && j < rows.size(); ++j)
            html += QStringLiteral("<th>%1</th><td>%2</td>").arg(HtmlText(rows[j].first), rows[j].second);
        html += QStringLiteral("</tr>");
    }
    return html + QStringLiteral("</table>\n");
}
