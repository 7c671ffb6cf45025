#pragma once

#include <cstdint>
#include <span>
#include <vector>

// The bytes of a block, worked out apart from any line: the block procedure writes what these
// return, and the tests check them against sequences worked out by hand.

// Block procedure control bytes.
inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEtx = 0x03;
inline constexpr uint8_t kDle = 0x10;

// The constants folded into the BCC of a sent block, by block-check variant.
inline constexpr uint8_t kBccConstantVariant0 = 0x11; // STX ^ DLE ^ ETX
inline constexpr uint8_t kBccConstantVariant1 = 0x13; // DLE ^ ETX

// The data as it travels: every data DLE doubled, so that only DLE ETX can end the block.
std::vector<uint8_t> DoubleDles(std::span<const uint8_t> data);

// The BCC of a block whose data travels as `line`: the XOR of its bytes (a doubled DLE counts
// twice and so cancels) and the variant's constant. Variant 1 takes 0x13, anything else 0x11.
uint8_t BlockCheck(std::span<const uint8_t> line, int nVariant);

// Everything the PC sends after the panel's DLE: the data with its DLEs doubled, DLE ETX and
// the BCC.
std::vector<uint8_t> BlockTail(std::span<const uint8_t> data, int nVariant);
