// Number text and string resolution.
#include <cstring>

#include "kelrt/internal.h"

kel_string _kel_itos(int value, int places)
{
    kel_layout l;
    kel_int_layout(&l, value, places);
    return kel_layout_string(&l);
}

kel_string rtos(float x, int before, int places)
{
    kel_layout l;
    kel_fixed_layout(&l, x, before, places);
    return kel_layout_string(&l);
}

unsigned char *_kel_length(kel_string *s) { return s->b; }

// Splits at the first occurrence of the separator. Without a left part the source must
// begin with the separator; without a right part the left part is all before it.
int _kel_resolve(kel_string source, kel_string *left, kel_string separator, kel_string *right)
{
    int n = source.b[0], k = separator.b[0];
    int at = -1;
    for (int i = 0; i + k <= n && at < 0; i++)
        if (std::memcmp(source.b + 1 + i, separator.b + 1, k) == 0)
            at = i;
    if (at < 0 || (!left && at != 0))
        return 0;
    if (left) {
        std::memcpy(left->b + 1, source.b + 1, at);
        left->b[0] = static_cast<unsigned char>(at);
    }
    if (right) {
        int rest = n - at - k;
        std::memmove(right->b + 1, source.b + 1 + at + k, rest);
        right->b[0] = static_cast<unsigned char>(rest);
    }
    return 1;
}
