// The numeric built-ins: rounding and truncation to integer, power, remainder, root, text.
#ifndef KEL_RUNTIME_ARITH_H
#define KEL_RUNTIME_ARITH_H

#include <climits>
#include <cmath>

#include "runtime/kel.h"

// floor(x) as a 32-bit integer; beyond the range it saturates, and a NaN gives 0.
static inline int _kel_INTPT(double x)
{
    double f = std::floor(x);
    if (f != f)
        return 0;
    if (f >= 2147483648.0)
        return INT_MAX;
    if (f < -2147483648.0)
        return INT_MIN;
    return static_cast<int>(f);
}

// Halves round upwards; the sum is a 64-bit real before the floor is taken.
static inline int _kel_INT(double x)
{
    double sum = x + 0.5;
    return _kel_INTPT(sum);
}

// x - floor(x) in full: the saturated integer part would leave a "fraction" of thousands of
// millions for |x| of 2^31 and beyond, whose fraction is 0.
static inline double _kel_FRACPT(double x) { return x - std::floor(x); }

static inline double _kel_MOD(double x) { return std::fabs(x); }

// The remainder of truncating division, with the dividend's sign. A zero divisor
// leaves the dividend; -2147483648 by -1 gives 0 rather than trapping.
static inline int _kel_REM(int a, int b)
{
    if (b == 0)
        return a;
    if (b == -1)
        return 0;
    return a % b;
}

// An exponent of exactly 2 squares with one multiplication; the ordered comparison
// sends a NaN exponent to pow.
static inline double _kel_REXP(double base, double power)
{
    if (power == 2.0)
        return base * base;
    return std::pow(base, power);
}

static inline double _kel_SQRT(double x) { return std::sqrt(x); }

static inline kel_string _kel_ITOS(int value, int places) { return _kel_itos(value, places); }

#endif
