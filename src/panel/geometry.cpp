#include "geometry.h"

std::bitset<kKeyCount> KeysAt(int x, int y)
{
    std::bitset<kKeyCount> keys;
    for (int i = 0; i < kKeyCount; ++i)
        keys[i] = g_rcKeys[i].HitsStrictly(x, y);
    return keys;
}
