#include "serve_session.h"

#include "perm_report.h"
#include "port_config.h"
#include "run_console.h"

#include <QJsonArray>
#include <QJsonObject>

namespace {

QJsonValue LedWord(uint8_t nState)
{
    return QLatin1String(nState < std::size(kLedWords) ? kLedWords[nState] : "off");
}

} // namespace

// ---------------------------------------------------------------------------------------
// The session

CServeSession::CServeSession(CPanelDriver& driver, int nPort, int nBaud, std::function<std::string(int)> resolveDevice)
    : m_driver(driver), m_nPort(nPort), m_nBaud(nBaud), m_resolveDevice(std::move(resolveDevice)),
      m_nStartMs(driver.NowMs())
{
    // A report crossing a telegram is the panel's doing, not the script's: the telegram is sent
    // again, and the reply says how often it went.
    m_driver.SetTries(kCrossedTries);
    m_driver.AddObserver(this);
}

CServeSession::~CServeSession()
{
    m_driver.RemoveObserver(this);
}

QByteArray CServeSession::Take()
{
    QByteArray out;
    out.swap(m_out);
    return out;
}

CConnectResult CServeSession::Connect()
{
    // A time-out inside the handshake closes the link as a loss; but a link that never came up
    // was not lost, and the connect's own answer says how it went.
    m_bConnecting = true;
    // The port setup is read anew at each connect, as the window does.
    const CConnectResult result = m_driver.Connect(m_nPort, m_resolveDevice(m_nPort), m_nBaud);
    m_bConnecting = false;
    return result;
}

void CServeSession::AddConnect(CJsonLine& line, const CConnectResult& result) const
{
    const CPanelState& state = m_driver.State();
    line.Add("found", result.outcome == ConnectOutcome::Found)
        .Add("link", result.Connected())
        .Add("variant", state.nVariant)
        .Add("selector1", state.nSelector1)
        .Add("selector2", state.nSelector2);
}

QByteArray CServeSession::Start(const QString& strVersion)
{
    const CConnectResult result = Connect();
    // A key held down since before the connect is told by the handshake; the hello comes first.
    const QByteArray heard = Take();
    m_bPortError = result.outcome == ConnectOutcome::PortError;
    CJsonLine line;
    line.Add("event", QStringLiteral("hello"))
        .Add("protocol", kServeProtocol)
        .Add("version", strVersion)
        .Add("port", QStringLiteral("COM%1").arg(m_nPort))
        .Add("device", PathFromBytes(QByteArray::fromStdString(m_driver.State().strDevice)))
        .Add("baud", m_nBaud);
    AddConnect(line, result);
    if (m_bPortError)
        line.Add("error", result.strError);
    m_out += line.Text() + heard;
    return Take();
}

CJsonLine CServeSession::ReplyLine(const QJsonValue& id)
{
    CJsonLine line;
    if (!id.isUndefined())
        line.Add("id", id);
    return line;
}

void CServeSession::Refuse(const QJsonValue& id, const QString& why)
{
    m_out += ReplyLine(id).Add("ok", false).Add("error", why).Text();
}

void CServeSession::ExchangeReply(const CServeCommand& request, const CExchange& exchange, const QByteArray& extraKey)
{
    CJsonLine line = ReplyLine(request.id);
    line.Add("ok", exchange.Ok()).Add("result", exchange.Result()).Add("tries", exchange.nTries);
    if (!exchange.Ok())
        line.Add("error", QString::fromLatin1(BlockResultText(exchange.Result())));
    else if (!extraKey.isEmpty())
        line.Add(extraKey.constData(), HexBytes(exchange.reply));
    m_out += line.Text();
}

QByteArray CServeSession::HandleLine(const QByteArray& line)
{
    if (m_bQuit)
        return {};
    Serve(line);
    return Take();
}

QByteArray CServeSession::TooLongLine()
{
    Refuse(QJsonValue::Undefined,
           QStringLiteral("line longer than %1 bytes; skipped up to its newline").arg(kServeMaxLine));
    return Take();
}

