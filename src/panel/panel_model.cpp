#include "panel_model.h"

#include "port_diagnosis.h"

CPanelModel::CPanelModel(IPanelView& view, ISerialDevice* pDevice, IClock* pClock)
    : m_link(pDevice, pClock), m_view(view), m_pTrace(CLinkTrace::FromEnvironment(m_link.Clock()))
{
    m_link.AddObserver(m_pTrace.get());
    m_link.AddObserver(&m_stats);
    m_stats.onFailedExchange = [this](bool bSent, const uint8_t* pData, int nLen, int nResult) {
        if (m_pPermRun)
            m_pPermRun->OnFailedExchange(m_link.Clock().NowMs64(), bSent, pData, nLen, nResult);
    };
}

CPanelModel::~CPanelModel()
{
    EndPermRun(QStringLiteral("program end"));
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
    if (!m_bPermRunSpansConnects)
        EndPermRun(QStringLiteral("connect"));
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
    if (!m_bPermRunSpansConnects)
        EndPermRun(QStringLiteral("connect"));
    Reconnect();
}

void CPanelModel::Reconnect()
{
    m_stats.OnReconnecting();
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
    const bool bFound = Handshake() == 0;
    if (bFound)
        m_stats.OnConnect();
    if (m_pPermRun)
        m_pPermRun->OnReconnect(bFound);
    if (!bFound) {
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
        NoteReport(m_link.ReceiveBlock(reply, &nReplyLen), reply, nReplyLen);
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
    BeginPermRun();
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
    EndPermRun(m_strPermStopReason);
}

void CPanelModel::BeginPermRun()
{
    if (m_pPermRun)
        return;
    CPermRecord::Where where;
    where.nPort = m_nPort + 1;
    where.strDevice = QString::fromStdString(m_link.DevicePath());
    where.nBaud = m_nBaud == 1 ? 19200 : 9600;
    where.nVariant = m_nLinkVariant;
    m_pPermRun =
        std::make_unique<CPermRecord>(where, QDateTime::currentDateTime(), m_link.Clock().NowMs64(), m_stats.Counts());
}

void CPanelModel::EndPermRun(const QString& strWhy)
{
    if (!m_pPermRun)
        return;
    m_pPermRun->End(QDateTime::currentDateTime(), m_link.Clock().NowMs64(), m_stats.Counts(), strWhy);
    if (!m_bWriteReports) {
        m_pLastPermRun = std::move(m_pPermRun);
        return;
    }
    // A name of the program's own is taken exclusively, so two runs that started in the same
    // second on the same port keep a report each.
    const bool bOwnName = m_strReportPath.isEmpty();
    const QString folder = bOwnName ? ReportFolder() : QString();
    const QString path = bOwnName
                             ? (folder.isEmpty() ? QString() : folder + QLatin1Char('/') + m_pPermRun->ReportFileName())
                             : m_strReportPath;
    QString error = path.isEmpty() ? NoReportFolderText() : QString();
    const QString verdict = m_pPermRun->ToJson().value(QStringLiteral("verdict")).toString();
    m_strLastReport = path.isEmpty() ? QString() : WritePermReport(*m_pPermRun, path, bOwnName, &error);
    m_strLastReportError = m_strLastReport.isEmpty() ? error : QString();
    if (!m_strLastReport.isEmpty()) {
        if (m_pTrace)
            m_pTrace->Note(QStringLiteral("permanence-test report (%1) written to %2").arg(verdict, m_strLastReport));
    } else {
        qWarning("kova_en: the permanence-test report was not written: %s", qPrintable(error));
        if (m_pTrace)
            m_pTrace->Note(QStringLiteral("permanence-test report (%1) not written: %2").arg(verdict, error));
    }
    m_pLastPermRun = std::move(m_pPermRun);
}

void CPanelModel::NoteReport(int nResult, const uint8_t* pReply, int nReplyLen)
{
    if (m_pPermRun && nResult == kBlockDone && nReplyLen > 0)
        m_pPermRun->OnReport(pReply[0]);
}

QString CPanelModel::PermRunFigures() const
{
    QStringList lines;
    if (m_pPermRun)
        // One figure a line: a tooltip that narrow stays beside the pointer.
        lines << QStringLiteral("Permanence test: ")
                     + m_pPermRun->Figures(m_link.Clock().NowMs64(), m_stats.Counts())
                           .replace(QStringLiteral(", "), QStringLiteral("\n"));
    if (!m_strLastReport.isEmpty())
        lines << QStringLiteral("Last report: ") + m_strLastReport;
    return lines.join(QLatin1Char('\n'));
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
    if (!m_link.m_bOpen) {
        if (m_pPermRun)
            m_pPermRun->OnStep(false);
        return;
    }

    if (m_link.BytesWaiting() > 0) {
        NoteReport(m_link.ReceiveBlock(pReply, pnReplyLen), pReply, *pnReplyLen);
        ApplyReport(pReply[0]);
    }
    Send(cell.data(), static_cast<int>(cell.size()));
    NoteReport(m_link.ReceiveBlock(pReply, pnReplyLen), pReply, *pnReplyLen);
    ApplyReport(pReply[0]);

    g_nPermStep = (s + 1) % kPermStepPeriod;
    if (m_pPermRun)
        m_pPermRun->OnStep(true);
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
