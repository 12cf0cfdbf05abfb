// What the formatting callers share: the runtime started, one line of arguments at a time read
// with C stdio, and each result written between brackets so that its spaces show.
#ifndef TESTS_FORMATTING_CALLER_H
#define TESTS_FORMATTING_CALLER_H

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/kel.h"
#include "runtime/kelstring.h"

enum { CALLER_WORDS = 4 };

static int caller_line;

[[noreturn]] static inline void caller_refuse(const char *what, const char *text)
{
    std::fprintf(stderr, "caller: line %d: %s: \"%s\"\n", caller_line, what, text);
    std::exit(1);
}

// "bits:" and hex digits give a real by its exact bit pattern, NaN payloads included.
static inline bool caller_bits(const char *text, int digits, std::uint64_t &bits)
{
    if (std::strncmp(text, "bits:", 5) != 0)
        return false;
    char *end;
    errno = 0;
    bits = std::strtoull(text + 5, &end, 16);
    if (errno || *end || end - (text + 5) != digits)
        caller_refuse("not a bit pattern", text);
    return true;
}

// Decimal, hex float ("0x1p-1074"), "nan", "inf" and "-0" as strtod reads them, or bits.
static inline double arg_double(const char *text)
{
    std::uint64_t bits;
    double x;
    if (caller_bits(text, 16, bits)) {
        std::memcpy(&x, &bits, sizeof x);
        return x;
    }
    char *end;
    x = std::strtod(text, &end);
    if (end == text || *end)
        caller_refuse("not a real", text);
    return x;
}

// As arg_double, but rounded once, straight to single precision.
static inline float arg_float(const char *text)
{
    std::uint64_t bits;
    float x;
    if (caller_bits(text, 8, bits)) {
        std::uint32_t b = static_cast<std::uint32_t>(bits);
        std::memcpy(&x, &b, sizeof x);
        return x;
    }
    char *end;
    x = std::strtof(text, &end);
    if (end == text || *end)
        caller_refuse("not a real", text);
    return x;
}

static inline int arg_int(const char *text)
{
    char *end;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (end == text || *end || errno || v < INT32_MIN || v > INT32_MAX)
        caller_refuse("not a 32-bit integer", text);
    return static_cast<int>(v);
}

static inline void caller_print(const char *text) { _kel_printstring(kel_from_text(text)); }

static inline void caller_print_position(void)
{
    char text[300];
    std::snprintf(text, sizeof text, "%s:%d", _kel_current_file ? _kel_current_file : "(none)",
                  _kel_current_line);
    caller_print(text);
}

// A run that ends inside a routine (a fatal diagnostic) still shows where it was.
static inline void caller_position_at_exit(void)
{
    std::fprintf(stderr, "position at exit: %s:%d\n",
                 _kel_current_file ? _kel_current_file : "(none)", _kel_current_line);
}

// Runs call(count, words) for each line that is not empty or a "#" comment; call returns
// false when the words do not fit its routine. "-p" adds the source position that the
// routine left after each result, and at exit on standard error.
static inline int run_caller(int argc, char **argv, bool (*call)(int count, char **word))
{
    _kel_initialise(argc, argv);
    bool show_position = argc > 1 && std::strcmp(argv[1], "-p") == 0;
    if (show_position)
        std::atexit(caller_position_at_exit);
    char line[4096];
    while (std::fgets(line, sizeof line, stdin)) {
        caller_line++;
        char *word[CALLER_WORDS + 1];
        int count = 0;
        for (char *w = std::strtok(line, " \t\r\n"); w && count <= CALLER_WORDS;
             w = std::strtok(nullptr, " \t\r\n"))
            word[count++] = w;
        if (count == 0 || word[0][0] == '#')
            continue;
        _kel_printsymbol('[');
        if (count > CALLER_WORDS || !call(count, word))
            caller_refuse("wrong number of arguments", word[0]);
        _kel_printsymbol(']');
        if (show_position) {
            _kel_printsymbol(' ');
            caller_print_position();
        }
        _kel_newline();
    }
    return 0;
}

#endif
