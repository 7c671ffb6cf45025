#include "command_line.h"
#include "panel_app.h"
#include "port_config.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CCommandLine commandLine = ParseCommandLine(arguments);

    // Whatever needs no window is done before anything connects to the window system, so it
    // works without a display (and a bad argument gets its usage line, not a platform abort).
    if (commandLine.action != CCommandLine::Action::Run) {
        QCoreApplication core(argc, argv);
        return RunWithoutWindow(commandLine, stdout, stderr);
    }

    QString warning;
    ReadPortConfig(&warning);
    if (!warning.isEmpty())
        std::fprintf(stderr, "%s\n", warning.toLocal8Bit().constData());
    SetPortOptions(commandLine.portOptions);
    InstallPortResolver();

    CPanelApp app(argc, argv);
    app.InitInstance();
    return 0;
}
