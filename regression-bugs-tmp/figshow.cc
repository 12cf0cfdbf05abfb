// figshow: PRINT writes a long real in about n characters with as many significant digits as fit, truncated.
#define KEL_SOURCE "regression-bugs-tmp/figshow"
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "runtime/frame.h"
#include "runtime/io.h"
#include "runtime/kelstring.h"

static const kel_string zero_text = kel_lit("0.0");
static const kel_string infinity_text = kel_lit("Inf");
static const kel_string nan_text = kel_lit("NaN");

// The significant digits of a positive finite value and its decimal exponent e (the value is
// d.ddd times 10 to the e); past the digits held, every digit is 0.
struct decimal_digits {
    char digit[24];
    int count;
    int e;
};

// The fewest digits, correctly rounded, that read back as the same double: the digits of the
// value as it was written. Normalising and peeling off digits by repeated multiplication and
// division instead would leave 12 as 11.999..., and truncation would then print 11.
static decimal_digits DIGITS(double x)
{
    decimal_digits d;
    char text[40];
    int precision = 0;
    std::snprintf(text, sizeof text, "%.*e", precision, x);
    while (std::strtod(text, nullptr) != x && precision < 16) {
        precision = precision + 1;
        std::snprintf(text, sizeof text, "%.*e", precision, x);
    }
    d.count = 0;
    const char *c = text;
    for (; *c != 'e'; c++)
        if (*c != '.')
            d.digit[d.count++] = *c;
    d.e = std::atoi(c + 1);
    return d;
}

// The sign, the point and the leading "0." of a value below 1 each use a unit of the budget
// n; the exponent form sets two units aside for "@" and the exponent.
extern "C" void PRINT(double x, int n)
{
    decimal_digits digits;
    int e, ex, p, k;
    kel_at(2);
    kel_at(3);
    if (x == 0) {
        kel_at(4);
        _kel_PRINTSTRING(zero_text);
        kel_at(5);
        while (n > 3) {
            _kel_PRINTSYMBOL('0');
            n = n - 1;
        }
        kel_at(6);
        return;
    }
    kel_at(7);
    if (!std::isfinite(x)) {
        if (x < 0)
            _kel_PRINTSYMBOL('-');
        _kel_PRINTSTRING(std::isnan(x) ? nan_text : infinity_text);
        return;
    }
    kel_at(8);
    if (!(x >= 0)) {
        _kel_PRINTSYMBOL('-');
        x = -x;
        // the budget is raised to 3 below; the smallest count must not wrap to the largest
        if (n != INT_MIN)
            n = n - 1;
    }
    kel_at(9);
    if (n <= 2)
        n = 3;
    kel_at(10);
    digits = DIGITS(x);
    kel_at(11);
    e = digits.e;
    kel_at(12);
    ex = 0;
    kel_at(13);
    p = n - 2;
    kel_at(14);
    if (e >= n || e < -p) {
        ex = e;
        e = 0;
        n = n - 2;
    }
    kel_at(15);
    if (e < 0) {
        kel_at(16);
        _kel_PRINTSYMBOL('0');
        _kel_PRINTSYMBOL('.');
        n = n - 2;
        kel_at(17);
        while (e < -1) {
            _kel_PRINTSYMBOL('0');
            e = e + 1;
            n = n - 1;
        }
        kel_at(18);
        p = -1;
    } else {
        kel_at(19);
        p = e;
    }
    kel_at(20);
    k = 0;
    kel_at(21);
    while (n >= 1) {
        kel_at(22);
        _kel_PRINTSYMBOL(k < digits.count ? digits.digit[k] : '0');
        kel_at(23);
        k = k + 1;
        kel_at(24);
        if (p == 0) {
            _kel_PRINTSYMBOL('.');
            n = n - 1;
        }
        kel_at(25);
        p = p - 1;
        n = n - 1;
        kel_at(26);
    }
    kel_at(27);
    if (ex != 0) {
        kel_at(28);
        _kel_PRINTSYMBOL('@');
        kel_at(29);
        _kel_WRITE(ex, 1);
    }
    kel_at(30);
}
