#pragma once

#include <array>
#include <bitset>

// A rectangle in client pixels as (left, top, right, bottom). Hit tests are strict on all
// four sides, so a click on the border line belongs to nothing.
struct CRect {
    int left;
    int top;
    int right;
    int bottom;

    constexpr int Width() const { return right - left; }
    constexpr int Height() const { return bottom - top; }
    constexpr bool HitsStrictly(int x, int y) const { return left < x && x < right && top < y && y < bottom; }
};

struct CPoint {
    int x;
    int y;
};

// Dialog units of the window templates' 8-point font, whose mean character is 6 pixels wide
// and 13 pixels high: a unit is a quarter of the one and an eighth of the other (1.5 and
// 1.625 pixels), rounded to the nearest pixel. Every template size and control rectangle
// becomes pixels here.
constexpr int DluToPixelsX(int nUnits)
{
    return (nUnits * 6 + 2) / 4;
}
constexpr int DluToPixelsY(int nUnits)
{
    return (nUnits * 13 + 4) / 8;
}

inline constexpr int kKeyCount = 12;
inline constexpr int kLcdRows = 8;
inline constexpr int kLcdColumns = 15;

// Where the pictured keys, LCD and selector readouts lie. The keys' row pitch is 51 and then
// 44 pixels, as on the housing.
// clang-format off
inline constexpr std::array<CRect, kKeyCount> g_rcKeys = {{
    {89, 241, 125, 277}, {134, 241, 170, 277}, {179, 241, 215, 277}, {224, 241, 260, 277},
    {89, 292, 125, 328}, {134, 292, 170, 328}, {179, 292, 215, 328}, {224, 292, 260, 328},
    {89, 336, 125, 372}, {134, 336, 170, 372}, {179, 336, 215, 372}, {224, 336, 260, 372},
}};
// clang-format on
inline constexpr CRect g_rcLcd = {76, 60, 264, 188};
inline constexpr CRect g_rcSwitch1 = {100, 382, 140, 412};
inline constexpr CRect g_rcSwitch2 = {220, 382, 260, 412};
// Horizontal centre and top of the selector numbers; the scales' centres, not the readouts'.
inline constexpr CPoint g_ptSwitch1Text = {122, 382};
inline constexpr CPoint g_ptSwitch2Text = {233, 382};

// The selectors' knobs and scales in the picture: the knob's centre lies under the scale's
// centre (g_ptSwitchNText.x) at this height, the numerals on a circle of this radius, the twelve
// positions over 300 degrees clockwise with the gap at the bottom. The art tool draws them from
// these numbers and the report pages mark positions on them.
inline constexpr int kSelectorKnobY = 440;
inline constexpr double kSelectorNumeralRadius = 26.5;
inline constexpr double kSelectorSpanDeg = 300;
// Angle of selector position n (1 to 12), clockwise from straight up, in degrees.
constexpr double SelectorPositionAngle(int n)
{
    return -kSelectorSpanDeg / 2 + (n - 1) * kSelectorSpanDeg / 11.0;
}

// Origin of the LCD mirror's first row and the pitch between rows.
inline constexpr CPoint kLcdTextOrigin = {g_rcLcd.left + 10, g_rcLcd.top + 10};
inline constexpr int kLcdRowPitch = 14;
// Where the demonstration-mode status line starts.
inline constexpr CPoint kStatusTextOrigin = {5, 480};

// Where the panel picture sits in the client area, and its size: the rectangles above are
// client pixels, so the picture has to be drawn here for its keys, LCD and scales to lie under
// them. The art tool draws the picture from these same numbers.
inline constexpr int kPictureLeft = DluToPixelsX(2); // 3 pixels
inline constexpr int kPictureTop = 0;
inline constexpr int kPictureWidth = 340;
inline constexpr int kPictureHeight = 499;

// The keys whose rectangles hold (x, y). Every rectangle is tested, not just up to the first
// hit: the click handlers act on each key hit, so a point on two keys would switch both.
std::bitset<kKeyCount> KeysAt(int x, int y);
