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

uint8_t PanelCode(char32_t ch)
{
    return ch < 0x80 ? static_cast<uint8_t>(ch + 0x60) : 0x80;
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
