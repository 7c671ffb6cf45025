#include "panel_driver.h"

#include <algorithm>
#include <utility>

const char* BlockResultText(int nResult)
{
    switch (nResult) {
    case kBlockDone: return "done";
    case kBlockNoByte: return "no byte: a read delivered nothing although input was waiting";
    case kBlockWrongByte: return "refused by the panel, or not a block";
    case kBlockClosed: return "link closed, or the panel did not answer in time";
    default: return "unknown result";
    }
}

CPanelDriver::CPanelDriver(ISerialDevice* pDevice, IClock* pClock, const QString& strTrace) : m_link(pDevice, pClock)
{
    if (!strTrace.isEmpty())
        m_pTrace = std::make_unique<CLinkTrace>(m_link.Clock(), strTrace);
    m_link.AddObserver(m_pTrace.get());
    m_link.AddObserver(&m_stats);
    m_link.AddObserver(this);
}

CPanelDriver::~CPanelDriver()
{
    m_link.SetObserver(nullptr);
}

void CPanelDriver::AddObserver(IPanelDriverObserver* pObserver)
{
    if (pObserver != nullptr && std::find(m_observers.begin(), m_observers.end(), pObserver) == m_observers.end())
        m_observers.push_back(pObserver);
}

void CPanelDriver::RemoveObserver(IPanelDriverObserver* pObserver)
{
    m_observers.erase(std::remove(m_observers.begin(), m_observers.end(), pObserver), m_observers.end());
}

void CPanelDriver::OnLinkLost()
{
    m_state.bLinkUp = false;
    const int64_t tMs = NowMs();
    for (IPanelDriverObserver* pObserver : std::vector<IPanelDriverObserver*>(m_observers))
        pObserver->OnLinkLost(tMs);
}

// ---------------------------------------------------------------------------------------
// Connecting

bool CPanelDriver::Open(int nPort, const std::string& strDevice, int nBaud, CConnectResult* pResult)
{
    m_stats.OnReconnecting();
    m_link.Close();
    m_state = CPanelState();
    m_toldFromReply.reset();
    m_state.nPort = nPort;
    m_state.nBaud = nBaud;
    m_state.strDevice = strDevice;
    if (m_link.Open(strDevice, nBaud) == 1) {
        m_state.bLinkUp = true;
        return true;
    }
    m_link.Close();
    if (pResult != nullptr) {
        pResult->outcome = ConnectOutcome::PortError;
        pResult->strError = QString::fromLocal8Bit(m_link.LastOpenError());
        pResult->nErrno = m_link.LastOpenErrno();
        pResult->bLinkUp = false;
    }
    return false;
}

CConnectResult CPanelDriver::Handshake()
{
    CConnectResult result;
    result.outcome = ConnectOutcome::NotFound;
    m_state.nVariant = 1;
    result.nVariant = 1;
    if (!m_link.m_bOpen)
        return result;

    if (m_link.SendBlock(&kTelegramIdentify, 1, 1) != kBlockDone) {
        m_state.nVariant = result.nVariant = 0;
        if (m_link.SendBlock(&kTelegramIdentify, 1, 0) != kBlockDone) {
            m_link.Close();
            m_state.bLinkUp = false;
            return result;
        }
    }
    // The panel counts as found once any byte of its reply arrives in time. From here on a
    // time-out is the loss of a link that was up, not a panel that was never there.
    if (!m_link.WaitForInput()) {
        m_state.bLinkUp = false;
        return result;
    }
    result.outcome = ConnectOutcome::Found;
    m_stats.OnConnect();

    uint8_t reply[kReplyBufferSize] = {};
    int nCount = 0;
    if (m_link.ReceiveBlock(reply, &nCount) == kBlockDone && nCount >= 3) {
        result.selector1 = reply[1];
        result.selector2 = reply[2];
        const Report s1 = DecodeReport(reply[1]);
        const Report s2 = DecodeReport(reply[2]);
        m_state.nSelector1 = s1.kind == ReportKind::Switch1 ? s1.n : 0;
        m_state.nSelector2 = s2.kind == ReportKind::Switch2 ? s2.n : 0;
    }
    Send(&kTelegramLedsOff, 1);
    Send(kTelegramLcdReset.data(), static_cast<int>(kTelegramLcdReset.size()));
    // Its reply tells a key held down since before the connect, which sends no report of its own.
    if (m_link.ReceiveBlock(reply, &nCount) == kBlockDone && nCount > 0)
        TakeReplyReport(QByteArray(reinterpret_cast<const char*>(reply), nCount));
    m_state.bLinkUp = result.bLinkUp = m_link.m_bOpen != 0;
    return result;
}

