#include "telegrams.h"

#include <QList>

uint8_t LedTelegram(int nKey, int nState)
{
    switch (nState) {
    case kLedOn: return static_cast<uint8_t>('1' + nKey);
    case kLedFlashing: return static_cast<uint8_t>('Q' + nKey);
    default: return static_cast<uint8_t>('A' + nKey);
    }
}

namespace {

// Every range of the vocabulary holds one character per key or per selector position.
constexpr int kRangeSize = 12;

bool InRange(uint8_t b, int first)
{
    return b >= first && b < first + kRangeSize;
}

} // namespace

std::optional<LedSetting> LedFromTelegram(uint8_t ch)
{
    if (InRange(ch, '1'))
        return LedSetting{ch - '1', kLedOn};
    if (InRange(ch, 'A'))
        return LedSetting{ch - 'A', kLedOff};
    if (InRange(ch, 'Q'))
        return LedSetting{ch - 'Q', kLedFlashing};
    return std::nullopt;
}

Report DecodeReport(uint8_t b)
{
    if (b == '0')
        return {ReportKind::NoKey, 0};
    if (InRange(b, '1'))
        return {ReportKind::Key, b - '1'};
    if (InRange(b, kSwitch1Base + 1))
        return {ReportKind::Switch1, b - kSwitch1Base};
    if (InRange(b, kSwitch2Base + 1))
        return {ReportKind::Switch2, b - kSwitch2Base};
    return {ReportKind::None, 0};
}

uint8_t PanelCode(char32_t ch)
{
    return ch < 0x80 ? static_cast<uint8_t>(ch + 0x60) : 0x80;
}

bool InLcdCodePage(char32_t ch)
{
    // Between 0x80 and 0x9F the code page holds typographic characters instead of the C1
    // controls; the five codes it leaves unassigned stand for the controls of the same number.
    static constexpr char16_t kHigh[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
    };
    if (ch < 0x80 || (ch >= 0xA0 && ch <= 0xFF))
        return true;
    for (char16_t high : kHigh)
        if (ch == high)
            return true;
    return false;
}

QString LcdCodePageText(const QString& text, int* pPos)
{
    QString result;
    result.reserve(text.size());
    int nPos = -1;
    for (qsizetype i = 0; i < text.size();) {
        if (pPos != nullptr && nPos < 0 && i >= *pPos)
            nPos = static_cast<int>(result.size());
        const bool bPair = text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
        const char32_t ch = bPair ? QChar::surrogateToUcs4(text[i], text[i + 1]) : text[i].unicode();
        // A lone surrogate is no character at all, and not in the code page either.
        result += InLcdCodePage(ch) ? QChar(static_cast<char16_t>(ch)) : QChar(u'?');
        i += bPair ? 2 : 1;
    }
    if (pPos != nullptr)
        *pPos = nPos < 0 ? static_cast<int>(result.size()) : nPos;
    return result;
}

int RowLength(const QString& row)
{
    return static_cast<int>(row.toUcs4().size());
}

QString ClampRow(const QString& row)
{
    const QList<uint> chars = row.toUcs4();
    if (chars.size() <= kRowMaxChars)
        return row;
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(chars.constData()), kRowMaxChars);
}

std::array<uint8_t, kRowTelegramSize> RowTelegram(const QString& row)
{
    std::array<uint8_t, kRowTelegramSize> telegram;
    telegram.fill(' ');
    telegram[0] = 'l';
    telegram[1] = '&';
    const QList<uint> chars = row.toUcs4();
    const int n = chars.size() < kRowMaxChars ? static_cast<int>(chars.size()) : kRowMaxChars;
    for (int i = 0; i < n; ++i)
        telegram[2 + i] = PanelCode(chars[i]);
    if (n < kRowMaxChars) {
        telegram[n + 2] = '#';
        telegram[n + 3] = 0x00;
    } else {
        telegram[n + 2] = 0x00;
    }
    return telegram;
}

std::array<uint8_t, kCellTelegramSize> CellTelegram(int nRow, int nColumn, int nAttribute, uint8_t chCode)
{
    static constexpr char kAttributes[4][2] = {{'A', 'C'}, {'@', 'C'}, {'A', 'B'}, {'@', 'B'}};
    const int a = nAttribute & 3;
    // clang-format off
    return {'l', 0x27, static_cast<uint8_t>('0' + nRow), static_cast<uint8_t>('0' + nColumn),
            static_cast<uint8_t>(kAttributes[a][0]), static_cast<uint8_t>(kAttributes[a][1]), chCode};
    // clang-format on
}

QString HexBytes(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}
