#include "command_line.h"
#include "link_trace.h"
#include "panel_app.h"
#include "port_config.h"
#include "safe_file.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    // Decoded so that file names come back byte for byte, those that are not UTF-8 included.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
#ifdef _WIN32
        arguments << QString::fromLocal8Bit(argv[i]);
#else
        arguments << PathFromBytes(QByteArray(argv[i]));
#endif
    CCommandLine commandLine = ParseCommandLine(arguments);
    // The environment's say on the trace is read here, once, and handed down.
    commandLine.strTrace = CLinkTrace::TargetFromEnvironment();

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

    CPanelApp app(argc, argv, commandLine.strTrace);
    app.InitInstance();
    return 0;
}
