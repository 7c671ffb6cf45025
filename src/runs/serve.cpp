#include "serve.h"

#include "headless.h"
#include "kova_version.h"
#include "perm_report.h"
#include "port_config.h"
#include "port_diagnosis.h"
#include "run_console.h"
#include "safe_file.h"
#include "stop_signals.h"
#include "string_table.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSocketNotifier>
#include <QStringDecoder>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <memory>
#ifndef _WIN32
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// ---------------------------------------------------------------------------------------
// Lines

CJsonLine& CJsonLine::Add(const char* pszKey, const QJsonValue& value)
{
    if (m_text.size() > 1)
        m_text += ',';
    m_text += '"';
    m_text += pszKey;
    m_text += "\":";
    // Qt writes the value; wrapped in an array, since a document holds no bare value.
    const QByteArray wrapped = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    m_text += QByteArrayView(wrapped).sliced(1, wrapped.size() - 2);
    return *this;
}

void CLineSplitter::Feed(const char* pData, qsizetype nLen, const Sink& sink)
{
    const char* const pEnd = pData + nLen;
    while (pData < pEnd) {
        const char* pNewline = static_cast<const char*>(std::memchr(pData, '\n', static_cast<size_t>(pEnd - pData)));
        const char* pStop = pNewline != nullptr ? pNewline : pEnd;
        if (!m_bSkipping) {
            m_line.append(pData, pStop - pData);
            if (m_line.size() > kServeMaxLine) {
                // Answered now, while its start is all that is known of it; the rest is dropped.
                m_line.clear();
                m_line.squeeze();
                m_bSkipping = true;
                sink(QByteArray(), true);
            }
        }
        if (pNewline == nullptr)
            return;
        if (!m_bSkipping) {
            if (m_line.endsWith('\r'))
                m_line.chop(1);
            sink(m_line, false);
        }
        m_line.clear();
        m_bSkipping = false;
        pData = pNewline + 1;
    }
}

void CLineSplitter::Finish(const Sink& sink)
{
    if (!m_bSkipping && !m_line.isEmpty())
        sink(m_line, false);
    m_line.clear();
    m_bSkipping = false;
}

// ---------------------------------------------------------------------------------------
// Reading commands

struct CServeSession::CRequest {
    QJsonValue id; // Undefined when the command carried none
    QString strCmd;
    QJsonObject object;
};

