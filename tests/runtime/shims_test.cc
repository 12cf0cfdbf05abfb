// The support layer's own work: loop checks, rounding, remainder, power, symbols, strings.
#define KEL_SOURCE "tests/shims"
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "runtime/arith.h"
#include "runtime/frame.h"
#include "runtime/io.h"

// Calls that the shims hand on, recorded by the linker's --wrap.
static std::vector<int> symbols_handed_on;
static int pow_calls;
extern "C" void __real__kel_printsymbol(int c);
extern "C" void __wrap__kel_printsymbol(int c) { symbols_handed_on.push_back(c); }
extern "C" double __real_pow(double, double);
extern "C" double __wrap_pow(double b, double p)
{
    pow_calls++;
    return __real_pow(b, p);
}

namespace {

const kel_string cycle = kel_lit("Illegal cycle I = 2, 1, F");
const kel_string corrupt = kel_lit("Corrupt control variable I");
kel_loop cells;
int passes, last_event;

// Runs a checked loop and reports the passes made and the event that ended it (0: none).
[[gnu::noinline]] void run_loop(int start, int increment, int final, int assign_at, int assigned)
{
    passes = last_event = 0;
    KEL_ON_EVENT(4, 5) {
        last_event = _kel_EVENT().event * 10 + _kel_EVENT().subevent;
        return;
    }
    int v;
    for (v = kel_loop_begin(cells, start, increment, final, cycle, 7);
         kel_loop_next(cells, v, corrupt, 7);) {
        passes++;
        if (passes == assign_at)
            v = assigned;
    }
}

TEST(CountedLoop, RunsToTheFinalValueExactly)
{
    run_loop(2, 1, 5, 0, 0);
    EXPECT_EQ(passes, 4);
    run_loop(10, -3, 1, 0, 0);
    EXPECT_EQ(passes, 4);
    run_loop(2, 1, 1, 0, 0);
    EXPECT_EQ(passes, 0);
    EXPECT_EQ(last_event, 0);
}

TEST(CountedLoop, AnUnreachableFinalIsAnIllegalCycle)
{
    run_loop(2, 2, 5, 0, 0);   // (5 - 2) not a multiple of 2
    EXPECT_EQ(last_event, 51);
    run_loop(2, 1, 0, 0, 0);   // below start - increment: would count past the end
    EXPECT_EQ(last_event, 51);
    EXPECT_EQ(passes, 0);
    run_loop(2, 0, 5, 0, 0);
    EXPECT_EQ(last_event, 51);
    run_loop(INT_MIN, 1, INT_MAX, 1, INT_MAX);   // a span beyond 32 bits is still checked
    EXPECT_EQ(last_event, 0);
}

TEST(CountedLoop, AssigningTheControlVariableIsCaughtAtTheNextHead)
{
    run_loop(1, 1, 10, 3, 7);
    EXPECT_EQ(passes, 3);
    EXPECT_EQ(last_event, 42);
    run_loop(1, 1, 10, 3, 10);   // assigned the final value: the loop simply ends
    EXPECT_EQ(passes, 3);
    EXPECT_EQ(last_event, 0);
}

TEST(Arithmetic, IntRoundsHalvesUpwardAfterA64BitSum)
{
    EXPECT_EQ(_kel_INT(2.5), 3);
    EXPECT_EQ(_kel_INT(-2.5), -2);
    EXPECT_EQ(_kel_INT(-2.6), -3);
    EXPECT_EQ(_kel_INT(std::nextafter(0.5, 0.0)), 1);
    EXPECT_EQ(_kel_INTPT(-0.5), -1);
    EXPECT_EQ(_kel_INTPT(2.0), 2);
    EXPECT_EQ(_kel_INTPT(4294967296.0), INT_MAX);
    EXPECT_EQ(_kel_INTPT(-1e300), INT_MIN);
    EXPECT_EQ(_kel_INTPT(NAN), 0);
    EXPECT_EQ(_kel_FRACPT(3.75), 0.75);
    EXPECT_EQ(_kel_FRACPT(-1.25), 0.75);
    EXPECT_FALSE(std::signbit(_kel_MOD(-0.0)));
}

TEST(Arithmetic, RemainderTakesTheDividendsSign)
{
    EXPECT_EQ(_kel_REM(-7, 2), -1);
    EXPECT_EQ(_kel_REM(7, -2), 1);
    EXPECT_EQ(_kel_REM(INT_MIN, -1), 0);
    EXPECT_EQ(_kel_REM(5, 0), 5);
}

TEST(Arithmetic, PowerSquaresWithoutPowAndOtherwiseCallsIt)
{
    volatile double base = -3.0, two = 2.0, three = 3.0, nan = NAN;
    pow_calls = 0;
    EXPECT_EQ(_kel_REXP(base, two), 9.0);
    double tiny = DBL_MIN;   // the square underflows the same way pow would: still no pow
    EXPECT_EQ(_kel_REXP(tiny, two), tiny * tiny);
    EXPECT_EQ(pow_calls, 0);
    EXPECT_EQ(_kel_REXP(2.0, three), 8.0);
    EXPECT_TRUE(std::isnan(_kel_REXP(2.0, nan)));
    EXPECT_EQ(pow_calls, 2);
}

TEST(Symbols, OnlyTheLow8BitsAreHandedOnAsASignedCharacter)
{
    symbols_handed_on.clear();
    _kel_PRINTSYMBOL(200);
    _kel_PRINTSYMBOL(321);
    _kel_PRINTSYMBOL('A');
    EXPECT_EQ(symbols_handed_on, (std::vector<int>{-56, 65, 65}));
}

TEST(Selection, ANegativeStreamChangesNothing)
{
    void *in = _kel_InFile, *out = _kel_OutFile;
    int in_stream = _kel_InStream, out_stream = _kel_OutStream;
    _kel_SELECTINPUT(-1);
    _kel_SELECTOUTPUT(-1);
    EXPECT_EQ(_kel_InFile, in);
    EXPECT_EQ(_kel_OutFile, out);
    EXPECT_EQ(_kel_InStream, in_stream);
    EXPECT_EQ(_kel_OutStream, out_stream);
    _kel_PROMPT(kel_lit(""));
    EXPECT_EQ(_kel_promptstr.b[0], 0);
}

kel_string filled(int length, unsigned char fill)
{
    kel_string s;
    std::memset(s.b, fill, sizeof s.b);
    s.b[0] = static_cast<unsigned char>(length);
    return s;
}

TEST(Strings, JoinFillsToCapacityAndKeepsItsTail)
{
    kel_string left = filled(200, 'a'), right = filled(55, 'b');
    left.b[255] = right.b[255] = 0;   // assigned: not one repeated byte throughout
    kel_string joined = _kel_join(left, right);
    EXPECT_EQ(joined.b[0], 255);
    EXPECT_EQ(joined.b[200], 'a');
    EXPECT_EQ(joined.b[201], 'b');
    EXPECT_EQ(_kel_join(kel_string{}, kel_string{}).b[0], 0);
    kel_string s = kel_lit("abc");
    *_kel_CHARNO(&s, 0) = 2;
    EXPECT_EQ(_kel_join(s, kel_lit("!")).b[0], 3);
    EXPECT_EQ(_kel_join(s, kel_lit("!")).b[3], '!');
}

TEST(Strings, UnassignedPatternIsOneRepeatedNonZeroByte)
{
    kel_string spaces = filled(3, ' '), zeros = filled(3, 0);
    EXPECT_TRUE(unassigned_string(&spaces));
    EXPECT_FALSE(unassigned_string(&zeros));
    kel_string almost = filled(0, 'x');
    almost.b[255] = 'y';
    EXPECT_FALSE(unassigned_string(&almost));
}

TEST(Strings, AStringAtAnAddressWritesOnlyItsLengthAndCharacters)
{
    unsigned char area[8];
    std::memset(area, '#', sizeof area);
    _kel_STRING(_kel_ADDR(area + 1)) = kel_lit("hi");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(area), 8), std::string("#\2hi####"));
    kel_string back = _kel_STRING(_kel_ADDR(area + 1));
    EXPECT_EQ(back.b[0], 2);
    EXPECT_EQ(back.b[2], 'i');
    _kel_BYTEINTEGER(_kel_ADDR(area)) = 7;
    EXPECT_EQ(area[0], 7);
    EXPECT_EQ(_kel_TOSTRING(321).b[1], 'A');
}

