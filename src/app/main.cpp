#include "command_line.h"
#include "panel_app.h"

#include <cstdio>

int main(int argc, char** argv)
{
    // --help and --version must work without a display, so they are answered before the
    // application object connects to the window system.
    const CCommandLine early = ParseEarlyArguments(argc, argv);
    if (early.action == CCommandLine::Action::Help) {
        std::fputs(HelpText(), stdout);
        return 0;
    }
    if (early.action == CCommandLine::Action::Version) {
        std::printf("%s\n", VersionText());
        return 0;
    }

    CPanelApp app(argc, argv);
    std::vector<std::string> remaining;
    for (int i = 1; i < argc; ++i)
        remaining.emplace_back(argv[i]); // Qt has removed the options it took
    const CCommandLine rest = CheckRemainingArguments(remaining);
    if (rest.action == CCommandLine::Action::Refuse) {
        std::fprintf(stderr, "kova_en: unknown argument '%s'\n%s\n", rest.strOffending.c_str(), UsageLine());
        return 2;
    }
    app.InitInstance();
    return 0;
}
