// flshow: prints single precision reals: fraction digits, the floating layout with "@", the fixed layout.
#define KEL_SOURCE "regression-bugs-tmp/flshow"
#include <cmath>

#include "runtime/arith.h"
#include "runtime/frame.h"
#include "runtime/io.h"

// What PRINT shares with P: the sign still to print (0 once printed, or for none) and the
// positions left for the integer part.
struct print_state {
    int sign;
    int remaining;
};

// Truncated digits: rounding is the caller's business.
extern "C" void FRACTION(float x, int n)
{
    kel_at(2);
    kel_at(3);
    if (n <= 0)
        return;
    kel_at(4);
    _kel_PRINTSYMBOL('.');
    kel_at(5);
    while (n > 0) {
        kel_at(6);
        // The fraction of a small negative x, 1 + x, is so near 1 that ten times it rounds
        // up to 10 in single precision, which is no digit; that one product is rounded down
        // instead. A non-negative x never gets there: its fraction is at most 1 - 2^-24.
        x = static_cast<float>(_kel_FRACPT(x) * 10.0);
        if (x >= 10.0f)
            x = std::nextafter(10.0f, 0.0f);
        kel_at(7);
        n = n - 1;
        kel_at(8);
        _kel_PRINTSYMBOL(_kel_INTPT(x) + '0');
        kel_at(9);
    }
    kel_at(10);
}

extern "C" void PRINTFL(float x, int n)
{
    int sign, e;
    kel_at(11);
    kel_at(12);
    // The normalising loops would never end for an infinity, and a NaN has no digits.
    if (!std::isfinite(x)) {
        _kel_PRINTSYMBOL(std::isnan(x) || x > 0 ? ' ' : '-');
        for (const char *c = std::isnan(x) ? "NaN" : "Inf"; *c; c++)
            _kel_PRINTSYMBOL(*c);
        return;
    }
    kel_at(13);
    sign = ' ';
    kel_at(14);
    if (!(x >= 0)) {
        sign = '-';
        x = -x;
    }
    kel_at(15);
    _kel_PRINTSYMBOL(sign);
    kel_at(16);
    if (x == 0) {
        kel_at(17);
        e = -99;
    } else {
        kel_at(18);
        e = 0;
        kel_at(19);
        while (x >= 10.0f) {
            e = e + 1;
            x = static_cast<float>(x * 0.1);
        }
        kel_at(20);
        while (x < 1.0f) {
            e = e - 1;
            x = x * 10.0f;
        }
        kel_at(21);
        if (n <= 0)
            x = x + 0.5f;
        else
            x = x + static_cast<float>(0.5 * _kel_REXP(10.0, -n));
        kel_at(22);
        if (x >= 10.0f) {
            e = e + 1;
            x = static_cast<float>(x * 0.1);
        }
        kel_at(23);
    }
    kel_at(24);
    _kel_PRINTSYMBOL(_kel_INTPT(x) + '0');
    kel_at(25);
    FRACTION(x, n);
    kel_at(26);
    _kel_PRINTSYMBOL('@');
    kel_at(27);
    _kel_WRITE(e, 1);
    kel_at(28);
}

// The integer part, most significant digit first; the first digit to be printed pads the
// field and prints the sign.
static void P(int v, print_state *shared)
{
    kel_at(30);
    kel_at(31);
    shared->remaining = shared->remaining - 1;
    kel_at(32);
    if (v > 9)
        P(v / 10, shared);
    kel_at(33);
    if (shared->sign != 0) {
        _kel_SPACES(shared->remaining - 1);
        _kel_PRINTSYMBOL(shared->sign);
        shared->sign = 0;
    }
    kel_at(34);
    _kel_PRINTSYMBOL(_kel_REM(v, 10) + '0');
    kel_at(35);
}

extern "C" void PRINT(float x, int before, int after)
{
    print_state shared;
    float y;
    kel_at(29);
    // A count of 0 or less pads nothing; starting there keeps the countdown in P from
    // wrapping below the most negative count.
    shared.remaining = before > 0 ? before : 0;
    kel_at(36);
    y = static_cast<float>(_kel_MOD(x));
    kel_at(37);
    // The fixed layout needs the integer part in 32 bits; larger magnitudes, infinities
    // and NaNs go to the floating layout.
    if (!(y < 2147483648.0f)) {
        PRINTFL(x, before + after);
        return;
    }
    kel_at(38);
    if (after <= 0)
        y = y + 0.5f;
    else
        y = y + static_cast<float>(0.5 * _kel_REXP(10.0, -after));
    kel_at(39);
    shared.sign = before > 0 ? ' ' : 0;
    kel_at(40);
    if (!(x >= 0))
        shared.sign = '-';
    kel_at(41);
    P(_kel_INTPT(y), &shared);
    kel_at(42);
    FRACTION(y, after);
    kel_at(43);
}
