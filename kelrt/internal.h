// What the bundled kel runtime library's files share: streams, events it raises, number layouts.
#ifndef KELRT_INTERNAL_H
#define KELRT_INTERNAL_H

#include <cstddef>

#include "runtime/kel.h"

// Events the library itself raises; docs/runtime.md lists them with their messages.
enum {
    KEL_EVENT_DIVIDE = 1,   // sub-event 1: zero divisor
    KEL_EVENT_DATA = 3,     // sub-event 1: no number; 2: number out of range
    KEL_EVENT_STREAM = 6,   // sub-event 1: cannot open; 2: no such stream; 3: cannot read
    KEL_EVENT_INPUT_ENDED = 9,
};

// Exit status of a run ended by the library: an untrapped event, exhausted stack, lost output.
enum { KEL_EXIT_RUNTIME = 2 };

enum { KEL_STREAMS = 8, KEL_BUFFER = 65536 };

struct kel_file {
    int fd;
    bool tty;
    bool ended;
    int pos, len;
    char name[256];
    unsigned char buf[KEL_BUFFER];
};

extern kel_file kel_standard_input, kel_standard_output;

// Signals an event at the runtime's current source position, with a formatted message.
[[noreturn]] void kel_raise(int event, int subevent, int extra, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// Output to the selected output stream.
void kel_put(const char *text, std::size_t n);
void kel_put_repeated(char c, long long n);
void kel_flush(kel_file *f);
// What the buffer holds, written with write(2) alone, so that a signal handler may call it too;
// 0, or the reason it could not all be written.
int kel_write_out(const kel_file *f);
void kel_flush_all(void);

// One character at a time is how the programs write most of their output, a field's 2^31
// columns among them, so it goes straight into the buffer, inline in the entry point.
inline void kel_put_char(char c)
{
    kel_file *f = static_cast<kel_file *>(_kel_OutFile);
    if (f->pos == KEL_BUFFER)
        kel_flush(f);
    f->buf[f->pos++] = c;
    if (f->tty && c == '\n')
        kel_flush(f);
}

// Input from the selected input stream: the next byte, consumed or not. Past the end,
// kel_peek signals the end of input; kel_peek_or_end gives -1.
kel_file *kel_input(void);
int kel_peek(kel_file *f);
int kel_peek_or_end(kel_file *f);
int kel_take(kel_file *f);

// Number layouts: `pad` spaces, the head text, `zeros` zeros, the tail text. Counts can be
// larger than any buffer (a field of a million columns), so spaces and zeros stay counts.
struct kel_layout {
    long long pad;
    int head_len;
    long long zeros;
    int tail_len;
    char head[1200];
    char tail[16];
};
void kel_int_layout(kel_layout *out, int value, int places);
void kel_float_layout(kel_layout *out, double x, int places);
void kel_fixed_layout(kel_layout *out, double x, int before, int after);
void kel_put_layout(const kel_layout *l);
kel_string kel_layout_string(const kel_layout *l);

#endif
