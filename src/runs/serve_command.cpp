#include "serve_command.h"

#include "telegrams.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QStringList>

#include <cmath>
#include <cstring>
#include <initializer_list>

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
// Fields

namespace {

// Reads a command's fields; the first that is refused is kept, and the command with it, so the
// reply names what is wrong first, field by field in the order they are read.
class CFields {
public:
    explicit CFields(const QJsonObject& object) : m_object(object) {}

    const QString& Error() const { return m_strError; }

    // A whole number from lo to hi; a missing field is refused unless a fallback is given.
    int64_t Whole(const char* pszKey, int64_t lo, int64_t hi, std::optional<int64_t> fallback = std::nullopt)
    {
        const QJsonValue value = m_object.value(QLatin1String(pszKey));
        if (value.isUndefined())
            return fallback ? *fallback : Missing(pszKey);
        const double d = value.toDouble(std::nan(""));
        if (!value.isDouble() || !std::isfinite(d) || d != std::floor(d) || d < static_cast<double>(lo)
            || d > static_cast<double>(hi))
            return Refuse(
                QStringLiteral("\"%1\" takes a whole number from %2 to %3").arg(QLatin1String(pszKey)).arg(lo).arg(hi));
        return static_cast<int64_t>(d);
    }

    // The index of the field's word in words.
    template <size_t N>
    int Word(const char* pszKey, const char* const (&words)[N])
    {
        const QJsonValue value = m_object.value(QLatin1String(pszKey));
        if (value.isUndefined())
            return static_cast<int>(Missing(pszKey));
        for (size_t i = 0; i < N; ++i)
            if (value.isString() && value.toString() == QLatin1String(words[i]))
                return static_cast<int>(i);
        QStringList quoted;
        for (const char* word : words)
            quoted << QStringLiteral("\"%1\"").arg(QLatin1String(word));
        return static_cast<int>(
            Refuse(QStringLiteral("\"%1\" takes %2").arg(QLatin1String(pszKey), quoted.join(QStringLiteral(", ")))));
    }

    bool Flag(const char* pszKey)
    {
        const QJsonValue value = m_object.value(QLatin1String(pszKey));
        if (value.isUndefined())
            return false;
        if (!value.isBool())
            return Refuse(QStringLiteral("\"%1\" takes true or false").arg(QLatin1String(pszKey))) != 0;
        return value.toBool();
    }

    // "6C 2B" or "6c2b": pairs of hex digits, blanks between the pairs.
    QByteArray Hex()
    {
        const QJsonValue value = m_object.value(QLatin1String("hex"));
        if (value.isUndefined()) {
            Missing("hex");
            return {};
        }
        const QString why =
            QStringLiteral("\"hex\" takes 1 to %1 bytes as pairs of hex digits (\"6C 2B\")").arg(kServeMaxTelegram);
        if (!value.isString()) {
            Refuse(why);
            return {};
        }
        QByteArray bytes;
        int nHigh = -1;
        for (const QChar ch : value.toString()) {
            if (ch == QLatin1Char(' ') && nHigh < 0)
                continue;
            const int nDigit = HexDigit(ch.unicode());
            if (nDigit < 0) {
                Refuse(why);
                return {};
            }
            if (nHigh < 0) {
                nHigh = nDigit;
            } else {
                bytes.append(static_cast<char>(nHigh << 4 | nDigit));
                nHigh = -1;
            }
            if (bytes.size() > kServeMaxTelegram) {
                Refuse(why);
                return {};
            }
        }
        if (nHigh >= 0 || bytes.isEmpty()) {
            Refuse(why);
            return {};
        }
        return bytes;
    }

    // The rows of a "text" command as the text entry would send them: characters the panel's
    // code page lacks become '?', as they do in the dialog; a row longer than the LCD is refused
    // rather than cut, since a script that sends one has a mistake in it.
    std::array<QString, kLcdRows> Rows()
    {
        std::array<QString, kLcdRows> rows;
        const QJsonValue value = m_object.value(QLatin1String("rows"));
        if (value.isUndefined()) {
            Missing("rows");
            return rows;
        }
        const QString why =
            QStringLiteral("\"rows\" takes up to %1 strings of up to %2 characters").arg(kLcdRows).arg(kRowMaxChars);
        const QJsonArray array = value.toArray();
        if (!value.isArray() || array.size() > kLcdRows) {
            Refuse(why);
            return rows;
        }
        for (qsizetype i = 0; i < array.size(); ++i) {
            if (!array[i].isString()) {
                Refuse(why);
                return rows;
            }
            const QString row = LcdCodePageText(array[i].toString());
            if (RowLength(row) > kRowMaxChars) {
                Refuse(QStringLiteral("row %1 has %2 characters; the LCD shows %3")
                           .arg(i + 1)
                           .arg(RowLength(row))
                           .arg(kRowMaxChars));
                return rows;
            }
            rows[static_cast<size_t>(i)] = row;
        }
        return rows;
    }

    // A refusal that is not about one field's value.
    void Reject(const QString& why) { Refuse(why); }
    bool Contains(const char* pszKey) const { return m_object.contains(QLatin1String(pszKey)); }

private:
    static int HexDigit(char16_t c)
    {
        if (c >= u'0' && c <= u'9')
            return c - u'0';
        if (c >= u'a' && c <= u'f')
            return c - u'a' + 10;
        if (c >= u'A' && c <= u'F')
            return c - u'A' + 10;
        return -1;
    }
    int64_t Missing(const char* pszKey)
    {
        return Refuse(QStringLiteral("missing field \"%1\"").arg(QLatin1String(pszKey)));
    }
    int64_t Refuse(const QString& why)
    {
        if (m_strError.isEmpty())
            m_strError = why;
        return 0;
    }

