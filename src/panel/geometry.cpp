#include "geometry.h"

int KeyAt(int x, int y)
{
    for (int i = 0; i < kKeyCount; ++i) {
        if (g_rcKeys[i].HitsStrictly(x, y))
            return i;
    }
    return -1;
}