namespace {

const char* const kLedWords[] = {"off", "on", "flash"};
const char* const kAttributeWords[] = {"AC", "@C", "AB", "@B"};
const char* const kWaitWords[] = {"key", "release", "selector1", "selector2"};

// A refusal of a command's field, carried up to the one place that writes the reply.
struct CFieldError {
    QString why;
};

// A whole number from lo to hi in field key; a missing field is refused unless a fallback is given.
int64_t WholeNumber(const QJsonObject& object, const char* pszKey, int64_t lo, int64_t hi,
                    std::optional<int64_t> fallback = std::nullopt)
{
    const QJsonValue value = object.value(QLatin1String(pszKey));
    if (value.isUndefined()) {
        if (fallback)
            return *fallback;
        throw CFieldError{QStringLiteral("missing field \"%1\"").arg(QLatin1String(pszKey))};
    }
    const double d = value.toDouble(std::nan(""));
    if (!value.isDouble() || !std::isfinite(d) || d != std::floor(d) || d < static_cast<double>(lo)
        || d > static_cast<double>(hi))
        throw CFieldError{
            QStringLiteral("\"%1\" takes a whole number from %2 to %3").arg(QLatin1String(pszKey)).arg(lo).arg(hi)};
    return static_cast<int64_t>(d);
}

// The index of field key's word in words.
template <size_t N>
int Word(const QJsonObject& object, const char* pszKey, const char* const (&words)[N])
{
    const QJsonValue value = object.value(QLatin1String(pszKey));
    if (value.isUndefined())
        throw CFieldError{QStringLiteral("missing field \"%1\"").arg(QLatin1String(pszKey))};
    for (size_t i = 0; i < N; ++i)
        if (value.isString() && value.toString() == QLatin1String(words[i]))
            return static_cast<int>(i);
    QStringList quoted;
    for (const char* word : words)
        quoted << QStringLiteral("\"%1\"").arg(QLatin1String(word));
    throw CFieldError{QStringLiteral("\"%1\" takes %2").arg(QLatin1String(pszKey), quoted.join(QStringLiteral(", ")))};
}

bool Flag(const QJsonObject& object, const char* pszKey)
{
    const QJsonValue value = object.value(QLatin1String(pszKey));
    if (value.isUndefined())
        return false;
    if (!value.isBool())
        throw CFieldError{QStringLiteral("\"%1\" takes true or false").arg(QLatin1String(pszKey))};
    return value.toBool();
}

int HexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// "6C 2B" or "6c2b": pairs of hex digits, blanks between the pairs.
QByteArray HexTelegram(const QJsonObject& object)
{
    const QJsonValue value = object.value(QLatin1String("hex"));
    if (value.isUndefined())
        throw CFieldError{QStringLiteral("missing field \"hex\"")};
    const QString why =
        QStringLiteral("\"hex\" takes 1 to %1 bytes as pairs of hex digits (\"6C 2B\")").arg(kServeMaxTelegram);
    if (!value.isString())
        throw CFieldError{why};
    QByteArray bytes;
    int nHigh = -1;
    for (const QChar ch : value.toString()) {
        if (ch == QLatin1Char(' ') && nHigh < 0)
            continue;
        const int nDigit = HexDigit(ch.unicode());
        if (nDigit < 0)
            throw CFieldError{why};
        if (nHigh < 0) {
            nHigh = nDigit;
        } else {
            bytes.append(static_cast<char>(nHigh << 4 | nDigit));
            nHigh = -1;
        }
        if (bytes.size() > kServeMaxTelegram)
            throw CFieldError{why};
    }
    if (nHigh >= 0 || bytes.isEmpty())
        throw CFieldError{why};
    return bytes;
}

// The rows of a "text" command as the text entry would send them: characters the panel's code
// page lacks become '?', as they do in the dialog; a row longer than the LCD is refused rather
// than cut, since a script that sends one has a mistake in it.
std::array<QString, kLcdRows> TextRows(const QJsonObject& object)
{
    const QJsonValue value = object.value(QLatin1String("rows"));
    if (value.isUndefined())
        throw CFieldError{QStringLiteral("missing field \"rows\"")};
    const QString why =
        QStringLiteral("\"rows\" takes up to %1 strings of up to %2 characters").arg(kLcdRows).arg(kRowMaxChars);
    const QJsonArray array = value.toArray();
    if (!value.isArray() || array.size() > kLcdRows)
        throw CFieldError{why};
    std::array<QString, kLcdRows> rows;
    for (qsizetype i = 0; i < array.size(); ++i) {
        if (!array[i].isString())
            throw CFieldError{why};
        const QString row = LcdCodePageText(array[i].toString());
        if (RowLength(row) > kRowMaxChars)
            throw CFieldError{QStringLiteral("row %1 has %2 characters; the LCD shows %3")
                                  .arg(i + 1)
                                  .arg(RowLength(row))
                                  .arg(kRowMaxChars)};
        rows[static_cast<size_t>(i)] = row;
    }
    return rows;
}

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

void CServeSession::ExchangeReply(const CRequest& request, const CExchange& exchange, const QByteArray& extraKey)
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
    m_out += Serve(line);
    return Take();
}

QByteArray CServeSession::TooLongLine()
{
    Refuse(QJsonValue::Undefined,
           QStringLiteral("line longer than %1 bytes; skipped up to its newline").arg(kServeMaxLine));
    return Take();
}

