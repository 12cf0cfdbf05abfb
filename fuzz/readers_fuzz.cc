// Fuzz target: _kel_readint and _kel_readfloat over arbitrary input, each number checked against
// a plain reading of the number text's rules: the value, where the reading stops, and the event
// for no number, a number out of range and the end of input.
#define KEL_SOURCE "fuzz/readers"
#include <cmath>

#include "runtime/frame.h"
#include "fuzz/harness.h"

namespace {

enum outcome { NUMBER, NO_NUMBER, OUT_OF_RANGE, ENDED };

struct reading {
    outcome kind;
    std::size_t end;   // where the number's text ends
    double value;
};

// The number text at `at`: spaces and newlines, then [sign] digits ["." digits] ["@" [sign]
// digits], with a digit at least before the exponent and one at least in it.
reading expected(const std::string &in, std::size_t at, bool whole)
{
    while (at < in.size() && (in[at] == ' ' || in[at] == '\n'))
        at++;
    if (at == in.size())
        return {ENDED, at, 0};
    std::string text;
    auto digits = [&] {
        std::size_t n = 0;
        for (; at < in.size() && in[at] >= '0' && in[at] <= '9'; n++)
            text += in[at++];
        return n;
    };
    if (in[at] == '+' || in[at] == '-')
        text += in[at++];
    std::size_t count = digits();
    if (at < in.size() && in[at] == '.') {
        text += in[at++];
        count += digits();
    }
    if (count == 0)
        return {NO_NUMBER, at, 0};
    if (at < in.size() && in[at] == '@') {
        text += 'e';
        at++;
        if (at < in.size() && (in[at] == '+' || in[at] == '-'))
            text += in[at++];
        if (digits() == 0)
            return {NO_NUMBER, at, 0};
    }
    if (!whole) {
        float v = std::strtof(text.c_str(), nullptr);
        return {std::isinf(v) ? OUT_OF_RANGE : NUMBER, at, v};
    }
    double v = std::strtod(text.c_str(), nullptr);
    if (!(v >= -2147483648.0 && v <= 2147483647.0))
        return {OUT_OF_RANGE, at, 0};
    return {v == std::floor(v) ? NUMBER : NO_NUMBER, at, v};
}

enum { MOST_READS = 1024 };

// The first byte chooses the reader of each number in turn (bit set: _kel_readint).
unsigned choice;
std::string input;
int reads;
reading wanted[MOST_READS];
double got[MOST_READS];
std::size_t stopped[MOST_READS];

// How much of the input the readers have taken. The input is read in one fill (it is shorter
// than the buffer), and the fill that finds the end empties the buffer.
std::size_t taken(void)
{
    return kel_standard_input.ended ? input.size() : static_cast<std::size_t>(kel_standard_input.pos);
}

void read_numbers(void)
{
    KEL_ON_EVENT(3, 9)
        return;
    for (reads = 0; reads < MOST_READS; reads++) {
        bool whole = choice >> (reads % 8) & 1;
        wanted[reads] = expected(input, taken(), whole);
        if (whole) {
            int v;
            _kel_readint(&v);
            got[reads] = v;
        } else {
            float v;
            _kel_readfloat(&v);
            got[reads] = v;
        }
        stopped[reads] = taken();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0 || size > KEL_BUFFER)
        return -1;
    choice = data[0];
    input.assign(reinterpret_cast<const char *>(data + 1), size - 1);
    fuzz_run run = fuzz_call(data + 1, size - 1, read_numbers);
    FUZZ_REQUIRE(run.status == -1 && run.err.empty(), run);
    for (int i = 0; i < reads; i++) {
        FUZZ_REQUIRE(wanted[i].kind == NUMBER && stopped[i] == wanted[i].end, run);
        FUZZ_REQUIRE(got[i] == wanted[i].value, run);
    }
    if (reads < MOST_READS) {
        static const int event_of[] = {0, 3, 3, 9};
        static const int subevent_of[] = {0, 1, 2, 0};
        reading last = wanted[reads];
        FUZZ_REQUIRE(last.kind != NUMBER, run);
        FUZZ_REQUIRE(_kel_event.event == event_of[last.kind], run);
        FUZZ_REQUIRE(_kel_event.subevent == subevent_of[last.kind], run);
    }
    return 0;
}
