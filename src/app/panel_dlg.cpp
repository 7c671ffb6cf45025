#include "panel_dlg.h"

#include "about_dlg.h"
#include "caption_bar.h"
#include "message_box.h"
#include "page_store.h"
#include "panel_app.h"
#include "panel_canvas.h"
#include "perm_tooltip.h"
#include "serial_dlg.h"
#include "text_input_dlg.h"

#include "kova_version.h"

#include <QKeyEvent>
#include <QMenuBar>
#include <QScreen>
#include <QVBoxLayout>

const CPanelDlg::MessageEntry CPanelDlg::s_messageTable[] = {
    {ID_SERIAL_PORT, &CPanelDlg::OnSerialPort},
    {ID_TEXT_INPUT, &CPanelDlg::OnTextInput},
    {ID_EXIT, &CPanelDlg::OnExit},
    {ID_PERMTEST_START, &CPanelDlg::OnPermTestStart},
    {ID_PERMTEST_STOP, &CPanelDlg::OnPermTestStop},
    {ID_ABOUT, &CPanelDlg::OnAbout},
    {ID_RESET_PANEL, &CPanelDlg::OnResetPanel},
};

CPanelDlg::CPanelDlg(ISerialDevice* pDevice, IClock* pClock, QWidget* pParent, const CPanelConfig& config)
    : QDialog(pParent), m_model(*this, pDevice, pClock, config), m_hIcon(AppIcon())
{
    setWindowTitle(QStringLiteral(KOVA_COMPANY "   KOVA_EN"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->setSpacing(0);
    m_pMenuBar = new QMenuBar(this);
    pLayout->setMenuBar(m_pMenuBar);
    m_pCanvas = new CPanelCanvas(m_model, this);
    pLayout->addWidget(m_pCanvas);
    // The canvas holds the keyboard focus. Without a focusable child the menu bar kept the
    // focus after leaving its keyboard mode and swallowed Escape and Enter from then on.
    m_pCanvas->setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(m_pCanvas);
    pLayout->setSizeConstraint(QLayout::SetFixedSize);
    BuildMenu();
    // The window leaves a report after every permanence test, and shows its running figures
    // as the LCD mirror's tooltip.
    m_model.m_bWriteReports = true;
    // And its page beside it; a page that cannot be written leaves the report as it is.
    m_model.m_onReportWritten = [](const QJsonObject& report, const QString& strPath) {
        QString why;
        if (WritePageBeside(report, strPath, &why).isEmpty())
            qWarning("kova_en: the permanence-test report's page was not written: %s", qPrintable(why));
    };
    new CPermToolTip(m_model, m_pCanvas);

    m_pCanvas->onMousePress = [this](Qt::MouseButton button, QPoint pos) {
        if (button == Qt::LeftButton)
            m_model.OnLButtonDown(pos.x(), pos.y());
        else if (button == Qt::RightButton)
            m_model.OnRButtonDown(pos.x(), pos.y());
    };
    // The link part of the paints the window system asks for; the model keeps the flag. A
    // lost link's notice is a modal box, which must not run inside a paint event: the paint
    // routine that shows it is queued. An open link is remembered at once, so that a link
    // lost right after a connect is still announced.
    m_pCanvas->onPaintLink = [this] {
        if (m_model.m_link.m_bOpen)
            m_model.CheckLink();
        else
            QMetaObject::invokeMethod(this, &CPanelDlg::OnPaint, Qt::QueuedConnection);
    };

    m_timer.setTimerType(Qt::CoarseTimer);
    // A tick may open a modal box (the lost-link notice). Qt does not fire a timer again while
    // its own handler runs, so a tick run straight from the timeout would stop every further
    // tick until the box closed. Queued, the tick runs after the timer's handler has returned,
    // and ticks go on inside any modal loop. Expiries still collapse: the timer fires at most
    // once per pass of the event loop.
    connect(&m_timer, &QTimer::timeout, this, &CPanelDlg::OnTimer, Qt::QueuedConnection);
}

CPanelDlg::~CPanelDlg()
{
    m_timer.stop();
    // The canvas and its tooltip keep references to the model. Qt would delete them as children
    // only after the members are gone, model included; they go first.
    delete m_pCanvas;
    m_pCanvas = nullptr;
}

void CPanelDlg::BuildMenu()
{
    struct Item {
        const char* pszText;
        unsigned nId; // 0: separator
    };
    auto addMenu = [this](const char* pszTitle, std::initializer_list<Item> items) {
        QMenu* pMenu = m_pMenuBar->addMenu(QString::fromLatin1(pszTitle));
        for (const Item& item : items) {
            if (item.nId == 0) {
                pMenu->addSeparator();
                continue;
            }
            QAction* pAction = pMenu->addAction(QString::fromLatin1(item.pszText));
            pAction->setData(item.nId);
            const unsigned nId = item.nId;
            connect(pAction, &QAction::triggered, this, [this, nId] { OnCommand(nId, 0); });
        }
    };
    addMenu("&File", {{"About &KOVA_EN", ID_ABOUT}, {"&Exit", ID_EXIT}});
    addMenu("&Functions", {{"&Reset KOVA", ID_RESET_PANEL},
                           {nullptr, 0},
                           {"Permanence Test &Start", ID_PERMTEST_START},
                           {"Permanence Test St&op ", ID_PERMTEST_STOP},
                           {nullptr, 0},
                           {"&Text Input...", ID_TEXT_INPUT}});
    addMenu("&Options", {{"&Serial Port...", ID_SERIAL_PORT}});
}

int CPanelDlg::DoModal()
{
    AddCaptionWherePlatformNeedsIt(this);
    OnInitDialog();
    PlaceOnScreen();
    return exec();
}

void CPanelDlg::PlaceOnScreen()
{
    // The window has a fixed size and cannot be made smaller. Where it fits, it is centred as
    // any dialog; taller or wider than the screen (a large scale factor on a small screen) it
    // would be centred with its caption above the top edge, out of reach for good. It goes to
    // the top of the screen instead, with its title bar on it.
    const QScreen* pScreen = screen();
    if (pScreen == nullptr)
        return;
    layout()->activate();
    const QRect available = pScreen->availableGeometry();
    if (height() < available.height() && width() < available.width())
        return;
    const int x = width() < available.width() ? available.x() + (available.width() - width()) / 2 : available.x();
    move(x, available.y());
    // The frame a window manager puts round the window is known only once it is on the
    // screen; then the window is moved down by the caption's height (see moveEvent).
    m_nPlaceChecks = 3;
}

void CPanelDlg::moveEvent(QMoveEvent* pEvent)
{
    QDialog::moveEvent(pEvent);
    if (m_nPlaceChecks == 0 || !isVisible() || screen() == nullptr)
        return;
    const QRect available = screen()->availableGeometry();
    if (frameGeometry().top() >= available.top())
        return;
    --m_nPlaceChecks; // a window manager that insists has the last word
    move(frameGeometry().left(), available.top());
}

bool CPanelDlg::OnInitDialog()
{
    // The system menu's about item. Only Windows lets a program add to the window menu; an
    // X11 window manager owns it, so there the about box is reached by File, "About KOVA_EN".
#ifdef Q_OS_WIN
    AppendAboutToSystemMenu();
#endif
    setWindowIcon(m_hIcon);
    m_pCanvas->setFocus();
    m_model.InitState();
    m_timer.start(200);
    m_model.OnSerialPort();
    return true;
}

bool CPanelDlg::OnCommand(uintptr_t wParam, intptr_t)
{
    if (wParam == IDOK)
        return true;
    if (wParam == IDCANCEL) {
        if (MessageBox(IDS_EXIT_QUESTION, MB_YESNO) == IDYES)
            EndDialog(IDCANCEL);
        return true;
    }
    for (const MessageEntry& entry : s_messageTable) {
        if (entry.nId == wParam) {
            (this->*entry.pfnHandler)();
            return true;
        }
    }
    return false;
}

void CPanelDlg::OnSysCommand(unsigned nId, intptr_t)
{
    if ((nId & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about;
        about.DoModal();
        return;
    }
    switch (nId & 0xFFF0) {
    case SC_CLOSE: OnCommand(IDCANCEL, 0); break;
    case SC_MINIMIZE: showMinimized(); break;
    case SC_RESTORE: showNormal(); break;
    default: break; // move, size and the rest are the window manager's
    }
}

void CPanelDlg::OnExit()
{
    if (MessageBox(IDS_EXIT_QUESTION, MB_YESNO) != IDYES)
        return;
    m_model.m_link.Close();
    EndDialog(0);
}

void CPanelDlg::OnAbout()
{
    CAboutDlg about;
    about.DoModal();
}

void CPanelDlg::EndDialog(int nResult)
{
    QDialog::done(nResult);
}

void CPanelDlg::accept()
{
    OnCommand(IDOK, 0);
}

void CPanelDlg::reject()
{
    OnCommand(IDCANCEL, 0);
}

void CPanelDlg::keyPressEvent(QKeyEvent* pEvent)
{
    switch (pEvent->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: OnCommand(IDOK, 0); return;
    case Qt::Key_Escape: OnCommand(IDCANCEL, 0); return;
    default: QDialog::keyPressEvent(pEvent);
    }
}

void CPanelDlg::OnPaint()
{
    if (isMinimized())
        return; // the platform shows the icon
    m_pCanvas->Refresh();
    m_model.CheckLink();
    // The notice's box may have let the link change (ticks run inside it); the status line
    // follows the link as it is once the box is closed.
    m_pCanvas->Refresh();
}

int CPanelDlg::MessageBox(int nStringId, int nStyle)
{
    return AfxMessageBox(this, nStringId, nStyle, m_strMessageDetail);
}

bool CPanelDlg::RunSerialDialog(int& nPortChoice, int& nBaudChoice)
{
    CSerialDlg dlg(nullptr, m_model.PortSetup());
    dlg.m_nPortChoice = nPortChoice;
    dlg.m_nBaudChoice = nBaudChoice;
    if (dlg.DoModal() != QDialog::Accepted)
        return false;
    nPortChoice = dlg.m_nPortChoice;
    nBaudChoice = dlg.m_nBaudChoice;
    return true;
}

bool CPanelDlg::RunTextInputDialog(std::array<QString, kLcdRows>& rows)
{
    CTextInputDlg dlg;
    for (int i = 0; i < kLcdRows; ++i)
        dlg.m_strEdit[i] = rows[i];
    if (dlg.DoModal() != QDialog::Accepted)
        return false;
    for (int i = 0; i < kLcdRows; ++i)
        rows[i] = dlg.m_strEdit[i];
    return true;
}

void CPanelDlg::ShowMessage(int nStringId)
{
    MessageBox(nStringId, MB_OK);
}

void CPanelDlg::ShowMessageDetail(int nStringId, const QString& strDetail)
{
    // Passed beside the call, so that MessageBox stays the one place every box goes through.
    m_strMessageDetail = strDetail;
    MessageBox(nStringId, MB_OK);
    m_strMessageDetail.clear();
}

void CPanelDlg::Invalidate(const CRect* pRect, bool)
{
    // Every paint draws the picture under the overlay, so erasing needs nothing extra.
    m_pCanvas->Invalidate(pRect == nullptr ? m_pCanvas->rect()
                                           : QRect(pRect->left, pRect->top, pRect->Width(), pRect->Height()));
}

void CPanelDlg::UpdateWindow()
{
    m_pCanvas->PaintInvalid();
}

void CPanelDlg::Paint()
{
    OnPaint();
}
