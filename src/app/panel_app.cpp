#include "panel_app.h"

#include "panel_dlg.h"
#include "stop_signals.h"

#include "kova_version.h"

#include <utility>

CPanelApp::CPanelApp(int& argc, char** argv, CPanelConfig config)
    : QApplication(argc, argv), m_config(std::move(config))
{
    setApplicationName(QStringLiteral("KOVA_EN"));
    setApplicationVersion(QStringLiteral(KOVA_VERSION_MAJOR_MINOR));
    // Lets a Wayland compositor or a dock find the installed desktop entry, and with it the
    // name and the icon, for the window.
    setDesktopFileName(QStringLiteral(KOVA_APP_ID));
    setWindowIcon(AppIcon());
}

bool CPanelApp::InitInstance()
{
    CPanelDlg dlg(nullptr, nullptr, nullptr, m_config);
#ifndef _WIN32
    // Ended by SIGINT or SIGTERM (Ctrl+C in its terminal, a kill, the session's logout), the
    // window still leaves the report of a running permanence test, then ends as the signal
    // would have ended it. A second request (not the same signal again within
    // kStopRepeatWindowMs, as a process group's kill delivers it) ends it at once, however busy it is.
    if (CatchStopSignals())
        OnStopSignal(&dlg, [&dlg](int nSignal) {
            dlg.Model().EndPermRun(StopSignalName(nSignal));
            DieOfSignal(nSignal);
        });
#endif
    dlg.DoModal();
    return false;
}

QIcon AppIcon()
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/kova/icon_32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/kova/icon_16.png"), QSize(16, 16));
    return icon;
}
