#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

// The panel's telegram vocabulary: the payloads of blocks, without any framing.
using Telegram = std::vector<uint8_t>;

inline constexpr uint8_t kTelegramIdentify = '#';
inline constexpr uint8_t kTelegramLedsOff = '@';
inline const Telegram kTelegramLcdReset = {'l', '+'};
inline const Telegram kTelegramLcdRows = {'l', '+', '%'};

inline constexpr int kRowTelegramSize = 24;
inline constexpr int kCellTelegramSize = 7;
inline constexpr int kRowMaxChars = 15;

enum LedState : uint8_t { kLedOff = 0, kLedOn = 1, kLedFlashing = 2 };

// '1' + i for on, 'A' + i for off, 'Q' + i for flashing.
uint8_t LedTelegram(int nKey, int nState);

struct LedSetting {
    int nKey;
    int nState;
};
// The key and state an LED telegram sets, for any of the 36 LED telegrams; nothing otherwise.
std::optional<LedSetting> LedFromTelegram(uint8_t ch);

// A selector position n travels and is kept as the base plus n, 0 meaning not known yet.
inline constexpr int8_t kSwitch1Base = '@';
inline constexpr int8_t kSwitch2Base = 'P';

// What the first byte of a telegram from the panel reports: '0' no key pressed, '1' + i key i
// pressed, '@' + n and 'P' + n selector 1 and 2 at position n (1 to 12). Anything else
// reports nothing.
enum class ReportKind { None, NoKey, Key, Switch1, Switch2 };
struct Report {
    ReportKind kind;
    int n; // the key index for Key, the position for Switch1 and Switch2
};
Report DecodeReport(uint8_t b);

// The panel's code for one character: below U+0080 the code plus 0x60, anything else 0x80.
uint8_t PanelCode(char32_t ch);

// Whether the panel's single-byte code page (Windows-1252) has the character.
bool InLcdCodePage(char32_t ch);
// The text with every character that code page lacks replaced by '?', one '?' for each (an
// emoji is one character). The panel code of '?' is 0x9F. A cursor position given in pPos is
// moved along, so that it stays behind the same character.
QString LcdCodePageText(const QString& text, int* pPos = nullptr);

// Number of characters (Unicode code points) in a row, and the row cut to its first
// kRowMaxChars characters. The LCD has 15 cells per row whatever the encoding.
int RowLength(const QString& row);
QString ClampRow(const QString& row);

// "l&", the panel codes of the row, then '#' 0x00 (up to 14 characters) or 0x00 alone (15),
// filled with plain blanks to 24 bytes. Characters past the fifteenth are never sent.
std::array<uint8_t, kRowTelegramSize> RowTelegram(const QString& row);

// The four attribute pairs the panel knows, by index 0..3: "AC", "@C", "AB", "@B".
std::array<uint8_t, kCellTelegramSize> CellTelegram(int nRow, int nColumn, int nAttribute, uint8_t chCode);

// A telegram's bytes in upper-case hex separated by blanks ("4B 41 51"), as the traffic trace
// and the permanence-test reports show them.
QString HexBytes(const QByteArray& bytes);
