// numblend: four blocks evaluate the same mixed integer and real assignments, one block for
// each pairing of 32- or 64-bit integers with single or double reals.
#define KEL_SOURCE "regression-bugs-tmp/numblend"
#include <climits>
#include <cstdio>
#include <type_traits>

#include "runtime/frame.h"
#include "runtime/observe.h"

template <typename T>
constexpr char kind_of = std::is_same_v<T, int>         ? 'i'
                         : std::is_same_v<T, long long> ? 'l'
                         : std::is_same_v<T, float>     ? 'f'
                                                        : 'd';

// Hands variable v of block n to a test build's observer as "blockN.v".
template <typename T>
static void expose(int block, char variable, T *data, int count)
{
    char name[16];
    std::snprintf(name, sizeof name, "block%d.%c", block, variable);
    kel_expose(name, kind_of<T>, data, count);
}

// The divisor as the library's check hands it back. Its check takes 32 bits, so a 64-bit
// divisor is folded to a value that is zero exactly when the whole divisor is (2^32 has a
// zero low half and must pass), and once it has passed the division uses the divisor itself.
static int checked(int j) { return _kel_zcheck_int(j, "K"); }
static long long checked(long long j)
{
    _kel_zcheck_int(static_cast<int>(j) | static_cast<int>(j >> 32), "K");
    return j;
}

// Integer division truncates toward zero and, like the other integer operations, wraps:
// the most negative value divided by -1 is itself, where the processor's divide would trap.
template <typename Int>
static Int quotient(Int i, Int j)
{
    return j == -1 ? -i : i / j;
}

// The 21 assignments of block n, whose first line is `entry`, on the block's operands. Each
// assignment to k or r keeps its own slot, so a test build sees every result.
template <typename Int, typename Real>
static void blend(int n, int entry, Int i, Int j, Real x, Real y)
{
    Int k[4];
    Real r[17];

    kel_at(entry);
    expose(n, 'i', &i, 1);
    expose(n, 'j', &j, 1);
    kel_at(entry + 1);
    expose(n, 'x', &x, 1);
    expose(n, 'y', &y, 1);

    kel_at(entry + 3);
    k[0] = quotient(i, checked(j));
    kel_at(entry + 4);
    r[0] = Real(quotient(i, checked(j)));
    kel_at(entry + 5);
    r[1] = Real(double(i) / double(j));
    kel_at(entry + 6);
    r[2] = Real(double(i) / double(x));
    kel_at(entry + 7);
    r[3] = Real(double(x) / double(i));
    kel_at(entry + 8);
    r[4] = Real(double(x) / double(y));

    kel_at(entry + 10);
    k[1] = i * j;
    kel_at(entry + 11);
    r[5] = Real(i * j);
    kel_at(entry + 12);
    r[6] = Real(i) * x;
    kel_at(entry + 13);
    r[7] = x * Real(i);
    kel_at(entry + 14);
    r[8] = x * y;

    kel_at(entry + 16);
    k[2] = i + j;
    kel_at(entry + 17);
    r[9] = Real(i + j);
    kel_at(entry + 18);
    r[10] = Real(i) + x;
    kel_at(entry + 19);
    r[11] = x + Real(i);
    kel_at(entry + 20);
    r[12] = x + y;

    kel_at(entry + 22);
    k[3] = i - j;
    kel_at(entry + 23);
    r[13] = Real(i - j);
    kel_at(entry + 24);
    r[14] = Real(i) - x;
    kel_at(entry + 25);
    r[15] = x - Real(i);
    kel_at(entry + 26);
    r[16] = x - y;

    kel_at(entry + 27);
    expose(n, 'k', k, 4);
    expose(n, 'r', r, 17);
}

// The operands are chosen so that each conversion rule shows in the results: integers that
// single (or double) precision cannot hold exactly, negative quotients that truncation and
// flooring tell apart, sums and products that wrap, and 64-bit divisors whose low half is zero.
static void _BLOCK_1_LEVEL_1_(void) { blend<int, float>(1, 4, -16777217, 3, 0.7f, 0.1f); }
static void _BLOCK_2_LEVEL_1_(void) { blend<int, double>(2, 35, INT_MIN, -1, 0.1, 0.2); }
static void _BLOCK_3_LEVEL_1_(void)
{
    blend<long long, float>(3, 65, -(1LL << 60) - (1LL << 36) - 1, 1LL << 32, 6.5f, -0.75f);
}
static void _BLOCK_4_LEVEL_1_(void)
{
    blend<long long, double>(4, 96, (1LL << 53) + 1, -3 * (1LL << 32), 0.7, 3.0);
}

int main(int argc, char **argv)
{
    _kel_initialise(argc, argv);
    kel_at(3);
    _BLOCK_1_LEVEL_1_();
    kel_at(34);
    _BLOCK_2_LEVEL_1_();
    kel_at(64);
    _BLOCK_3_LEVEL_1_();
    kel_at(95);
    _BLOCK_4_LEVEL_1_();
    kel_at(125);
    return 0;
}
