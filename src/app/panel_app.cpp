#include "panel_app.h"

#include "panel_dlg.h"

#include "kova_version.h"

CPanelApp::CPanelApp(int& argc, char** argv) : QApplication(argc, argv)
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
    CPanelDlg dlg;
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