CConnectResult CPanelDriver::Connect(int nPort, const std::string& strDevice, int nBaud)
{
    CConnectResult result;
    if (!Open(nPort, strDevice, nBaud, &result))
        return result;
    return Handshake();
}

void CPanelDriver::Close()
{
    m_link.Close();
    m_state.bLinkUp = false;
}

// ---------------------------------------------------------------------------------------
// Telegrams

int CPanelDriver::Send(const uint8_t* pData, int nLen)
{
    return m_link.SendBlock(pData, nLen, m_state.nVariant == 1 ? 1 : 0);
}

CExchange CPanelDriver::ExchangeOnce(const uint8_t* pData, int nLen, bool bWantReply)
{
    CExchange exchange;
    exchange.nSent = Send(pData, nLen);
    if (bWantReply) {
        uint8_t reply[kReplyBufferSize];
        int nCount = 0;
        exchange.nReceived = m_link.ReceiveBlock(reply, &nCount);
        if (*exchange.nReceived == kBlockDone) {
            exchange.reply = QByteArray(reinterpret_cast<const char*>(reply), nCount);
            TakeReplyReport(exchange.reply);
        }
    }
    return exchange;
}

CExchange CPanelDriver::Exchange(const uint8_t* pData, int nLen, bool bWantReply)
{
    CExchange exchange = ExchangeOnce(pData, nLen, bWantReply);
    while (exchange.nSent == kBlockWrongByte && exchange.nTries < m_nTries && m_link.m_bOpen) {
        // The report that crossed the telegram is taken first, so it is neither lost nor in the
        // way of the next try. Bounded: a line that keeps delivering cannot hold the telegram up.
        for (int i = 0; i < 4 && InputWaiting(); ++i)
            Poll();
        const int nTries = exchange.nTries + 1;
        exchange = ExchangeOnce(pData, nLen, bWantReply);
        exchange.nTries = nTries;
    }
    return exchange;
}

CPanelEvent CPanelDriver::Decode(const uint8_t* pData, int nCount) const
{
    CPanelEvent event;
    event.telegram = QByteArray(reinterpret_cast<const char*>(pData), nCount);
    event.tMs = NowMs();
    const Report report = DecodeReport(pData[0]);
    switch (report.kind) {
    case ReportKind::NoKey: event.kind = CPanelEvent::Kind::NoKey; break;
    case ReportKind::Key:
        event.kind = CPanelEvent::Kind::Key;
        event.n = report.n + 1;
        break;
    case ReportKind::Switch1:
        event.kind = CPanelEvent::Kind::Selector1;
        event.n = report.n;
        break;
    case ReportKind::Switch2:
        event.kind = CPanelEvent::Kind::Selector2;
        event.n = report.n;
        break;
    case ReportKind::None: event.kind = CPanelEvent::Kind::Unknown; break;
    }
    return event;
}

void CPanelDriver::TakeReplyReport(const QByteArray& reply)
{
    if (reply.isEmpty())
        return;
    const CPanelEvent event = Decode(reinterpret_cast<const uint8_t*>(reply.constData()), 1);
    const bool bNews = (event.kind == CPanelEvent::Kind::Key || event.kind == CPanelEvent::Kind::NoKey)
                           ? event.n != m_state.nKeyDown
                       : event.kind == CPanelEvent::Kind::Selector1 ? event.n != m_state.nSelector1
                       : event.kind == CPanelEvent::Kind::Selector2 ? event.n != m_state.nSelector2
                                                                    : false;
    if (!bNews)
        return;
    Apply(event);
    m_toldFromReply = event;
    Tell(event);
}

void CPanelDriver::Tell(const CPanelEvent& event)
{
    for (IPanelDriverObserver* pObserver : std::vector<IPanelDriverObserver*>(m_observers))
        pObserver->OnPanelEvent(event);
}

