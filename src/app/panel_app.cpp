#include "panel_app.h"

#include "panel_dlg.h"

#include "kova_version.h"

CPanelApp::CPanelApp(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("KOVA_EN"));
    setApplicationVersion(QStringLiteral(KOVA_VERSION_MAJOR_MINOR));
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
