// The kel string: literals, conversion from C text, and the copy, test, join and address shims.
#ifndef KEL_RUNTIME_KELSTRING_H
#define KEL_RUNTIME_KELSTRING_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/kel.h"

// A string literal: length byte, characters, zero bytes to the end.
template <std::size_t N>
constexpr kel_string kel_lit(const char (&text)[N])
{
    static_assert(N - 1 <= 255, "a kel string holds at most 255 characters");
    kel_string s{};
    s.b[0] = static_cast<unsigned char>(N - 1);
    for (std::size_t i = 0; i + 1 < N; i++)
        s.b[i + 1] = static_cast<unsigned char>(text[i]);
    return s;
}

// NUL-terminated text as a kel string; a longer text is cut to the 255 characters a
// string holds, never written past it.
static inline kel_string kel_from_text(const char *text)
{
    kel_string s{};
    std::size_t n = strnlen(text, 255);
    std::memcpy(s.b + 1, text, n);
    s.b[0] = static_cast<unsigned char>(n);
    return s;
}

static inline unsigned char *_kel_LENGTH(kel_string *s) { return _kel_length(s); }

static inline unsigned char *_kel_CHARNO(kel_string *s, int i) { return s->b + i; }

static inline kel_string *_kel_strcpy(kel_string *destination, kel_string source)
{
    std::memcpy(destination->b, source.b, *_kel_length(&source) + 1u);
    return destination;
}

static inline int unassigned_string(const kel_string *s)
{
    unsigned char fill = s->b[1];
    if (fill == 0)
        return 0;
    for (int i = 2; i <= 255; i++)
        if (s->b[i] != fill)
            return 0;
    return 1;
}

// The characters of s as C text, for a diagnostic.
struct kel_text_copy {
    char c[256];
};
static inline kel_text_copy kel_text_of(const kel_string *s)
{
    kel_text_copy t;
    std::memcpy(t.c, s->b + 1, s->b[0]);
    t.c[s->b[0]] = 0;
    return t;
}

[[noreturn]] static inline void kel_unassigned_operand(const char *side)
{
    std::fprintf(stderr, "UNASSIGNED STRING in %s operand of string concatenation in %s line %d\n",
                 side, _kel_current_file ? _kel_current_file : "(no source file)",
                 _kel_current_line);
    std::exit(1);
}

static inline kel_string _kel_join(kel_string left, kel_string right)
{
    if (unassigned_string(&left))
        kel_unassigned_operand("left");
    if (unassigned_string(&right))
        kel_unassigned_operand("right");
    int l = left.b[0], r = right.b[0];
    if (l + r > 255) {
        std::fprintf(stderr, "STRING CAPACITY EXCEEDED: \"%s\".\"%s\"\n", kel_text_of(&left).c,
                     kel_text_of(&right).c);
        std::exit(1);
    }
    kel_string result{};
    _kel_strcpy(&result, left);
    std::memcpy(result.b + l + 1, right.b + 1, r);
    result.b[0] = static_cast<unsigned char>(l + r);
    return result;
}

static inline kel_string _kel_TOSTRING(int c)
{
    kel_string s{};
    *_kel_LENGTH(&s) = 1;
    *_kel_CHARNO(&s, 1) = static_cast<unsigned char>(c);
    return s;
}

// Addresses as integers, and any byte or string-sized area treated as a variable.
static inline int _kel_ADDR(const void *variable)
{
    return static_cast<int>(reinterpret_cast<std::uintptr_t>(variable));
}

static inline unsigned char &_kel_BYTEINTEGER(int address)
{
    return *reinterpret_cast<unsigned char *>(static_cast<std::uintptr_t>(address));
}

// A string variable at an address; it reads and writes only the length byte and the
// characters, so an area shorter than 256 bytes can hold a short string.
struct kel_string_at {
    unsigned char *p;
    operator kel_string() const
    {
        kel_string s{};
        std::memcpy(s.b, p, p[0] + 1u);
        return s;
    }
    kel_string_at &operator=(const kel_string &s)
    {
        std::memcpy(p, s.b, s.b[0] + 1u);
        return *this;
    }
};

static inline kel_string_at _kel_STRING(int address)
{
    return {reinterpret_cast<unsigned char *>(static_cast<std::uintptr_t>(address))};
}

#endif
