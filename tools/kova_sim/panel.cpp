#include "panel.h"

#include <cstdio>

namespace kova_sim {

namespace {

constexpr std::uint8_t kRowTerminatorMark = '#';

bool in(std::uint8_t b, std::uint8_t lo, std::uint8_t hi)
{
    return b >= lo && b <= hi;
}

std::string hexOf(std::span<const std::uint8_t> bytes)
{
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (std::uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 0x0F];
    }
    return s;
}

} // namespace

Panel::Panel()
{
    clearLcd();
}

void Panel::clearLcd()
{
    for (auto& row : m_lcd)
        row.fill(kBlankCode);
}

bool Panel::press(int key)
{
    if (key < 1 || key > kKeys)
        return false;
    m_key = key;
    return true;
}

bool Panel::setSelector(int which, int position)
{
    if (position < 1 || position > 12 || (which != 1 && which != 2))
        return false;
    (which == 1 ? m_sel1 : m_sel2) = position;
    return true;
}

std::uint8_t Panel::keyReport() const
{
    return static_cast<std::uint8_t>('0' + m_key);
}

char Panel::displayChar(std::uint8_t code)
{
    return code >= 0x80 ? static_cast<char>(code - 0x60) : '?';
}

std::string Panel::rowText(int row) const
{
    std::string s;
    for (std::uint8_t code : m_lcd[static_cast<std::size_t>(row)])
        s += displayChar(code);
    return s;
}

std::string Panel::rowHex(int row) const
{
    return hexOf(m_lcd[static_cast<std::size_t>(row)]);
}

std::string Panel::ledString() const
{
    std::string s;
    for (Led l : m_leds)
        s += static_cast<char>('0' + static_cast<int>(l));
    return s;
}

Panel::Reaction Panel::apply(std::span<const std::uint8_t> t)
{
    const std::vector<std::uint8_t> keyReportReply{keyReport()};

    if (t.size() == 1) {
        const std::uint8_t b = t[0];
        if (b == '#')
            return {std::vector<std::uint8_t>{'K', selector1Report(), selector2Report()}, "identify"};
        if (b == '@') {
            m_leds.fill(Led::Off);
            return {std::nullopt, "all LEDs off"};
        }
        if (in(b, '1', '<')) {
            m_leds[b - '1'] = Led::On;
            return {std::nullopt, "LED " + std::to_string(b - '1' + 1) + " on"};
        }
        if (in(b, 'A', 'L')) {
            m_leds[b - 'A'] = Led::Off;
            return {std::nullopt, "LED " + std::to_string(b - 'A' + 1) + " off"};
        }
        if (in(b, 'Q', '\\')) {
            m_leds[b - 'Q'] = Led::Flashing;
            return {std::nullopt, "LED " + std::to_string(b - 'Q' + 1) + " flashing"};
        }
    }
    if (t.size() >= 2 && t[0] == 'l') {
        if (t.size() == 2 && t[1] == '+') {
            // The PC empties its own LCD mirror when it sends this at connect time; clearing here
            // keeps the two pictures the same.
            clearLcd();
            m_nextRow = -1;
            return {keyReportReply, "LCD init (cleared)"};
        }
        if (t.size() == 3 && t[1] == '+' && t[2] == '%') {
            m_nextRow = 0;
            return {keyReportReply, "LCD rows follow"};
        }
        if (t[1] == '&')
            return writeRow(t);
        if (t[1] == 0x27)
            return writeCell(t);
    }
    return {std::nullopt, "not understood, ignored"};
}

Panel::Reaction Panel::writeRow(std::span<const std::uint8_t> t)
{
    // The PC waits for an answer after every row telegram, wanted or not; leaving one out would
    // cost it its link.
    Reaction r{std::vector<std::uint8_t>{keyReport()}, {}};
    if (m_nextRow < 0 || m_nextRow >= kRows) {
        r.what = "row telegram without a preceding l+%, ignored";
        return r;
    }
    auto& row = m_lcd[static_cast<std::size_t>(m_nextRow)];
    row.fill(kBlankCode);
    for (std::size_t i = 2, col = 0; i < t.size() && col < kCols; ++i, ++col) {
        const std::uint8_t b = t[i];
        if (b == 0x00 || b == kRowTerminatorMark)
            break; // '#' is never a panel code, so it can only be the end mark
        row[col] = b;
    }
    r.what = "LCD row " + std::to_string(m_nextRow + 1) + " = \"" + rowText(m_nextRow) + "\"";
    m_nextRow = (m_nextRow + 1 < kRows) ? m_nextRow + 1 : -1;
    return r;
}

Panel::Reaction Panel::writeCell(std::span<const std::uint8_t> t)
{
    Reaction r{std::vector<std::uint8_t>{keyReport()}, {}};
    const bool attrOk = t.size() == 7 && (t[4] == 'A' || t[4] == '@') && (t[5] == 'C' || t[5] == 'B');
    if (t.size() != 7 || !in(t[2], '0', '7') || !in(t[3], '0', '>') || !attrOk || t[6] < 0x80) {
        r.what = "malformed LCD cell telegram, ignored";
        return r;
    }
    const int row = t[2] - '0';
    const int col = t[3] - '0';
    m_lcd[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)] = t[6];
    char buf[64];
    std::snprintf(buf, sizeof buf, "LCD cell %d,%d = %02X (attr %c%c)", row, col, t[6], t[4], t[5]);
    r.what = buf;
    return r;
}

} // namespace kova_sim