TEST(Arguments, OutsideTheVectorGiveEmptyAndLongOnesAreCut)
{
    std::string long_argument(300, 'x');
    char name[] = "prog", *argv[] = {name, long_argument.data(), nullptr};
    _kel_initialise(2, argv);
    EXPECT_EQ(_kel_ARGC(), 2);
    EXPECT_EQ(_kel_ARGV(1).b[0], 255);
    EXPECT_EQ(_kel_ARGV(1).b[255], 'x');
    EXPECT_EQ(_kel_ARGV(2).b[0], 0);
    EXPECT_EQ(_kel_ARGV(3).b[0], 0);
    EXPECT_EQ(_kel_ARGV(-1).b[0], 0);
    EXPECT_STREQ(_kel_global_argv[2], "");
    EXPECT_STREQ(_kel_global_argv[3], "");
}

TEST(DiagnosticsDeathTest, ExactTextsWithTheModulesFallbacks)
{
    EXPECT_EXIT(kel_result_missing("NEXTOPD", 81), testing::ExitedWithCode(1),
                "^%RESULT missing in NEXTOPD in file tests/shims:81\n$");
    EXPECT_EXIT(kel_switch_out_of_range("OPN", 9, 1, 5, 107), testing::ExitedWithCode(1),
                "^%SWITCH index OPN\\(9\\) not in range 1:5 at tests/shims:107\n$");
    kel_at(12);
    EXPECT_EXIT(_kel_join(filled(3, 'u'), kel_lit("x")), testing::ExitedWithCode(1),
                "^UNASSIGNED STRING in left operand of string concatenation in tests/shims line 12\n$");
    EXPECT_EXIT(_kel_join(kel_lit("x"), filled(3, ' ')), testing::ExitedWithCode(1),
                "^UNASSIGNED STRING in right operand of string concatenation in tests/shims line 12\n$");
    kel_string left = filled(200, 'a'), right = filled(56, 'b');
    left.b[200] = 'z';
    right.b[1] = 'c';
    EXPECT_EXIT(_kel_join(left, right), testing::ExitedWithCode(1),
                "^STRING CAPACITY EXCEEDED: \"a{199}z\".\"cb{55}\"\n$");
    _kel_current_file = nullptr;
    EXPECT_EXIT(_kel_join(filled(3, 'u'), kel_lit("x")), testing::ExitedWithCode(1),
                "in \\(no source file\\) line 12\n$");
    _kel_current_line = 0;
}

}  // namespace