CExchange CPanelDriver::SetLed(int nKeyNumber, int nState)
{
    if (nKeyNumber < 1 || nKeyNumber > kKeyCount || nState < kLedOff || nState > kLedFlashing)
        return {};
    const uint8_t telegram = LedTelegram(nKeyNumber - 1, nState);
    const CExchange exchange = Exchange(&telegram, 1, false);
    m_state.leds[static_cast<size_t>(nKeyNumber - 1)] = static_cast<uint8_t>(nState);
    return exchange;
}

CExchange CPanelDriver::LedsOff()
{
    const CExchange exchange = Exchange(&kTelegramLedsOff, 1, false);
    m_state.leds.fill(kLedOff);
    return exchange;
}

CExchange CPanelDriver::WriteRows(const std::array<QString, kLcdRows>& rows)
{
    CExchange first = Exchange(kTelegramLcdRows.data(), static_cast<int>(kTelegramLcdRows.size()), true);
    CExchange last = first;
    bool bFailed = !first.Ok();
    int nMostTries = first.nTries;
    for (int r = 0; r < kLcdRows; ++r) {
        m_state.rows[static_cast<size_t>(r)] = ClampRow(rows[static_cast<size_t>(r)]);
        const auto telegram = RowTelegram(rows[static_cast<size_t>(r)]);
        last = Exchange(telegram.data(), static_cast<int>(telegram.size()), true);
        nMostTries = std::max(nMostTries, last.nTries);
        if (!bFailed && !last.Ok()) {
            first = last;
            bFailed = true;
        }
    }
    // The tries of the telegram that needed the most, so a reply can tell a crossed line.
    CExchange result = bFailed ? first : last;
    result.nTries = nMostTries;
    return result;
}

CExchange CPanelDriver::WriteCell(int nRow, int nColumn, int nAttribute, uint8_t chCode)
{
    if (nRow < 0 || nRow >= kLcdRows || nColumn < 0 || nColumn >= kLcdColumns || nAttribute < 0 || nAttribute > 3)
        return {};
    const auto telegram = CellTelegram(nRow, nColumn, nAttribute, chCode);
    return Exchange(telegram.data(), static_cast<int>(telegram.size()), true);
}

CExchange CPanelDriver::SendTelegram(const QByteArray& telegram, bool bWantReply)
{
    return Exchange(reinterpret_cast<const uint8_t*>(telegram.constData()), static_cast<int>(telegram.size()),
                    bWantReply);
}

// ---------------------------------------------------------------------------------------
// Reports

bool CPanelDriver::InputWaiting()
{
    return m_link.m_bOpen && m_link.BytesWaiting() > 0;
}

int CPanelDriver::PollDescriptor() const
{
    return m_link.PollDescriptor();
}

CPollResult CPanelDriver::Poll()
{
    CPollResult result;
    if (!InputWaiting())
        return result;
    // A fresh buffer: nothing of an earlier telegram can pass for this one.
    uint8_t reply[kReplyBufferSize] = {};
    int nCount = 0;
    result.bReceived = true;
    result.nResult = m_link.ReceiveBlock(reply, &nCount);
    if (result.nResult != kBlockDone || nCount <= 0)
        return result;
    const CPanelEvent event = Decode(reply, nCount);
    // The same report a reply just carried, now coming alone: it was told already.
    const std::optional<CPanelEvent> told = std::exchange(m_toldFromReply, std::nullopt);
    if (told && told->kind == event.kind && told->n == event.n && event.kind != CPanelEvent::Kind::Unknown)
        return result;
    Apply(event);
    result.event = event;
    Tell(event);
    return result;
}

void CPanelDriver::Apply(const CPanelEvent& event)
{
    switch (event.kind) {
    case CPanelEvent::Kind::NoKey: m_state.nKeyDown = 0; break;
    case CPanelEvent::Kind::Key: m_state.nKeyDown = event.n; break;
    case CPanelEvent::Kind::Selector1: m_state.nSelector1 = event.n; break;
    case CPanelEvent::Kind::Selector2: m_state.nSelector2 = event.n; break;
    case CPanelEvent::Kind::Unknown: break;
    }
}
