#include "command_line.h"
#include "link_trace.h"
#include "panel_app.h"
#include "port_config.h"
#include "run_ports.h"
#include "safe_file.h"

#include <QCoreApplication>

#include <cstdio>
#include <utility>

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
    commandLine.strTrace = CLinkTrace::TargetFromEnvironment();

    // Whatever needs no window is done before anything connects to the window system, so it
    // works without a display (and a bad argument gets its usage line, not a platform abort).
    if (commandLine.action != CCommandLine::Action::Run) {
        QCoreApplication core(argc, argv);
        return RunWithoutWindow(commandLine, stdout, stderr);
    }

    // What the window is to know of the trace and the ports is read here, once, and handed down.
    CPanelConfig config{commandLine.strTrace, SetUpPorts(commandLine, stderr)};

    CPanelApp app(argc, argv, std::move(config));
    app.InitInstance();
    return 0;
}