QByteArray CServeSession::Serve(const QByteArray& text)
{
    // Checked before parsing, so the reply can say what is wrong with the line.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(text); // decoding happens on the conversion
    (void)decoded;
    if (decoder.hasError()) {
        Refuse(QJsonValue::Undefined, QStringLiteral("not valid UTF-8; a command is one JSON object per line"));
        return {};
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError) {
        Refuse(QJsonValue::Undefined,
               QStringLiteral("not JSON: %1 at byte %2").arg(error.errorString()).arg(error.offset));
        return {};
    }
    if (!document.isObject()) {
        Refuse(QJsonValue::Undefined, QStringLiteral("not a JSON object; a command is one object per line"));
        return {};
    }
    CRequest request;
    request.object = document.object();
    const QJsonValue id = request.object.value(QLatin1String("id"));
    if (!id.isUndefined() && !id.isString() && !(id.isDouble() && std::isfinite(id.toDouble()))) {
        Refuse(QJsonValue::Undefined, QStringLiteral("\"id\" takes a number or a string"));
        return {};
    }
    request.id = id;
    const QJsonValue cmd = request.object.value(QLatin1String("cmd"));
    if (!cmd.isString()) {
        Refuse(id,
               cmd.isUndefined() ? QStringLiteral("missing field \"cmd\"") : QStringLiteral("\"cmd\" takes a string"));
        return {};
    }
    request.strCmd = cmd.toString();

    struct CCommand {
        const char* pszName;
        void (CServeSession::*handler)(const CRequest&);
        std::initializer_list<const char*> fields;
    };
    static const CCommand kCommands[] = {
        {"led", &CServeSession::OnLed, {"key", "state"}},
        {"leds_off", &CServeSession::OnLedsOff, {}},
        {"text", &CServeSession::OnText, {"rows"}},
        {"cell", &CServeSession::OnCell, {"row", "column", "attr", "code"}},
        {"send", &CServeSession::OnSend, {"hex", "reply"}},
        {"state", &CServeSession::OnState, {}},
        {"wait", &CServeSession::OnWait, {"for", "value", "timeout_ms"}},
        {"stats", &CServeSession::OnStats, {}},
        {"connect", &CServeSession::OnConnect, {}},
        {"close", &CServeSession::OnClose, {}},
        {"quit", &CServeSession::OnQuit, {}},
    };
    const CCommand* pCommand = nullptr;
    QStringList names;
    for (const CCommand& command : kCommands) {
        names << QLatin1String(command.pszName);
        if (request.strCmd == QLatin1String(command.pszName))
            pCommand = &command;
    }
    if (pCommand == nullptr) {
        Refuse(
            id,
            QStringLiteral("unknown command \"%1\"; known: %2").arg(request.strCmd, names.join(QStringLiteral(", "))));
        return {};
    }
    // A field the command does not know is most likely a misspelt one: refused, not ignored.
    for (auto it = request.object.begin(); it != request.object.end(); ++it) {
        const QString key = it.key();
        bool bKnown = key == QLatin1String("id") || key == QLatin1String("cmd");
        for (const char* field : pCommand->fields)
            bKnown = bKnown || key == QLatin1String(field);
        if (!bKnown) {
            Refuse(id, QStringLiteral("unknown field \"%1\" for \"%2\"").arg(key, request.strCmd));
            return {};
        }
    }
    try {
        (this->*pCommand->handler)(request);
    } catch (const CFieldError& refusal) {
        Refuse(id, refusal.why);
    }
    return {};
}

// ---------------------------------------------------------------------------------------
// Commands. Each validates all its fields before anything goes on the line.

void CServeSession::OnLed(const CRequest& request)
{
    const int nKey = static_cast<int>(WholeNumber(request.object, "key", 1, kKeyCount));
    const int nState = Word(request.object, "state", kLedWords);
    ExchangeReply(request, m_driver.SetLed(nKey, nState));
}

void CServeSession::OnLedsOff(const CRequest& request)
{
    ExchangeReply(request, m_driver.LedsOff());
}

void CServeSession::OnText(const CRequest& request)
{
    ExchangeReply(request, m_driver.WriteRows(TextRows(request.object)));
}

