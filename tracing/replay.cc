// kel-replay: makes recorded output calls again, one per line of standard input ("NAME ARG..."
// in the record's tokens), each after a marker written through the runtime itself, and a last
// marker after them; so the text between two markers is one call's, whatever the buffering.
// The marker goes out with _kel_printstring, or character by character with _kel_printsymbol
// when the first argument is "printsymbol".
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/kel.h"

namespace {

const char marker_text[] = "\x02kel-replay\x03";
bool by_symbol;

void marker(void)
{
    if (by_symbol) {
        for (const char *p = marker_text; *p; p++)
            _kel_printsymbol(*p);
        return;
    }
    kel_string s{};
    s.b[0] = sizeof marker_text - 1;
    std::memcpy(s.b + 1, marker_text, sizeof marker_text - 1);
    _kel_printstring(s);
}

std::uint64_t hex_value(const char *token) { return std::strtoull(token + 1, nullptr, 16); }

int int_of(const char *token) { return static_cast<int>(std::strtol(token + 1, nullptr, 10)); }

double double_of(const char *token)
{
    std::uint64_t b = hex_value(token);
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

kel_string string_of(const char *token)
{
    kel_string s{};
    int n = 0;
    for (const char *p = token + 1; p[0] && p[1] && n < 255; p += 2) {
        char pair[3] = {p[0], p[1], 0};
        s.b[++n] = static_cast<unsigned char>(std::strtoul(pair, nullptr, 16));
    }
    s.b[0] = static_cast<unsigned char>(n);
    return s;
}

bool same(const char *a, const char *b) { return std::strcmp(a, b) == 0; }

// The output entry points; anything else in the input is refused.
bool call(const char *name, char **a)
{
    if (same(name, "_kel_printstring"))
        _kel_printstring(string_of(a[0]));
    else if (same(name, "_kel_printsymbol"))
        _kel_printsymbol(int_of(a[0]));
    else if (same(name, "_kel_write"))
        _kel_write(int_of(a[0]), int_of(a[1]));
    else if (same(name, "_kel_writeint"))
        _kel_writeint(int_of(a[0]), int_of(a[1]));
    else if (same(name, "_kel_newline"))
        _kel_newline();
    else if (same(name, "_kel_space"))
        _kel_space();
    else if (same(name, "_kel_newlines"))
        _kel_newlines(int_of(a[0]));
    else if (same(name, "_kel_spaces"))
        _kel_spaces(int_of(a[0]));
    else if (same(name, "_kel_printfl"))
        _kel_printfl(double_of(a[0]), int_of(a[1]));
    else
        return false;
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    _kel_initialise(argc, argv);
    by_symbol = argc > 1 && same(argv[1], "printsymbol");
    // A kel string's characters are at most 255, so a line is at most a name and 520 digits.
    static char text[1024];
    char *words[4] = {};
    while (std::fgets(text, sizeof text, stdin)) {
        int n = 0;
        char *name = std::strtok(text, " \n");
        if (!name)
            continue;
        while (n < 3 && (words[n] = std::strtok(nullptr, " \n")))
            n++;
        // A missing argument reads as an empty token.
        for (int i = n; i < 3; i++)
            words[i] = const_cast<char *>("i");
        marker();
        if (!call(name, words)) {
            std::fprintf(stderr, "kel-replay: not an output entry point: %s\n", name);
            return 2;
        }
    }
    marker();
    return 0;
}