    const QJsonObject& m_object;
    QString m_strError;
};

struct CCommandEntry {
    const char* pszName;
    CServeCommand::Kind kind;
    std::initializer_list<const char*> fields;
};

const CCommandEntry kCommands[] = {
    {"led", CServeCommand::Kind::Led, {"key", "state"}},
    {"leds_off", CServeCommand::Kind::LedsOff, {}},
    {"text", CServeCommand::Kind::Text, {"rows"}},
    {"cell", CServeCommand::Kind::Cell, {"row", "column", "attr", "code"}},
    {"send", CServeCommand::Kind::Send, {"hex", "reply"}},
    {"state", CServeCommand::Kind::State, {}},
    {"wait", CServeCommand::Kind::Wait, {"for", "value", "timeout_ms"}},
    {"stats", CServeCommand::Kind::Stats, {}},
    {"connect", CServeCommand::Kind::Connect, {}},
    {"close", CServeCommand::Kind::Close, {}},
    {"quit", CServeCommand::Kind::Quit, {}},
};

// Every field of the command, each checked before anything goes on the line.
QString ReadFields(const QJsonObject& object, CServeCommand& c)
{
    CFields f(object);
    switch (c.kind) {
    case CServeCommand::Kind::Led:
        c.nKey = static_cast<int>(f.Whole("key", 1, kKeyCount));
        c.nState = f.Word("state", kLedWords);
        break;
    case CServeCommand::Kind::Text: c.rows = f.Rows(); break;
    case CServeCommand::Kind::Cell:
        c.nRow = static_cast<int>(f.Whole("row", 0, kLcdRows - 1));
        c.nColumn = static_cast<int>(f.Whole("column", 0, kLcdColumns - 1));
        c.nAttribute = f.Word("attr", kAttributeWords);
        c.chCode = static_cast<uint8_t>(f.Whole("code", 128, 255));
        break;
    case CServeCommand::Kind::Send:
        c.telegram = f.Hex();
        c.bReply = f.Flag("reply");
        break;
    case CServeCommand::Kind::Wait:
        c.nFor = f.Word("for", kWaitWords);
        if (f.Error().isEmpty() && c.nFor == 1) {
            if (f.Contains("value"))
                f.Reject(QStringLiteral("a wait for \"release\" takes no \"value\""));
        } else {
            c.nValue = static_cast<int>(f.Whole("value", 1, 12, 0));
        }
        c.nTimeoutMs = f.Whole("timeout_ms", 0, kServeMaxWaitMs);
        break;
    case CServeCommand::Kind::LedsOff:
    case CServeCommand::Kind::State:
    case CServeCommand::Kind::Stats:
    case CServeCommand::Kind::Connect:
    case CServeCommand::Kind::Close:
    case CServeCommand::Kind::Quit: break;
    }
    return f.Error();
}

} // namespace

CServeParse ParseServeLine(const QByteArray& text)
{
    CServeParse parse;
    const auto refuse = [&parse](const QString& why) {
        parse.strError = why;
        return parse;
    };
    // Checked before parsing, so the reply can say what is wrong with the line.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(text); // decoding happens on the conversion
    (void)decoded;
    if (decoder.hasError())
        return refuse(QStringLiteral("not valid UTF-8; a command is one JSON object per line"));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError)
        return refuse(QStringLiteral("not JSON: %1 at byte %2").arg(error.errorString()).arg(error.offset));
    if (!document.isObject())
        return refuse(QStringLiteral("not a JSON object; a command is one object per line"));
    const QJsonObject object = document.object();
    const QJsonValue id = object.value(QLatin1String("id"));
    if (!id.isUndefined() && !id.isString() && !(id.isDouble() && std::isfinite(id.toDouble())))
        return refuse(QStringLiteral("\"id\" takes a number or a string"));
    parse.id = id;
    const QJsonValue cmd = object.value(QLatin1String("cmd"));
    if (!cmd.isString())
        return refuse(cmd.isUndefined() ? QStringLiteral("missing field \"cmd\"")
                                        : QStringLiteral("\"cmd\" takes a string"));
    const QString strCmd = cmd.toString();
    const CCommandEntry* pEntry = nullptr;
    QStringList names;
    for (const CCommandEntry& entry : kCommands) {
        names << QLatin1String(entry.pszName);
        if (strCmd == QLatin1String(entry.pszName))
            pEntry = &entry;
    }
    if (pEntry == nullptr)
        return refuse(
            QStringLiteral("unknown command \"%1\"; known: %2").arg(strCmd, names.join(QStringLiteral(", "))));
    // A field the command does not know is most likely a misspelt one: refused, not ignored.
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString key = it.key();
        bool bKnown = key == QLatin1String("id") || key == QLatin1String("cmd");
        for (const char* field : pEntry->fields)
            bKnown = bKnown || key == QLatin1String(field);
        if (!bKnown)
            return refuse(QStringLiteral("unknown field \"%1\" for \"%2\"").arg(key, strCmd));
    }
    CServeCommand command;
    command.kind = pEntry->kind;
    command.id = id;
    if (const QString why = ReadFields(object, command); !why.isEmpty())
        return refuse(why);
    parse.command = command;
    return parse;
}