void CServeSession::OnCell(const CRequest& request)
{
    const int nRow = static_cast<int>(WholeNumber(request.object, "row", 0, kLcdRows - 1));
    const int nColumn = static_cast<int>(WholeNumber(request.object, "column", 0, kLcdColumns - 1));
    const int nAttribute = Word(request.object, "attr", kAttributeWords);
    const auto chCode = static_cast<uint8_t>(WholeNumber(request.object, "code", 128, 255));
    ExchangeReply(request, m_driver.WriteCell(nRow, nColumn, nAttribute, chCode));
}

void CServeSession::OnSend(const CRequest& request)
{
    const QByteArray telegram = HexTelegram(request.object);
    const bool bReply = Flag(request.object, "reply");
    ExchangeReply(request, m_driver.SendTelegram(telegram, bReply), bReply ? "reply" : "");
}

void CServeSession::OnState(const CRequest& request)
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

void CServeSession::OnWait(const CRequest& request)
{
    static const CPanelEvent::Kind kKinds[] = {CPanelEvent::Kind::Key, CPanelEvent::Kind::NoKey,
                                               CPanelEvent::Kind::Selector1, CPanelEvent::Kind::Selector2};
    const int nFor = Word(request.object, "for", kWaitWords);
    CWait wait{request.id, nFor, kKinds[nFor], 0, 0};
    if (wait.kind == CPanelEvent::Kind::NoKey) {
        if (request.object.contains(QLatin1String("value")))
            throw CFieldError{QStringLiteral("a wait for \"release\" takes no \"value\"")};
    } else {
        wait.nValue = static_cast<int>(WholeNumber(request.object, "value", 1, 12, 0));
    }
    wait.nDeadlineMs = m_driver.NowMs() + WholeNumber(request.object, "timeout_ms", 0, kServeMaxWaitMs);
    m_waits.push_back(wait);
}

void CServeSession::OnStats(const CRequest& request)
{
    CJsonLine line = ReplyLine(request.id);
    line.Add("ok", true);
    const QJsonObject counts = LinkCountsJson(m_driver.Stats().Counts());
    for (auto it = counts.begin(); it != counts.end(); ++it)
        line.Add(it.key().toLatin1().constData(), it.value());
    line.Add("connects", static_cast<qint64>(m_driver.Stats().Counts().nConnects));
    m_out += line.Text();
}

void CServeSession::OnConnect(const CRequest& request)
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

void CServeSession::OnClose(const CRequest& request)
{
    m_driver.Close();
    CJsonLine line = ReplyLine(request.id);
    line.Add("ok", true);
    m_out += line.Text();
}

void CServeSession::OnQuit(const CRequest& request)
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

// ---------------------------------------------------------------------------------------
// The session on standard input and output

#ifndef _WIN32
namespace {

// Standard output as a descriptor that never blocks. A pipe, a FIFO or a terminal is opened
// anew through /proc, so the non-blocking mode belongs to this program's own open file and not
// to the one it shares with the shell or the script that started it; a socket is written with
// MSG_DONTWAIT; a regular file never holds a writer up. Where the reopen fails, writes are cut
// to PIPE_BUF bytes and made only when poll() says the pipe takes them, which a pipe then takes
// whole without blocking.
class CServeOutput {
public:
    CServeOutput()
    {
        struct stat st = {};
        if (::fstat(STDOUT_FILENO, &st) != 0)
            return;
        if (S_ISSOCK(st.st_mode)) {
            m_mode = Mode::Socket;
        } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
            const int fd = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
            if (fd >= 0) {
                m_fd = fd;
                m_mode = Mode::Reopened;
            } else {
                m_mode = Mode::Slices;
            }
        }
    }
    ~CServeOutput()
    {
        if (m_mode == Mode::Reopened)
            ::close(m_fd);
    }
    CServeOutput(const CServeOutput&) = delete;
    CServeOutput& operator=(const CServeOutput&) = delete;

    int Descriptor() const { return m_fd; }

