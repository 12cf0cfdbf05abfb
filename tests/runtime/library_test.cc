// The bundled library's layouts, readers, resolution and streams.
#define KEL_SOURCE "tests/library"
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "runtime/frame.h"
#include "tests/runtime/streams.h"

namespace {

std::string text(const kel_string &s) { return std::string(reinterpret_cast<const char *>(s.b + 1), s.b[0]); }

TEST(IntegerWrite, SignColumnFieldsAndNothingCut)
{
    EXPECT_EQ(text(_kel_itos(42, 5)), "    42");
    EXPECT_EQ(text(_kel_itos(-42, 5)), "   -42");
    EXPECT_EQ(text(_kel_itos(42, 0)), "42");
    EXPECT_EQ(text(_kel_itos(-42, 0)), "-42");
    EXPECT_EQ(text(_kel_itos(42, -5)), "   42");
    EXPECT_EQ(text(_kel_itos(7, 1)), " 7");
    EXPECT_EQ(text(_kel_itos(12345, 2)), " 12345");
    EXPECT_EQ(text(_kel_itos(INT_MIN, -1)), "-2147483648");
    EXPECT_EQ(text(_kel_itos(INT_MIN, INT_MIN)).size(), 255u);   // a field too wide for a string
    EXPECT_EQ(text(_kel_itos(-5, 300)).substr(253), "-5");
    EXPECT_EQ(captured([] { _kel_write(-3, 1); _kel_writeint(10, -1); _kel_write(5, 2); }),
              "-310  5");
    EXPECT_EQ(captured([] { _kel_write(1, 70000); }).size(), 70001u);
}

TEST(FloatingWrite, RoundedOnceWithAnAtExponent)
{
    EXPECT_EQ(captured([] { _kel_printfl(123.456, 3); }), " 1.235@2");
    EXPECT_EQ(captured([] { _kel_printfl(-0.001234, 2); }), "-1.23@-3");
    EXPECT_EQ(captured([] { _kel_printfl(9.99, 1); }), " 1.0@1");
    EXPECT_EQ(captured([] { _kel_printfl(2.5, 0); }), " 2@0");   // an exact tie goes to even
    EXPECT_EQ(captured([] { _kel_printfl(0.0, 3); }), " 0.000@-99");
    EXPECT_EQ(captured([] { _kel_printfl(-0.0, 0); }), " 0@-99");
    EXPECT_EQ(captured([] { _kel_printfl(4 * (1 - 1.0 / 3), 16); }), " 2.6666666666666670@0");
    EXPECT_EQ(captured([] { _kel_printfl(-INFINITY, 2); _kel_printfl(NAN, 2); }), "-Inf NaN");
    std::string many = captured([] { _kel_printfl(1.0, 900); });
    EXPECT_EQ(many.size(), 3 + 900 + 2u);
    EXPECT_EQ(many.substr(many.size() - 4), "00@0");
}

TEST(FixedText, SignPositionPaddingAndRounding)
{
    EXPECT_EQ(text(rtos(3.14159f, 3, 2)), "  3.14");
    EXPECT_EQ(text(rtos(-3.14159f, 3, 2)), " -3.14");
    EXPECT_EQ(text(rtos(3.14159f, 0, 2)), "3.14");
    EXPECT_EQ(text(rtos(567.0f, 2, 0)), " 567");
    EXPECT_EQ(text(rtos(0.99f, 1, 2)), " 0.99");
    EXPECT_EQ(text(rtos(0.9999f, 1, 2)), " 1.00");
    EXPECT_EQ(text(rtos(-0.0f, 1, 1)), " 0.0");
    EXPECT_EQ(text(rtos(-0.01f, 1, 1)), "-0.0");
    EXPECT_EQ(text(rtos(NAN, 4, 2)), " NaN");
    EXPECT_EQ(text(rtos(1.0f, 1, 400)).size(), 255u);
}

TEST(Resolution, SplitsAtTheFirstOccurrence)
{
    const kel_string source = kel_lit("A string with xxx in the middle"), xxx = kel_lit("xxx");
    kel_string left{}, right{};
    ASSERT_TRUE(_kel_resolve(source, &left, xxx, &right));
    EXPECT_EQ(text(left), "A string with ");
    EXPECT_EQ(text(right), " in the middle");
    EXPECT_FALSE(_kel_resolve(source, nullptr, xxx, &right));
    ASSERT_TRUE(_kel_resolve(kel_lit("xxx tail xxx"), nullptr, xxx, &right));
    EXPECT_EQ(text(right), " tail xxx");
    ASSERT_TRUE(_kel_resolve(source, &left, xxx, nullptr));
    EXPECT_EQ(text(left), "A string with ");
    left = kel_lit("unchanged");
    EXPECT_FALSE(_kel_resolve(source, &left, kel_lit("yyy"), &right));
    EXPECT_EQ(text(left), "unchanged");
    ASSERT_TRUE(_kel_resolve(kel_lit("ab"), &left, kel_lit(""), &right));
    EXPECT_EQ(text(right), "ab");
}

// Reads one number with an event frame; gives the event and sub-event that stopped it as
// one number (31: no number), or 0 when it read one.
template <typename T, void (*reader)(T *)>
[[gnu::noinline]] int read_number(T *out)
{
    KEL_ON_EVENT(3, 9) {
        return _kel_EVENT().event * 10 + _kel_EVENT().subevent;
    }
    reader(out);
    return 0;
}

int read_float(float *out) { return read_number<float, _kel_readfloat>(out); }
int read_int(int *out) { return read_number<int, _kel_readint>(out); }

TEST(Readers, NumbersAfterSpacesAndNewlines)
{
    float x = 0;
    int n = 0;
    feed("  \n 12.5@-1 -7 3@2 .5 4. +2z");
    EXPECT_EQ(read_float(&x), 0);
    EXPECT_EQ(x, 1.25f);
    EXPECT_EQ(read_int(&n), 0);
    EXPECT_EQ(n, -7);
    EXPECT_EQ(read_int(&n), 0);
    EXPECT_EQ(n, 300);
    EXPECT_EQ(read_float(&x), 0);
    EXPECT_EQ(x, 0.5f);
    EXPECT_EQ(read_float(&x), 0);
    EXPECT_EQ(x, 4.0f);
    EXPECT_EQ(read_float(&x), 0);
    EXPECT_EQ(x, 2.0f);
    EXPECT_EQ(_kel_nextsymbol(), 'z');
}

TEST(Readers, RoundOnceStraightToSinglePrecision)
{
    // Halfway between two floats plus a little: via a double it would round to even (1).
    float x = 0;
    feed("1.000000059604644775390625000000001\n");
    EXPECT_EQ(read_float(&x), 0);
    EXPECT_EQ(x, std::nextafter(1.0f, 2.0f));
}

TEST(Readers, NotANumberAndTheEndOfInputAreEvents)
{
    float x = 0;
    int n = 0;
    feed("-\n");
    EXPECT_EQ(read_float(&x), 31);
    feed(".x");
    EXPECT_EQ(read_float(&x), 31);
    feed("5@");
    EXPECT_EQ(read_float(&x), 31);
    feed("2147483648");
    EXPECT_EQ(read_int(&n), 32);
    feed("2.5");
    EXPECT_EQ(read_int(&n), 31);
    feed("1@39");
    EXPECT_EQ(read_float(&x), 32);
    feed("   \n");
    EXPECT_EQ(read_float(&x), 90);
    feed("1000");   // a number that runs to the end of input is still a number
    EXPECT_EQ(read_int(&n), 0);
    EXPECT_EQ(n, 1000);
}

TEST(Readers, CharactersAreBytesIncludingNul)
{
    feed(std::string("a\0\xff", 3));
    int c = -1;
    _kel_readsymbol(&c);
    EXPECT_EQ(c, 'a');
    EXPECT_EQ(_kel_nextsymbol(), 0);
    _kel_skipsymbol();
    _kel_readsymbol(&c);
    EXPECT_EQ(c, 255);
}

[[gnu::noinline]] int open_input(const char *name)
{
    KEL_ON_EVENT(6) {
        return _kel_EVENT().event * 10 + _kel_EVENT().subevent;
    }
    _kel_openinput(1, kel_from_text(name));
    return 0;
}

TEST(Streams, AFileThatCannotBeOpenedIsAnEvent)
{
    EXPECT_EQ(open_input("/nonexistent/rounds.txt"), 61);
    EXPECT_EQ(open_input("/"), 61);
    EXPECT_EQ(_kel_infile[1].handle, nullptr);
}

TEST(StreamsDeathTest, OpenFailureNamesTheFileAndTheReason)
{
    EXPECT_EXIT(_kel_openinput(1, kel_lit("/nonexistent/rounds.txt")), testing::ExitedWithCode(2),
                "cannot open /nonexistent/rounds.txt: No such file or directory");
    EXPECT_EXIT(_kel_openinput(1, kel_lit("/")), testing::ExitedWithCode(2),
                "cannot open /: Is a directory");
}

TEST(Streams, OpenSelectReadClose)
{
    char name[] = "/tmp/kel-stream-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "41\n", 3), 3);
    close(fd);
    _kel_openinput(1, kel_from_text(name));
    _kel_INFILE = _kel_infile[1].handle;   // the selection that leaves the check to the read
    int n = 0;
    _kel_readint(&n);
    EXPECT_EQ(n, 41);
    _kel_closeinput();
    EXPECT_EQ(_kel_infile[1].handle, nullptr);
    EXPECT_EQ(_kel_InStream, 0);
    unlink(name);
}

}  // namespace
