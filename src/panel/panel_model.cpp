#include "panel_model.h"

#include "port_diagnosis.h"

CPanelModel::CPanelModel(IPanelView& view, ISerialDevice* pDevice, IClock* pClock)
    : m_link(pDevice, pClock), m_view(view), m_pTrace(CLinkTrace::FromEnvironment(m_link.Clock()))
{
    m_link.SetObserver(m_pTrace.get());
}

void CPanelModel::InitState()
{
    ClearLedsAndMarkers();
    m_chSwitch1 = kSwitch1Base;
    m_chSwitch2 = kSwitch2Base;
    m_nPort = 0;
    m_nBaud = 0;
    m_nLinkVariant = 0;
    m_bPermTest = 0;
}

int CPanelModel::Send(const uint8_t* pData, int nLen)
{
    return m_link.SendBlock(pData, nLen, m_nLinkVariant == 1 ? 1 : 0);
}

void CPanelModel::ClearLedsAndMarkers()
{
    m_led.fill(0);
    m_keyDown.fill(0);
}

void CPanelModel::ApplyReport(uint8_t b)
{
    const Report report = DecodeReport(b);
    switch (report.kind) {
    case ReportKind::NoKey:
    case ReportKind::Key:
        m_keyDown.fill(0);
        if (report.kind == ReportKind::Key)
            m_keyDown[report.n] = 1;
        break;
    case ReportKind::Switch1:
        m_chSwitch1 = static_cast<int8_t>(kSwitch1Base + report.n);
        m_view.Invalidate(&g_rcSwitch1, false);
        break;
    case ReportKind::Switch2:
        m_chSwitch2 = static_cast<int8_t>(kSwitch2Base + report.n);
        m_view.Invalidate(&g_rcSwitch2, false);
        break;
    case ReportKind::None: break;
    }
}

bool CPanelModel::LedLit(int nKey) const
{
    const uint8_t state = m_led[nKey];
    return state == kLedOn || (state == kLedFlashing && m_bBlink);
}

// ---------------------------------------------------------------------------------------
// Connecting

void CPanelModel::OnSerialPort()
{
    int nPortChoice = m_nPort;
    int nBaudChoice = m_nBaud;
    m_bPermTest = 0;
    if (m_view.RunSerialDialog(nPortChoice, nBaudChoice)) {
        m_nPort = static_cast<int8_t>(nPortChoice);
        m_nBaud = static_cast<int8_t>(nBaudChoice);
    }
    g_bWasConnected = 0;
    Reconnect();
}

void CPanelModel::OnResetPanel()
{
    m_bPermTest = 0;
    Reconnect();
}

void CPanelModel::Reconnect()
{
    m_link.Close();
    int opened = 0;
    if (m_nBaud == 0)
        opened = m_link.Open(m_nPort + 1, 9600);
    else if (m_nBaud == 1)
        opened = m_link.Open(m_nPort + 1, 19200);
    ClearLedsAndMarkers();
    m_chSwitch1 = kSwitch1Base;
    m_chSwitch2 = kSwitch2Base;
    if (opened != 1) {
        m_link.Close();
        m_view.ShowMessageDetail(
            IDS_PORT_NOT_OPENED,
            PortOpenFailureDetail(m_nPort + 1, m_link.DevicePath(), m_link.LastOpenErrno(), m_link.LastOpenError()));
    }
    if (Handshake() != 0) {
        m_link.Close();
        m_view.ShowMessage(IDS_PANEL_NOT_FOUND);
    }
    for (QString& row : m_strRow)
        row.clear();
    m_view.Invalidate(nullptr, false);
    m_view.UpdateWindow();
}

uint8_t CPanelModel::Handshake()
{
    m_nLinkVariant = 1;
    m_strStatus = LoadString(IDS_DEMO_STATUS);
    if (!m_link.m_bOpen)
        return 0xFF;

    m_bPermTest = 0;
    m_chSwitch1 = kSwitch1Base;
    m_chSwitch2 = kSwitch2Base;

    if (m_link.SendBlock(&kTelegramIdentify, 1, 1) != kBlockDone) {
        m_nLinkVariant = 0;
        if (m_link.SendBlock(&kTelegramIdentify, 1, 0) != kBlockDone) {
            m_link.Close();
            return 0xFF;
        }
    }

    // The panel counts as found once any byte of its reply arrives in time.
    if (!m_link.WaitForInput())
        return 0xFF;

    uint8_t reply[kReplyBufferSize] = {};
    int nCount = 0;
    // A reply too short to hold both positions leaves them unknown rather than reading
    // what an earlier telegram left in the buffer.
    if (m_link.ReceiveBlock(reply, &nCount) == kBlockDone && nCount >= 3) {
        m_chSwitch1 = static_cast<int8_t>(reply[1]);
        m_chSwitch2 = static_cast<int8_t>(reply[2]);
    }

    SendByte(kTelegramLedsOff);
    Send(kTelegramLcdReset);
    m_link.ReceiveBlock(reply, &nCount);
    return 0;
}

// ---------------------------------------------------------------------------------------
// Poll tick

