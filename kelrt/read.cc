// Input: characters, and numbers as text: [sign] digits ["." digits] ["@" [sign] digits].
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "kelrt/internal.h"

void _kel_readsymbol(int *c) { *c = kel_take(kel_input()); }
int _kel_nextsymbol(void) { return kel_peek(kel_input()); }
void _kel_skipsymbol(void) { kel_take(kel_input()); }

namespace {

// The number being read; static, since an event may leave the reader at any character.
char *token;
std::size_t token_size, token_len;

void keep(char c)
{
    if (token_len + 2 > token_size) {
        token_size = token_size ? 2 * token_size : 64;
        token = static_cast<char *>(std::realloc(token, token_size));
        if (!token)
            std::abort();
    }
    token[token_len++] = c;
    token[token_len] = 0;
}

bool is_digit(int c) { return c >= '0' && c <= '9'; }

int keep_digits(kel_file *f)
{
    int n = 0;
    for (; is_digit(kel_peek_or_end(f)); n++)
        keep(static_cast<char>(kel_take(f)));
    return n;
}

[[noreturn]] void not_a_number(kel_file *f)
{
    int c = token_len ? token[token_len - 1] : kel_peek_or_end(f);
    kel_raise(KEL_EVENT_DATA, 1, c, "no number in %s at \"%.40s\"", f->name,
              token_len ? token : "");
}

// Whether the next character is c; the end of input ends a number like any other character.
bool next_is(kel_file *f, char c) { return kel_peek_or_end(f) == c; }

// Reads one number's text and returns it in the C form strtod takes ("@" as "e").
// Only the end of input before the number begins is the end-of-input event.
const char *scan_number(kel_file *f)
{
    token_len = 0;
    keep(0);
    token_len = 0;
    while (kel_peek(f) == ' ' || kel_peek(f) == '\n')
        kel_take(f);
    if (next_is(f, '-') || next_is(f, '+'))
        keep(static_cast<char>(kel_take(f)));
    int digits = keep_digits(f);
    if (next_is(f, '.')) {
        keep(static_cast<char>(kel_take(f)));
        digits += keep_digits(f);
    }
    if (digits == 0)
        not_a_number(f);
    if (next_is(f, '@')) {
        kel_take(f);
        keep('e');
        if (next_is(f, '-') || next_is(f, '+'))
            keep(static_cast<char>(kel_take(f)));
        if (keep_digits(f) == 0)
            not_a_number(f);
    }
    return token;
}

[[noreturn]] void out_of_range(kel_file *f, const char *text)
{
    kel_raise(KEL_EVENT_DATA, 2, 0, "number out of range in %s: %.40s", f->name, text);
}

}  // namespace

void _kel_readint(int *value)
{
    kel_file *f = kel_input();
    const char *text = scan_number(f);
    double v = std::strtod(text, nullptr);
    if (!(v >= -2147483648.0 && v <= 2147483647.0))
        out_of_range(f, text);
    if (v != std::floor(v))
        kel_raise(KEL_EVENT_DATA, 1, 0, "not a whole number in %s: %.40s", f->name, text);
    *value = static_cast<int>(v);
}

// The text is rounded once, straight to a 32-bit real.
void _kel_readfloat(float *value)
{
    kel_file *f = kel_input();
    const char *text = scan_number(f);
    float v = std::strtof(text, nullptr);
    if (std::isinf(v))
        out_of_range(f, text);
    *value = v;
}
