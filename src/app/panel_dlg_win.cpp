// The main window's system menu on Windows, where the program owns it: a separator and
// "&About KOVA_EN..." at its end, and that item's WM_SYSCOMMAND handed to OnSysCommand. Under
// X11 the window manager draws and owns the window menu, and nothing can be added to it. Built
// for Windows only.

#include "panel_dlg.h"
#include "string_table.h"

#include <windows.h>
// The platform's names for its own text functions would hide the string table's.
#undef LoadString

void CPanelDlg::AppendAboutToSystemMenu()
{
    HMENU hMenu = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE);
    if (hMenu == nullptr)
        return;
    const QString strAbout = LoadString(IDS_ABOUTBOX);
    if (strAbout.isEmpty())
        return;
    AppendMenuW(hMenu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(hMenu, MF_STRING, IDM_ABOUTBOX, reinterpret_cast<LPCWSTR>(strAbout.utf16()));
}

bool CPanelDlg::nativeEvent(const QByteArray& eventType, void* pMessage, qintptr* pResult)
{
    // Only the about item is taken here (its identifier masked with 0xFFF0, so 16 to 31 all
    // open the box); move, size, minimise, close and the rest go on to the platform's own
    // handling, which Qt turns into the window's events.
    const auto* pMsg = static_cast<const MSG*>(pMessage);
    if (eventType == "windows_generic_MSG" && pMsg->message == WM_SYSCOMMAND
        && (pMsg->wParam & 0xFFF0) == IDM_ABOUTBOX) {
        OnSysCommand(static_cast<unsigned>(pMsg->wParam), static_cast<intptr_t>(pMsg->lParam));
        *pResult = 0;
        return true;
    }
    return QDialog::nativeEvent(eventType, pMessage, pResult);
}
