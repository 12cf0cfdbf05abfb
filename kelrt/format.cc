// Number layouts: the integer write, the floating form with "@" and the fixed form.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kelrt/internal.h"

namespace {

// Digits beyond these are zeros for every value of the type, so they need no formatting.
enum { FLOAT_DIGITS_FORMATTED = 800, FIXED_DIGITS_FORMATTED = 1000 };

void clear(kel_layout *l)
{
    l->pad = l->zeros = 0;
    l->head_len = l->tail_len = 0;
}

void append(kel_layout *l, const char *text, int n)
{
    std::memcpy(l->head + l->head_len, text, n);
    l->head_len += n;
}

void append_char(kel_layout *l, char c) { l->head[l->head_len++] = c; }

// Infinities and NaNs in the sign position of the layout: " Inf", "-Inf", " NaN".
bool non_finite(kel_layout *l, double x, bool sign_position)
{
    if (std::isfinite(x))
        return false;
    if (x < 0)
        append_char(l, '-');
    else if (sign_position)
        append_char(l, ' ');
    append(l, std::isnan(x) ? "NaN" : "Inf", 3);
    return true;
}

}  // namespace

// places > 0: a field of places + 1 columns with a sign column; 0: the bare number;
// < 0: a field of -places columns. Digits are never cut.
void kel_int_layout(kel_layout *l, int value, int places)
{
    clear(l);
    if (value < 0)
        append_char(l, '-');
    else if (places > 0)
        append_char(l, ' ');
    char digits[16];
    int n = std::snprintf(digits, sizeof digits, "%lld", std::llabs(static_cast<long long>(value)));
    append(l, digits, n);
    long long width = places > 0 ? places + 1LL : -static_cast<long long>(places);
    l->pad = width > l->head_len ? width - l->head_len : 0;
}

// A sign position, one digit, "." and `places` digits when places > 0, "@" and the
// exponent; rounded once from the exact binary value. Zero has the exponent -99.
void kel_float_layout(kel_layout *l, double x, int places)
{
    clear(l);
    if (non_finite(l, x, true))
        return;
    append_char(l, x < 0 ? '-' : ' ');
    int digits = places > 0 ? places : 0;
    int formatted = digits < FLOAT_DIGITS_FORMATTED ? digits : FLOAT_DIGITS_FORMATTED;
    l->zeros = digits - formatted;
    int exponent = -99;
    if (x == 0) {
        append_char(l, '0');
        if (digits > 0)
            append_char(l, '.');
        l->zeros = digits;
    } else {
        char text[FLOAT_DIGITS_FORMATTED + 32];
        std::snprintf(text, sizeof text, "%.*e", formatted, std::fabs(x));
        char *e = std::strchr(text, 'e');
        append(l, text, static_cast<int>(e - text));
        exponent = std::atoi(e + 1);
    }
    l->tail_len = std::snprintf(l->tail, sizeof l->tail, "@%d", exponent);
}

// The integer part with its sign fills `before` positions when it fits (the sign position
// is there when before > 0 or the value is negative), then "." and `after` digits when
// after > 0; rounded once from the exact binary value.
void kel_fixed_layout(kel_layout *l, double x, int before, int after)
{
    clear(l);
    bool has_sign = x < 0 || before > 0;
    if (!non_finite(l, x, before > 0)) {
        int digits = after > 0 ? after : 0;
        int formatted = digits < FIXED_DIGITS_FORMATTED ? digits : FIXED_DIGITS_FORMATTED;
        l->zeros = digits - formatted;
        char text[FIXED_DIGITS_FORMATTED + 400];
        int n = std::snprintf(text, sizeof text, "%.*f", formatted, std::fabs(x));
        if (has_sign)
            append_char(l, x < 0 ? '-' : ' ');
        append(l, text, n);
    }
    const char *point = static_cast<const char *>(std::memchr(l->head, '.', l->head_len));
    long long integer_part = point ? point - l->head : l->head_len;
    if (has_sign && before > integer_part)
        l->pad = before - integer_part;
}

// As a string: where the layout is longer than a string holds, padding goes first, then
// trailing zeros, so the number itself survives wherever it can.
kel_string kel_layout_string(const kel_layout *l)
{
    long long pad = l->pad, zeros = l->zeros;
    long long over = pad + l->head_len + zeros + l->tail_len - 255;
    if (over > 0) {
        long long cut = over < pad ? over : pad;
        pad -= cut;
        over -= cut;
        zeros -= over < zeros ? (over > 0 ? over : 0) : zeros;
    }
    kel_string s{};
    int n = 0;
    auto add = [&](const char *text, long long count, bool repeat) {
        for (long long i = 0; i < count && n < 255; i++)
            s.b[++n] = static_cast<unsigned char>(repeat ? text[0] : text[i]);
    };
    add(" ", pad, true);
    add(l->head, l->head_len, false);
    add("0", zeros, true);
    add(l->tail, l->tail_len, false);
    s.b[0] = static_cast<unsigned char>(n);
    return s;
}
