#include "block_format.h"

std::vector<uint8_t> DoubleDles(std::span<const uint8_t> data)
{
    std::vector<uint8_t> line;
    line.reserve(data.size() + 3);
    for (const uint8_t b : data) {
        line.push_back(b);
        if (b == kDle)
            line.push_back(kDle);
    }
    return line;
}

uint8_t BlockCheck(std::span<const uint8_t> line, int nVariant)
{
    uint8_t bcc = 0;
    for (const uint8_t b : line)
        bcc ^= b;
    return bcc ^ (nVariant == 1 ? kBccConstantVariant1 : kBccConstantVariant0);
}

std::vector<uint8_t> BlockTail(std::span<const uint8_t> data, int nVariant)
{
    std::vector<uint8_t> tail = DoubleDles(data);
    const uint8_t bcc = BlockCheck(tail, nVariant);
    tail.push_back(kDle);
    tail.push_back(kEtx);
    tail.push_back(bcc);
    return tail;
}