    // What the reader took of nLen bytes: -1 with errno EAGAIN when it takes nothing now.
    ssize_t WriteSome(const char* p, size_t nLen)
    {
        switch (m_mode) {
        case Mode::Socket: return ::send(m_fd, p, nLen, MSG_DONTWAIT | MSG_NOSIGNAL);
        case Mode::Slices: {
            pollfd fd = {m_fd, POLLOUT, 0};
            if (::poll(&fd, 1, 0) == 0) {
                errno = EAGAIN;
                return -1;
            }
            return ::write(m_fd, p, std::min<size_t>(nLen, PIPE_BUF));
        }
        case Mode::Reopened:
        case Mode::Plain: break;
        }
        return ::write(m_fd, p, nLen);
    }

private:
    enum class Mode { Plain, Reopened, Socket, Slices };
    int m_fd = STDOUT_FILENO;
    Mode m_mode = Mode::Plain;
};

// Standard input and the serial port are both watched by descriptor, so a command is read as it
// arrives and a report the moment its block is on the line, with no tick between. Replies and
// events go into a queue that is written as standard output takes it: a slow reader holds up
// neither the panel's reports nor a stop signal.
class CServeLoop : public QObject {
public:
    CServeLoop(CServeSession& session, CPanelDriver& driver, std::FILE* pErr)
        : m_session(session), m_driver(driver), m_pErr(pErr)
    {
        connect(&m_input, &QSocketNotifier::activated, this, [this] { OnInput(); });
        m_outputReady.setEnabled(false);
        connect(&m_outputReady, &QSocketNotifier::activated, this, [this] { Flush(); });
        m_waitTimer.setSingleShot(true);
        m_waitTimer.setTimerType(Qt::PreciseTimer);
        connect(&m_waitTimer, &QTimer::timeout, this, [this] {
            Write(m_session.ExpireWaits());
            Rearm();
        });
        OnStopSignal(this, [this](int) { End(0); });
    }

    // Runs until the input ends, a stop signal, "quit" or a reader that went away.
    int Run()
    {
        Rearm();
        if (m_bRunning)
            m_loop.exec();
        return m_nStatus;
    }

    // Queues lines for standard output and writes what it takes now; false, and the loop ends,
    // when the reader went away or stopped taking them for good.
    bool Write(const QByteArray& lines)
    {
        if (!m_bOutput)
            return false;
        m_queue += lines;
        Flush();
        if (m_bOutput && m_queue.size() - m_nHead > kServeMaxQueued) {
            Print(m_pErr, QStringLiteral("kova_en: standard output has fallen %1 MiB behind; its reader is taken "
                                         "as gone, and the session ends\n")
                              .arg(kServeMaxQueued / (1024 * 1024)));
            m_bOutput = false;
            End(2);
        }
        return m_bOutput;
    }

    // Bytes written to standard output but not yet taken by it.
    qsizetype Queued() const { return m_queue.size() - m_nHead; }

private:
    void Flush()
    {
        while (m_bOutput && m_nHead < m_queue.size()) {
            const ssize_t n =
                m_output.WriteSome(m_queue.constData() + m_nHead, static_cast<size_t>(m_queue.size() - m_nHead));
            if (n > 0) {
                m_nHead += n;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                m_outputReady.setEnabled(m_bRunning);
                return;
            }
            // The reader is gone: nobody is left to serve.
            m_bOutput = false;
            End(2);
            return;
        }
        m_outputReady.setEnabled(false);
        if (m_nHead >= m_queue.size()) {
            m_queue.clear();
            m_nHead = 0;
        } else if (m_nHead > 64 * 1024 && m_nHead > m_queue.size() / 2) {
            m_queue.remove(0, m_nHead);
            m_nHead = 0;
        }
    }

    void OnInput()
    {
        // One read per readiness: it never blocks, and a flood of input still leaves room for
        // the port's reports between two reads. Standard input keeps its blocking mode, which it
        // shares with the shell that started the program.
        char buffer[64 * 1024];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        const auto sink = [this](const QByteArray& line, bool bTooLong) {
            if (!m_bRunning || m_session.QuitAsked())
                return;
            Write(bTooLong ? m_session.TooLongLine() : m_session.HandleLine(line));
            Write(m_session.Poll());
        };
        if (n < 0) {
            // Not the end of the input: what the script sent may be lost, so it is no clean end.
            Print(m_pErr, QStringLiteral("kova_en: standard input could not be read: %1\n")
                              .arg(QString::fromLocal8Bit(std::strerror(errno))));
            End(2);
            return;
        }
        if (n == 0) {
            m_splitter.Finish(sink);
            End(0);
            return;
        }
        m_splitter.Feed(buffer, n, sink);
        if (m_session.QuitAsked())
            End(0);
        Rearm();
    }

