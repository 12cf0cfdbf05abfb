// The character I/O built-ins: output, input, stream selection, the prompt, the arguments.
#ifndef KEL_RUNTIME_IO_H
#define KEL_RUNTIME_IO_H

#include <cstring>

#include "runtime/kel.h"
#include "runtime/kelstring.h"

static inline void _kel_PRINTSTRING(kel_string s) { _kel_printstring(s); }

// Only the low 8 bits go out, as a signed character: 128 to 255 arrive as -128 to -1.
static inline void _kel_PRINTSYMBOL(int c) { _kel_printsymbol(static_cast<signed char>(c & 0xff)); }

static inline void _kel_WRITE(int value, int places) { _kel_write(value, places); }
static inline void _kel_SPACE(void) { _kel_space(); }
static inline void _kel_SPACES(int n) { _kel_spaces(n); }
static inline void _kel_NEWLINE(void) { _kel_newline(); }
static inline void _kel_NEWLINES(int n) { _kel_newlines(n); }
static inline void _kel_READSYMBOL(int *c) { _kel_readsymbol(c); }
static inline int _kel_NEXTSYMBOL(void) { return _kel_nextsymbol(); }
static inline void _kel_SKIPSYMBOL(void) { _kel_skipsymbol(); }
static inline void _kel_OPENINPUT(int stream, kel_string name) { _kel_openinput(stream, name); }
static inline void _kel_CLOSEINPUT(void) { _kel_closeinput(); }
static inline void _kel_PRINTFL(double x, int places) { _kel_printfl(x, places); }

// A module that defines KEL_SELECTINPUT_SETS_INFILE carries the selection that sets the
// second current-input handle and leaves the check to the library's next read.
static inline void _kel_SELECTINPUT(int n)
{
    if (n < 0)
        return;
    _kel_InStream = n;
#ifdef KEL_SELECTINPUT_SETS_INFILE
    _kel_INFILE = _kel_infile[n].handle;
#else
    _kel_InFile = _kel_infile[n].handle;
    check_instream("_kel_SELECTINPUT");
#endif
}

static inline void _kel_SELECTOUTPUT(int n)
{
    if (n < 0)
        return;
    _kel_OutStream = n;
    _kel_OutFile = _kel_outfile[n].handle;
    check_outstream("_kel_SELECTOUTPUT");
}

static inline void _kel_PROMPT(kel_string s)
{
    check_instream("_kel_PROMPT");
    std::memcpy(&_kel_promptstr, &s, sizeof s);
}

static inline int _kel_ARGC(void) { return _kel_global_argc; }

// Indices outside the arguments give the empty string; a longer argument is cut to 255.
static inline kel_string _kel_ARGV(int i)
{
    if (i < 0 || i >= _kel_global_argc)
        return kel_string{};
    return kel_from_text(_kel_global_argv[i]);
}

#endif
