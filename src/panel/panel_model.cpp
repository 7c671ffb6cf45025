#include "panel_model.h"

#include "port_config.h"
#include "port_diagnosis.h"

CPanelModel::CPanelModel(IPanelView& view, ISerialDevice* pDevice, IClock* pClock, const CPanelConfig& config)
    : m_driver(pDevice, pClock, config.strTrace), m_view(view), m_ports(config.ports)
{
    m_driver.Stats().onFailedExchange = [this](bool bSent, const uint8_t* pData, int nLen, int nResult) {
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

CPanelDriver& CPanelModel::Sender()
{
    m_driver.SetVariant(m_nLinkVariant == 1 ? 1 : 0);
    return m_driver;
}

int CPanelModel::Send(const uint8_t* pData, int nLen)
{
    return Sender().Send(pData, nLen);
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
    const int nPort = m_nPort + 1;
    bool bOpened = false;
    m_lastConnect = CConnectResult();
    if (m_nBaud == 0 || m_nBaud == 1)
        bOpened = m_driver.Open(nPort, m_ports.ResolveDevice(nPort), m_nBaud == 0 ? 9600 : 19200, &m_lastConnect);
    else
        m_driver.Close();
    ClearLedsAndMarkers();
    m_chSwitch1 = kSwitch1Base;
    m_chSwitch2 = kSwitch2Base;
    if (!bOpened) {
        m_link.Close();
        m_view.ShowMessageDetail(
            IDS_PORT_NOT_OPENED,
            PortOpenFailureDetail(nPort, m_link.DevicePath(), m_link.LastOpenErrno(), m_link.LastOpenError(), m_ports));
    }
    const bool bFound = Handshake() == 0;
    // A run is carried on only by a connect after which the link is up: a panel that answered
    // "#" and then fell silent is lost again, not rejoined.
    if (m_pPermRun)
        m_pPermRun->OnReconnect(bFound && m_link.m_bOpen, m_link.Clock().NowMs64());
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

    const CConnectResult result = m_driver.Handshake();
    m_lastConnect = result;
    m_nLinkVariant = static_cast<int8_t>(result.nVariant);
    if (result.outcome != ConnectOutcome::Found)
        return 0xFF;
    // The window shows the identify reply's bytes as they came, in range or not. A reply too
    // short to hold both leaves them unknown rather than reading what an earlier telegram left.
    if (result.selector1 && result.selector2) {
        m_chSwitch1 = static_cast<int8_t>(*result.selector1);
        m_chSwitch2 = static_cast<int8_t>(*result.selector2);
    }
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
        // The length is read after the receive has stored it: as arguments of one call, the
        // order would be the compiler's, and the record would count a stale length.
        const int nResult = m_link.ReceiveBlock(reply, &nReplyLen);
        NoteReport(nResult, reply, nReplyLen);
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
    Sender().SendTelegram(QByteArray::fromRawData(reinterpret_cast<const char*>(kTelegramLcdRows.data()),
                                                  static_cast<qsizetype>(kTelegramLcdRows.size())),
                          true);
    Sender().LedsOff();
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
    m_pPermRun = std::make_unique<CPermRecord>(where, QDateTime::currentDateTime(), m_link.Clock().NowMs64(),
                                               m_driver.Stats().Counts());
}

void CPanelModel::EndPermRun(const QString& strWhy)
{
    if (!m_pPermRun)
        return;
    m_pPermRun->End(QDateTime::currentDateTime(), m_link.Clock().NowMs64(), m_driver.Stats().Counts(), strWhy);
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
        if (m_driver.Trace())
            m_driver.Trace()->Note(
                QStringLiteral("permanence-test report (%1) written to %2").arg(verdict, m_strLastReport));
        if (m_onReportWritten)
            m_onReportWritten(m_pPermRun->ToJson(), m_strLastReport);
    } else {
        qWarning("kova_en: the permanence-test report was not written: %s", qPrintable(error));
        if (m_driver.Trace())
            m_driver.Trace()->Note(QStringLiteral("permanence-test report (%1) not written: %2").arg(verdict, error));
    }
    m_pLastPermRun = std::move(m_pPermRun);
}

void CPanelModel::NoteReport(int nResult, const uint8_t* pReply, int nReplyLen)
{
    if (m_pPermRun && nResult == kBlockDone && nReplyLen > 0)
        m_pPermRun->OnReport(pReply[0], m_link.Clock().NowMs64());
}

QString CPanelModel::PermRunFigures() const
{
    QStringList lines;
    if (m_pPermRun)
        // One figure a line: a tooltip that narrow stays beside the pointer.
        lines << QStringLiteral("Permanence test: ")
                     + m_pPermRun->Figures(m_link.Clock().NowMs64(), m_driver.Stats().Counts())
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
            m_pPermRun->OnStep(false, m_link.Clock().NowMs64());
        return;
    }

    if (m_link.BytesWaiting() > 0) {
        const int nResult = m_link.ReceiveBlock(pReply, pnReplyLen);
        NoteReport(nResult, pReply, *pnReplyLen);
        ApplyReport(pReply[0]);
    }
    Send(cell.data(), static_cast<int>(cell.size()));
    const int nCellResult = m_link.ReceiveBlock(pReply, pnReplyLen);
    NoteReport(nCellResult, pReply, *pnReplyLen);
    ApplyReport(pReply[0]);

    g_nPermStep = (s + 1) % kPermStepPeriod;
    if (m_pPermRun)
        m_pPermRun->OnStep(true, m_link.Clock().NowMs64());
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
        Sender().SetLed(i + 1, m_led[i]);
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

    Sender().WriteRows(m_strRow);
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
