// Output: strings, characters, line ends, spaces and the integer and floating writes.
#include "kelrt/internal.h"

void _kel_printstring(kel_string s) { kel_put(reinterpret_cast<const char *>(s.b + 1), s.b[0]); }

void _kel_printsymbol(int c) { kel_put_char(static_cast<char>(c)); }
void _kel_newline(void) { kel_put_char('\n'); }
void _kel_space(void) { kel_put_char(' '); }
void _kel_newlines(int count) { kel_put_repeated('\n', count); }
void _kel_spaces(int count) { kel_put_repeated(' ', count); }

void kel_put_layout(const kel_layout *l)
{
    kel_put_repeated(' ', l->pad);
    kel_put(l->head, l->head_len);
    kel_put_repeated('0', l->zeros);
    kel_put(l->tail, l->tail_len);
}

void _kel_write(int value, int places)
{
    kel_layout l;
    kel_int_layout(&l, value, places);
    kel_put_layout(&l);
}

void _kel_writeint(int value, int places) { _kel_write(value, places); }

void _kel_printfl(double x, int places)
{
    kel_layout l;
    kel_float_layout(&l, x, places);
    kel_put_layout(&l);
}