void CPanelModel::OnTimer()
{
    if (g_nBlinkDiv >= 2) {
        g_nBlinkDiv = 0;
        m_bBlink = !m_bBlink;
    } else {
        ++g_nBlinkDiv;
    }

    uint8_t reply[kReplyBufferSize];
    reply[0] = 0;
    int nReplyLen = 0;
    if (m_link.m_bOpen && m_link.BytesWaiting() > 0) {
        m_link.ReceiveBlock(reply, &nReplyLen);
        ApplyReport(reply[0]);
    }

    if (!m_bPermTest)
        g_nPermStep = 0;
    else
        PermanenceStep(reply, &nReplyLen);

    m_view.UpdateWindow();
    m_view.Paint();
}

// ---------------------------------------------------------------------------------------
// Permanence test

void CPanelModel::OnPermTestStart()
{
    m_bPermTest = 1;
    for (int r = 0; r < kLcdRows; ++r)
        m_strRow[r] = LoadString(IDS_PERM_NOTICE_FIRST + r);
    m_view.Invalidate(&g_rcLcd, false);
    m_view.UpdateWindow();
    m_view.Paint();
}

void CPanelModel::OnPermTestStop()
{
    m_bPermTest = 0;
    uint8_t reply[kReplyBufferSize];
    int nReplyLen = 0;
    Send(kTelegramLcdRows);
    m_link.ReceiveBlock(reply, &nReplyLen);
    SendByte(kTelegramLedsOff);
    ClearLedsAndMarkers();
}

void CPanelModel::PermanenceStep(uint8_t* pReply, int* pnReplyLen)
{
    int8_t ch = static_cast<int8_t>(g_chPermCycle + 1);
    if (ch == '=')
        ch = 'A';
    else if (ch == 'M')
        ch = 'Q';
    else if (ch == ']')
        ch = '1';
    g_chPermCycle = ch;

    if (const auto led = LedFromTelegram(static_cast<uint8_t>(ch)))
        m_led[led->nKey] = static_cast<uint8_t>(led->nState);

    SendByte(static_cast<uint8_t>(ch));

    const int32_t s = g_nPermStep;
    const auto cell = CellTelegram((s / kLcdColumns) % kLcdRows, s % kLcdColumns, (s / 128) % 4,
                                   static_cast<uint8_t>(0x80 + s % 128));
    if (!m_link.m_bOpen)
        return;

    if (m_link.BytesWaiting() > 0) {
        m_link.ReceiveBlock(pReply, pnReplyLen);
        ApplyReport(pReply[0]);
    }
    Send(cell.data(), static_cast<int>(cell.size()));
    m_link.ReceiveBlock(pReply, pnReplyLen);
    ApplyReport(pReply[0]);

    g_nPermStep = (s + 1) % kPermStepPeriod;
}

// ---------------------------------------------------------------------------------------
// Key clicks

void CPanelModel::SwitchKeysAt(int x, int y, uint8_t (*next)(uint8_t))
{
    const auto keys = KeysAt(x, y);
    for (int i = 0; i < kKeyCount; ++i) {
        if (!keys[i])
            continue;
        m_led[i] = next(m_led[i]);
        SendByte(LedTelegram(i, m_led[i]));
    }
}

void CPanelModel::OnLButtonDown(int x, int y)
{
    SwitchKeysAt(x, y, [](uint8_t led) -> uint8_t { return led == kLedOff ? kLedOn : kLedOff; });
    if (g_rcLcd.HitsStrictly(x, y))
        OnTextInput();
    m_view.Paint();
}

void CPanelModel::OnRButtonDown(int x, int y)
{
    SwitchKeysAt(x, y, [](uint8_t led) -> uint8_t { return led == kLedFlashing ? kLedOff : kLedFlashing; });
    m_view.Paint();
}

// ---------------------------------------------------------------------------------------
// Text entry

void CPanelModel::OnTextInput()
{
    std::array<QString, kLcdRows> rows = m_strRow;
    if (m_view.RunTextInputDialog(rows)) {
        for (int r = 0; r < kLcdRows; ++r)
            m_strRow[r] = ClampRow(rows[r]);
        m_view.Invalidate(&g_rcLcd, true);
        m_view.UpdateWindow();
        m_view.Paint();
    }

    uint8_t reply[kReplyBufferSize];
    int nReplyLen = 0;
    Send(kTelegramLcdRows);
    m_link.ReceiveBlock(reply, &nReplyLen);
    for (const QString& row : m_strRow) {
        const auto telegram = RowTelegram(row);
        Send(telegram.data(), static_cast<int>(telegram.size()));
        m_link.ReceiveBlock(reply, &nReplyLen);
    }
}

// ---------------------------------------------------------------------------------------
// Paint

bool CPanelModel::CheckLink()
{
    if (m_link.m_bOpen) {
        g_bWasConnected = 1;
        return false;
    }
    if (g_bWasConnected) {
        // Cleared first, so that paints from within the notice's own loop stay quiet.
        g_bWasConnected = 0;
        m_view.ShowMessage(IDS_PANEL_NOT_FOUND);
    }
    if (m_link.m_bOpen) {
        g_bWasConnected = 1;
        return false;
    }
    g_bWasConnected = 0;
    return true;
}
