// figshow: PRINT writes a long real in about n characters with as many significant digits as fit, truncated.
#define KEL_SOURCE "regression-bugs-tmp/figshow"
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "runtime/frame.h"
#include "runtime/io.h"
#include "runtime/kelstring.h"

static const kel_string zero_text = kel_lit("0.0");
static const kel_string infinity_text = kel_lit("Inf");
static const kel_string nan_text = kel_lit("NaN");

// The most significant digits a double's exact decimal expansion has: 767, for the
// largest subnormal, whose m times 5^1074 has that many.
enum { KEL_DOUBLE_DIGITS = 770 };

// The significant digits of a positive finite value and its decimal exponent e (the value is
// d.ddd times 10 to the e); past the digits held, every digit is 0.
struct decimal_digits {
    char digit[KEL_DOUBLE_DIGITS];
    int count;
    int e;
};

// A natural number in base 10^9, least significant limb first.
struct big_number {
    std::uint32_t limb[KEL_DOUBLE_DIGITS / 9 + 1];
    int count;
};

static void MULTIPLY(big_number &a, std::uint32_t factor)
{
    std::uint64_t carry = 0;
    for (int i = 0; i < a.count; i++) {
        carry += std::uint64_t(a.limb[i]) * factor;
        a.limb[i] = static_cast<std::uint32_t>(carry % 1000000000);
        carry /= 1000000000;
    }
    for (; carry != 0; carry /= 1000000000)
        a.limb[a.count++] = static_cast<std::uint32_t>(carry % 1000000000);
}

// a times base to the power, in as few steps as 31-bit factors allow.
static void MULTIPLYPOWER(big_number &a, std::uint32_t base, int power)
{
    std::uint32_t step = 1;
    int step_power = 0;
    while (step <= 0x7fffffffu / base) {
        step = step * base;
        step_power = step_power + 1;
    }
    for (; power >= step_power; power = power - step_power)
        MULTIPLY(a, step);
    for (; power > 0; power = power - 1)
        MULTIPLY(a, base);
}

// The exact decimal expansion of the stored binary value, which is finite: x is m times 2 to
// the k with m below 2^53, and for k < 0 that is m times 5 to the -k over 10 to the -k.
// Truncating these digits is the significant-figure algorithm carried out without the
// rounding of each multiplication, which would leave 12 as 11.999... and print 11.
static decimal_digits DIGITS(double x)
{
    decimal_digits d;
    big_number n;
    int k;
    std::uint64_t m = static_cast<std::uint64_t>(std::ldexp(std::frexp(x, &k), 53));
    k = k - 53;
    // m odd keeps 5 to the -k within the digits held
    while (m % 2 == 0 && k < 0) {
        m = m / 2;
        k = k + 1;
    }
    n.count = 0;
    for (; m != 0; m /= 1000000000)
        n.limb[n.count++] = static_cast<std::uint32_t>(m % 1000000000);
    MULTIPLYPOWER(n, k < 0 ? 5 : 2, std::abs(k));

    char text[10];
    int length = std::snprintf(text, sizeof text, "%u", n.limb[n.count - 1]);
    d.count = 0;
    for (int i = 0; i < length; i++)
        d.digit[d.count++] = text[i];
    for (int i = n.count - 2; i >= 0; i--)
        for (std::uint32_t unit = 100000000; unit != 0; unit /= 10)
            d.digit[d.count++] = static_cast<char>('0' + n.limb[i] / unit % 10);
    d.e = d.count - 1 + (k < 0 ? k : 0);
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