void CServeSession::Serve(const QByteArray& text)
{
    const CServeParse parse = ParseServeLine(text);
    if (!parse.command) {
        Refuse(parse.id, parse.strError);
        return;
    }
    const CServeCommand& c = *parse.command;
    switch (c.kind) {
    case CServeCommand::Kind::Led: OnLed(c); break;
    case CServeCommand::Kind::LedsOff: OnLedsOff(c); break;
    case CServeCommand::Kind::Text: OnText(c); break;
    case CServeCommand::Kind::Cell: OnCell(c); break;
    case CServeCommand::Kind::Send: OnSend(c); break;
    case CServeCommand::Kind::State: OnState(c); break;
    case CServeCommand::Kind::Wait: OnWait(c); break;
    case CServeCommand::Kind::Stats: OnStats(c); break;
    case CServeCommand::Kind::Connect: OnConnect(c); break;
    case CServeCommand::Kind::Close: OnClose(c); break;
    case CServeCommand::Kind::Quit: OnQuit(c); break;
    }
}

// ---------------------------------------------------------------------------------------
// Commands. Each validates all its fields before anything goes on the line.

void CServeSession::OnLed(const CServeCommand& request)
{
    ExchangeReply(request, m_driver.SetLed(request.nKey, request.nState));
}

void CServeSession::OnLedsOff(const CServeCommand& request)
{
    ExchangeReply(request, m_driver.LedsOff());
}

void CServeSession::OnText(const CServeCommand& request)
{
    ExchangeReply(request, m_driver.WriteRows(request.rows));
}

void CServeSession::OnCell(const CServeCommand& request)
{
    ExchangeReply(request, m_driver.WriteCell(request.nRow, request.nColumn, request.nAttribute, request.chCode));
}

void CServeSession::OnSend(const CServeCommand& request)
{
    ExchangeReply(request, m_driver.SendTelegram(request.telegram, request.bReply), request.bReply ? "reply" : "");
}

void CServeSession::OnState(const CServeCommand& request)
{
    const CPanelState& state = m_driver.State();
    QJsonArray leds;
    for (uint8_t nLed : state.leds)
        leds.append(LedWord(nLed));
    QJsonArray rows;
    for (const QString& row : state.rows)
        rows.append(row);
    CJsonLine line = ReplyLine(request.id);
    line.Add("ok", true)
        .Add("link", state.bLinkUp)
        .Add("variant", state.nVariant)
        .Add("port", QStringLiteral("COM%1").arg(m_nPort))
        .Add("device", PathFromBytes(QByteArray::fromStdString(state.strDevice)))
        .Add("baud", m_nBaud)
        .Add("leds", leds)
        .Add("key", state.nKeyDown)
        .Add("selector1", state.nSelector1)
        .Add("selector2", state.nSelector2)
        .Add("rows", rows);
    m_out += line.Text();
}

void CServeSession::OnWait(const CServeCommand& request)
{
    static const CPanelEvent::Kind kKinds[] = {CPanelEvent::Kind::Key, CPanelEvent::Kind::NoKey,
                                               CPanelEvent::Kind::Selector1, CPanelEvent::Kind::Selector2};
    if (m_waits.size() >= kServeMaxWaits) {
        Refuse(request.id, QStringLiteral("too many pending waits: at most %1 at once; this one is refused, the "
                                          "others still stand")
                               .arg(kServeMaxWaits));
        return;
    }
    m_waits.push_back(
        CWait{request.id, request.nFor, kKinds[request.nFor], request.nValue, m_driver.NowMs() + request.nTimeoutMs});
}

void CServeSession::OnStats(const CServeCommand& request)
{
    CJsonLine line = ReplyLine(request.id);
    line.Add("ok", true);
    const QJsonObject counts = LinkCountsJson(m_driver.Stats().Counts());
    for (auto it = counts.begin(); it != counts.end(); ++it)
        line.Add(it.key().toLatin1().constData(), it.value());
    line.Add("connects", static_cast<qint64>(m_driver.Stats().Counts().nConnects));
    m_out += line.Text();
}

void CServeSession::OnConnect(const CServeCommand& request)
{
    const QByteArray before = Take();
    const CConnectResult result = Connect();
    const QByteArray heard = Take();
    m_out += before;
    if (result.Connected())
        m_out += CJsonLine()
                     .Add("event", QStringLiteral("link_up"))
                     .Add("t_ms", static_cast<qint64>(SinceStartMs(m_driver.NowMs())))
                     .Text();
    m_out += heard;
    CJsonLine line = ReplyLine(request.id);
    line.Add("ok", result.Connected());
    AddConnect(line, result);
    if (result.outcome == ConnectOutcome::PortError)
        line.Add("error", QStringLiteral("the port could not be opened: %1").arg(result.strError));
    else if (!result.Connected())
        line.Add("error", ConnectFailure(result));
    m_out += line.Text();
}

