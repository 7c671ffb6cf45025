#pragma once

#include "panel_model.h"

#include <QDialog>
#include <QIcon>
#include <QTimer>

#include <cstdint>

class CPanelCanvas;
class QMenuBar;

// Command identifiers of the main window's menu.
enum CommandId : unsigned {
    ID_EXIT = 32771,
    ID_SERIAL_PORT = 32773,
    ID_PERMTEST_START = 32775,
    ID_PERMTEST_STOP = 32776,
    ID_TEXT_INPUT = 32777,
    ID_ABOUT = 32778,
    ID_RESET_PANEL = 32779,
};
// System-menu command of the about box, and the platform's own system commands.
inline constexpr unsigned IDM_ABOUTBOX = 0x0010;
inline constexpr unsigned SC_MINIMIZE = 0xF020;
inline constexpr unsigned SC_CLOSE = 0xF060;
inline constexpr unsigned SC_RESTORE = 0xF120;

// The main window: a modal dialog showing the panel. It owns the panel model (and with it the
// serial link), routes every command through OnCommand and its message table, and lets the
// model talk to the user through IPanelView.
class CPanelDlg : public QDialog, public IPanelView {
    Q_OBJECT
public:
    explicit CPanelDlg(ISerialDevice* pDevice = nullptr, IClock* pClock = nullptr, QWidget* pParent = nullptr,
                       const CPanelConfig& config = CPanelConfig());
    ~CPanelDlg() override;

    // Initialises the window (and connects), then runs it modally.
    int DoModal();
    bool OnInitDialog();

    // Every command passes here first: 1 (Enter) does nothing, 2 (Escape, close box) asks
    // before it ends the dialog, everything else goes to the message table.
    bool OnCommand(uintptr_t wParam, intptr_t lParam);
    void OnSysCommand(unsigned nId, intptr_t lParam);

    // Handlers of the message table.
    void OnExit();
    void OnAbout();
    void OnSerialPort() { m_model.OnSerialPort(); }
    void OnResetPanel() { m_model.OnResetPanel(); }
    void OnPermTestStart() { m_model.OnPermTestStart(); }
    void OnPermTestStop() { m_model.OnPermTestStop(); }
    void OnTextInput() { m_model.OnTextInput(); }
    void OnTimer() { m_model.OnTimer(); }
    void OnPaint();

    // The message boxes of the window, open to tests.
    virtual int MessageBox(int nStringId, int nStyle);

    // IPanelView
    bool RunSerialDialog(int& nPortChoice, int& nBaudChoice) override;
    bool RunTextInputDialog(std::array<QString, kLcdRows>& rows) override;
    void ShowMessage(int nStringId) override;
    void ShowMessageDetail(int nStringId, const QString& strDetail) override;
    void Invalidate(const CRect* pRect, bool bErase) override;
    void UpdateWindow() override;
    void Paint() override;

    CPanelModel& Model() { return m_model; }
    CPanelCanvas* Canvas() const { return m_pCanvas; }
    QMenuBar* MenuBar() const { return m_pMenuBar; }
    QTimer& PollTimer() { return m_timer; }

    void accept() override;
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* pEvent) override;
#ifdef Q_OS_WIN
    // The system menu's about command from the native window (panel_dlg_win.cpp).
    bool nativeEvent(const QByteArray& eventType, void* pMessage, qintptr* pResult) override;
#endif
    void moveEvent(QMoveEvent* pEvent) override;

private:
    struct MessageEntry {
        unsigned nId;
        void (CPanelDlg::*pfnHandler)();
    };
    static const MessageEntry s_messageTable[];

    void BuildMenu();
#ifdef Q_OS_WIN
    // A separator and "&About KOVA_EN..." at the end of the window's system menu.
    void AppendAboutToSystemMenu();
#endif
    void PlaceOnScreen();
    void EndDialog(int nResult);

    CPanelModel m_model;
    QIcon m_hIcon;
    CPanelCanvas* m_pCanvas;
    QMenuBar* m_pMenuBar;
    QTimer m_timer;
    int m_nPlaceChecks = 0;     // moves left in which the title bar is brought onto the screen
    QString m_strMessageDetail; // detail text for the box MessageBox is about to show
};