    void OnPort()
    {
        Write(m_session.Poll());
        Rearm();
    }

    // The port's notifier follows the driver's descriptor, which a connect, a close or a lost
    // link changes; the wait timer follows the earliest pending wait.
    void Rearm()
    {
        if (!m_bRunning)
            return;
        const int fd = m_driver.PollDescriptor();
        if (fd != m_nPortFd) {
            m_pPort.reset();
            m_nPortFd = fd;
            if (fd >= 0) {
                m_pPort = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
                connect(m_pPort.get(), &QSocketNotifier::activated, this, [this] { OnPort(); });
            }
        }
        if (const std::optional<int64_t> deadline = m_session.NextDeadline()) {
            const int64_t nIn = std::max<int64_t>(0, *deadline - m_driver.NowMs());
            m_waitTimer.start(static_cast<int>(std::min<int64_t>(nIn, kServeMaxWaitMs)));
        } else {
            m_waitTimer.stop();
        }
    }

    // Ends at once, whatever the queue holds: the pending waits are answered as far as standard
    // output takes them now, and nothing waits for a reader that does not read.
    void End(int nStatus)
    {
        if (!m_bRunning)
            return;
        m_bRunning = false;
        m_nStatus = std::max(m_nStatus, nStatus);
        if (m_bOutput) {
            m_queue += m_session.EndWaits(QStringLiteral("the session ended before the panel reported it"));
            Flush();
        }
        m_input.setEnabled(false);
        m_outputReady.setEnabled(false);
        m_pPort.reset();
        m_waitTimer.stop();
        m_loop.exit(m_nStatus);
    }

    CServeSession& m_session;
    CPanelDriver& m_driver;
    std::FILE* m_pErr;
    CServeOutput m_output;
    QSocketNotifier m_input{STDIN_FILENO, QSocketNotifier::Read};
    QSocketNotifier m_outputReady{m_output.Descriptor(), QSocketNotifier::Write};
    std::unique_ptr<QSocketNotifier> m_pPort;
    int m_nPortFd = -1;
    QTimer m_waitTimer;
    QEventLoop m_loop;
    CLineSplitter m_splitter;
    QByteArray m_queue;
    qsizetype m_nHead = 0;
    bool m_bRunning = true;
    bool m_bOutput = true;
    int m_nStatus = 0;
};

} // namespace
#endif

int RunServe(const CCommandLine& commandLine, std::FILE* pErr)
{
#ifdef _WIN32
    Print(pErr, QStringLiteral("kova_en: --serve is not available on Windows\n"));
    (void)commandLine;
    return 2;
#else
    if (!CatchStopSignals(true))
        Print(pErr, QStringLiteral("kova_en: cannot catch SIGINT, SIGTERM and SIGHUP\n"));
    const CPortSetup ports = SetUpPorts(commandLine, pErr);

    CPanelDriver driver(nullptr, nullptr, commandLine.strTrace);
    CServeSession session(driver, commandLine.nPort, commandLine.nBaud,
                          [&ports](int nPort) { return ports.ResolveDevice(nPort); });
    CServeLoop loop(session, driver, pErr);
    const bool bSaid = loop.Write(session.Start(QStringLiteral(KOVA_VERSION)));
    if (session.PortError()) {
        Print(pErr, QStringLiteral("kova_en: COM%1: %2\n%3\n")
                        .arg(commandLine.nPort)
                        .arg(LoadString(IDS_PORT_NOT_OPENED),
                             OpenFailureDetail(driver.Link().DevicePath(), driver.Link().LastOpenErrno(),
                                               driver.Link().LastOpenError())));
        return 2;
    }
    if (!bSaid)
        return 2;
    const int nStatus = loop.Run();
    driver.Close();
    return nStatus;
#endif
}