void CServeSession::OnClose(const CServeCommand& request)
{
    m_driver.Close();
    CJsonLine line = ReplyLine(request.id);
    line.Add("ok", true);
    m_out += line.Text();
}

void CServeSession::OnQuit(const CServeCommand& request)
{
    m_bQuit = true;
    CJsonLine line = ReplyLine(request.id);
    line.Add("ok", true);
    m_out += line.Text();
}

// ---------------------------------------------------------------------------------------
// Reports and waits

void CServeSession::OnPanelEvent(const CPanelEvent& event)
{
    // A wait whose time ran out while a command held the line was over before this report came:
    // it gets its time-out, never the report.
    ExpireWaitsAt(event.tMs);
    const int64_t tMs = SinceStartMs(event.tMs);
    CJsonLine line;
    switch (event.kind) {
    case CPanelEvent::Kind::Key: line.Add("event", QStringLiteral("key")).Add("key", event.n); break;
    case CPanelEvent::Kind::NoKey: line.Add("event", QStringLiteral("release")); break;
    case CPanelEvent::Kind::Selector1:
    case CPanelEvent::Kind::Selector2:
        line.Add("event", QStringLiteral("selector"))
            .Add("which", event.kind == CPanelEvent::Kind::Selector1 ? 1 : 2)
            .Add("position", event.n);
        break;
    case CPanelEvent::Kind::Unknown:
        line.Add("event", QStringLiteral("report")).Add("telegram", HexBytes(event.telegram));
        break;
    }
    line.Add("t_ms", static_cast<qint64>(tMs));
    m_out += line.Text();

    for (auto it = m_waits.begin(); it != m_waits.end();) {
        if (it->kind != event.kind || (it->nValue != 0 && it->nValue != event.n)) {
            ++it;
            continue;
        }
        CJsonLine reply = ReplyLine(it->id);
        reply.Add("ok", true).Add("for", QLatin1String(kWaitWords[it->nFor]));
        if (event.kind == CPanelEvent::Kind::Key)
            reply.Add("key", event.n);
        else if (event.kind != CPanelEvent::Kind::NoKey)
            reply.Add("position", event.n);
        reply.Add("t_ms", static_cast<qint64>(tMs));
        m_out += reply.Text();
        it = m_waits.erase(it);
    }
}

void CServeSession::OnLinkLost(int64_t tMs)
{
    if (m_bConnecting)
        return;
    m_out += CJsonLine()
                 .Add("event", QStringLiteral("link_lost"))
                 .Add("t_ms", static_cast<qint64>(SinceStartMs(tMs)))
                 .Text();
    // Nothing more will come from this link: a wait would otherwise hang until its time-out.
    for (const CWait& wait : m_waits)
        Refuse(wait.id, QStringLiteral("link lost: the panel stopped answering or its line went away"));
    m_waits.clear();
}

QByteArray CServeSession::Poll()
{
    // Bounded, so a line that keeps delivering bytes the link cannot make a block of still lets
    // commands through; what is left is taken on the next round.
    for (int i = 0; i < 64 && m_driver.InputWaiting(); ++i)
        m_driver.Poll();
    return Take();
}

QByteArray CServeSession::EndWaits(const QString& why)
{
    for (const CWait& wait : m_waits)
        Refuse(wait.id, why);
    m_waits.clear();
    return Take();
}

QByteArray CServeSession::ExpireWaits()
{
    ExpireWaitsAt(m_driver.NowMs());
    return Take();
}

void CServeSession::ExpireWaitsAt(int64_t nNow)
{
    for (auto it = m_waits.begin(); it != m_waits.end();) {
        if (it->nDeadlineMs > nNow) {
            ++it;
            continue;
        }
        Refuse(it->id, QStringLiteral("timeout"));
        it = m_waits.erase(it);
    }
}

std::optional<int64_t> CServeSession::NextDeadline() const
{
    std::optional<int64_t> next;
    for (const CWait& wait : m_waits)
        if (!next || wait.nDeadlineMs < *next)
            next = wait.nDeadlineMs;
    return next;
}
