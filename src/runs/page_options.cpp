#include "page_options.h"

QString CPageOptions::Read(const QCommandLineParser& parser, CCommandLine& result) const
{
    const bool bRender = parser.isSet(render);
    if (bRender) {
        if (result.action != CCommandLine::Action::Run)
            return QStringLiteral("--render goes in a run of its own (with --html FILE at most)");
        result.strRenderPath = parser.value(render);
        if (result.strRenderPath.isEmpty())
            return QStringLiteral("--render needs a report file");
        result.action = CCommandLine::Action::Render;
    }
    const bool bRun =
        result.action == CCommandLine::Action::Check || result.action == CCommandLine::Action::PermanenceTest;
    if (parser.isSet(noHtml)) {
        if (!bRun)
            return QStringLiteral("--no-html goes with --check or --permanence-test");
        if (parser.isSet(html))
            return QStringLiteral("--html and --no-html go in separate runs");
        result.bNoHtml = true;
    }
    if (parser.isSet(html)) {
        if (!bRun && !bRender)
            return QStringLiteral("--html goes with --check, --permanence-test or --render");
        result.strHtmlPath = parser.value(html);
        if (result.strHtmlPath.isEmpty())
            return QStringLiteral("--html needs a file name");
        if (result.strHtmlPath == QLatin1String("-"))
            return QStringLiteral("--html writes a file; - (standard output) is not one");
    }
    return {};
}
