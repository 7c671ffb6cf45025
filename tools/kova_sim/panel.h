// What the virtual panel holds and how it reacts to the telegrams the PC sends it. No framing
// and no timing here: one accepted telegram in, at most one reply telegram out.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kova_sim {

enum class Led : std::uint8_t { Off = 0, On = 1, Flashing = 2 };

class Panel {
public:
    static constexpr int kKeys = 12;
    static constexpr int kRows = 8;
    static constexpr int kCols = 15;
    // Panel code of a blank cell; also what the PC turns every character it cannot send into.
    static constexpr std::uint8_t kBlankCode = 0x80;

    struct Reaction {
        std::optional<std::vector<std::uint8_t>> reply;
        std::string what; // one line for the log
    };

    Panel();

    Reaction apply(std::span<const std::uint8_t> telegram);

    // Physical controls, driven by commands or the interactive keys. Out-of-range values are
    // refused with false and leave everything as it was.
    bool press(int key);
    void release() { m_key = 0; }
    bool setSelector(int which, int position);

    Led led(int index) const { return m_leds[static_cast<std::size_t>(index)]; }
    int key() const { return m_key; }
    int selector1() const { return m_sel1; }
    int selector2() const { return m_sel2; }
    std::uint8_t cell(int row, int col) const
    {
        return m_lcd[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)];
    }
    // Row -1: the next row telegram would be ignored; 0..7: it fills that row.
    int nextRow() const { return m_nextRow; }

    // What the key report telegram carries right now: '0', or '1' + index of the held key.
    std::uint8_t keyReport() const;
    std::uint8_t selector1Report() const { return static_cast<std::uint8_t>('A' + m_sel1 - 1); }
    std::uint8_t selector2Report() const { return static_cast<std::uint8_t>('Q' + m_sel2 - 1); }

    // The character a cell shows: panel code minus 0x60. Codes below 0x80 never come from the PC's
    // encoder; they show as '?' rather than as a control character.
    static char displayChar(std::uint8_t code);
    std::string rowText(int row) const;
    std::string rowHex(int row) const;
    std::string ledString() const; // 12 characters of '0', '1', '2'

private:
    Reaction writeRow(std::span<const std::uint8_t> telegram);
    Reaction writeCell(std::span<const std::uint8_t> telegram);
    void clearLcd();

    std::array<Led, kKeys> m_leds{};
    std::array<std::array<std::uint8_t, kCols>, kRows> m_lcd{};
    int m_key = 0;
    int m_sel1 = 1;
    int m_sel2 = 1;
    int m_nextRow = -1;
};

} // namespace kova_sim
